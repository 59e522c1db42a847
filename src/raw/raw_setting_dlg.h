// The signature editor: its fields become one 173-byte record appended to a file the user
// chooses; several records can be saved one after the other.
#pragma once

#include "common/file_handle.h"
#include "raw/signature_file.h"
#include "ui/page.h"

namespace prendle::raw {

class RawSettingDlg : public ui::Page {
public:
    static constexpr int kTemplate = 155;
    enum Id {
        kGroup = 1291,
        kExtension = 1292,
        kStartSignature = 1293,
        kEndSignature = 1294,
        kSizeFieldOffset = 1295,
        kSizeFieldBytes = 1296,
        kHeaderSize = 1297,
        kSkipSize = 1298,
        kApproxSize = 1299,
        kCategory = 1300,
        kStartOffset = 1324,
        kSizeIncludesHeader = 1255,
        kPathGroup = 1302,
        kPath = 1303,
        kChoose = 1229,
        kSave = 1269,
        kOk = 1,
    };
    explicit RawSettingDlg(ui::Platform& platform) : Page(platform, kTemplate) {}

    void command(int id) override;
    const FileHandle& outputFile() const { return output_; }

private:
    void onInit() override;
    void choose();
    void save();

    FileHandle output_;
};

}  // namespace prendle::raw
