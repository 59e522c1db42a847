#include "raw/raw_setting_dlg.h"

namespace prendle::raw {

using ui::ControlKind;

namespace {

struct Field {
    int id, helpId;
    const char* label;
    const char* help;
    bool digits;
};

// The editor's fields in their order on the page, each with its help button's text.
const Field kFields[] = {
    {RawSettingDlg::kExtension, 1306, "File Extention :",
     "Enter file extention .\n Example 'jpg','mp3','avi',..etc.\n Do not put a dot(.) before "
     "extention(i.e .mp3)",
     false},
    {RawSettingDlg::kStartSignature, 1307, "Starting Signature :",
     "here enter the file signature that happens to be in the starting of the file.\n example "
     "0x89,0x50,0x4E,0x47  for png File",
     false},
    {RawSettingDlg::kStartOffset, 1327, "Starting Signature Offset:",
     "Here enter offset of starting signature in File.Value should be less than 512.By default "
     "its zero.",
     true},
    {RawSettingDlg::kEndSignature, 1308, "Ending Signature :",
     "here enter the file signature that happens to be in the end of the file.\n Example "
     "0x49,0x45,0x4E,0x44,0xAE,0x42,0x60,0x82 for png File.\n its optional Field .you can leave "
     "it if you dont know .",
     false},
    {RawSettingDlg::kSizeFieldOffset, 1309, "Offset to Size Byte :",
     "if  the size of file is given in the header and you know its offset please enter that "
     "offset here.\n its optional Field .you can leave it if you don't know.",
     true},
    {RawSettingDlg::kSizeFieldBytes, 1310, "Number Of Bytes In Size :",
     "if  you know how many bytes represents size please enter that number of bytes  here.\n "
     "its optional Field .you can leave it ifyou  don't know.",
     true},
    {RawSettingDlg::kHeaderSize, 1312, "Header size :",
     "please enter the header size in bytes here.\n its optional Field .you can leave it if you "
     "don't know.",
     true},
    {RawSettingDlg::kSkipSize, 1313, "Size_to_skip_WhileParsing :",
     "when we find the file signature you mentioned  above we can skip further file scanning "
     "by an amount you enter here.\n For example mp3 are generally greater then 2 mb .so you "
     "can enter 2097152 bytes here.\n its optional Field .you can leave it .",
     true},
    {RawSettingDlg::kApproxSize, 1314, "Approx file size :",
     "Enter approx file size here.\n its optional Field .you can leave it if you don't know.",
     true},
    {RawSettingDlg::kCategory, 1315,
     "Put Under Category :", "Enter the name of category you want to put these files under", false},
};

constexpr char kIncludesHelp[] =
    "check this checkbox if the size alkso includes the header size else leave it.\n its "
    "optional Field .you can leave it if you don't know.";

}  // namespace

void RawSettingDlg::onInit() {
    add(kGroup, ControlKind::Group, "File Setting:");
    for (const Field& field : kFields) {
        add(field.id + 1000, ControlKind::Label, field.label);
        add(field.id, ControlKind::Edit);
        addImageButton(field.helpId, 165, field.help);
    }
    add(kSizeIncludesHeader, ControlKind::CheckBox, "Size includes header size");
    addImageButton(1311, 165, kIncludesHelp);
    add(kPathGroup, ControlKind::Group, "Select Path to Save Entries");
    add(kPath, ControlKind::Edit).readOnly = true;
    add(kChoose, ControlKind::Button, "...");
    addImageButton(kSave, 171, "Save");
    addImageButton(kOk, 167, "OK");
    addImageButton(kCancel, 162, "Cancel");
}

void RawSettingDlg::choose() {
    auto path = platform_.openFile(this, "", "");
    if (path && !path->empty()) {
        // An existing file keeps its records: new ones are appended after them.
        auto opened = FileHandle::openAppend(*path);
        if (opened) {
            output_ = std::move(opened.value());
            control(kPath).text = *path;
            changed();
            return;
        }
    }
    message("File can not be created");
}

void RawSettingDlg::save() {
    SignatureFields fields;
    fields.extension = control(kExtension).text;
    fields.startSignature = control(kStartSignature).text;
    fields.endSignature = control(kEndSignature).text;
    fields.sizeFieldOffset = control(kSizeFieldOffset).text;
    fields.sizeFieldBytes = control(kSizeFieldBytes).text;
    fields.headerSize = control(kHeaderSize).text;
    fields.sizeIncludesHeader = control(kSizeIncludesHeader).checked;
    fields.skipSize = control(kSkipSize).text;
    fields.approxSize = control(kApproxSize).text;
    fields.category = control(kCategory).text;
    fields.startOffset = control(kStartOffset).text;
    auto saved = saveSignatureRecord(fields, output_);
    message(saved ? saved.value() : saved.error().message);
}

void RawSettingDlg::command(int id) {
    for (const Field& field : kFields) {
        if (id == field.helpId) {
            control(id).tooltip = field.help;
            changed();
            return;
        }
    }
    switch (id) {
        case 1311:
            control(id).tooltip = kIncludesHelp;
            return;
        case kSizeIncludesHeader:
            control(id).checked = !control(id).checked;
            changed();
            return;
        case kChoose:
            choose();
            return;
        case kSave:
            save();
            return;
        case kOk:
        case kCancel:
            output_.close();
            closeRequested_ = true;
            changed();
            return;
        default:
            Page::command(id);
    }
}

}  // namespace prendle::raw
