#include "disk/image_kind.h"

#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "common/byte_reader.h"
#include "common/file_handle.h"
#include "disk/disk_export.h"
#include "disk/file_read_seek_flat.h"
#include "disk/file_read_seek_qcow2.h"
#include "disk/file_read_seek_vdi.h"
#include "disk/file_read_seek_vhd.h"
#include "disk/file_read_seek_vhdx.h"
#include "disk/file_read_seek_vmdk.h"

namespace prendle {

namespace {
constexpr uint32_t kVdiSignature = 0xBEDA107F;

// A VMDK descriptor file is short text that starts with its title comment or a key line.
bool looksLikeVmdkDescriptor(std::span<const uint8_t> head) {
    std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
    if (text.rfind("# Disk DescriptorFile", 0) == 0) return true;
    text = text.substr(0, text.find('\0'));
    return text.find("createType=") != std::string_view::npos &&
           text.find("version=") != std::string_view::npos;
}

bool isImageFile(const std::string& path) {
    std::error_code error;
    auto status = std::filesystem::status(path, error);
    return !error &&
           (std::filesystem::is_regular_file(status) || std::filesystem::is_block_file(status));
}

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

const char* imageKindName(ImageKind kind) {
    switch (kind) {
        case ImageKind::Vdi:
            return "VDI";
        case ImageKind::Vhd:
            return "VHD";
        case ImageKind::Vmdk:
            return "VMDK";
        case ImageKind::Flat:
            return "flat";
        case ImageKind::Qcow2:
            return "qcow2";
        case ImageKind::Vhdx:
            return "VHDX";
    }
    return "unknown";
}

Result<ImageKind> detectImageKind(const std::string& path) {
    auto file = FileHandle::openRead(path);
    if (!file) return file.error();
    auto length = file.value().size();
    if (!length) return length.error();
    std::array<uint8_t, kSectorBytes> first{};
    auto got = file.value().readAt(0, first);
    if (!got) return got.error();
    std::span<const uint8_t> head(first.data(), got.value());
    if (head.size() >= 0x44 && le32At(head, 0x40) == kVdiSignature) return ImageKind::Vdi;
    if (head.size() >= 4 && le32At(head, 0) == 0x564D444B) return ImageKind::Vmdk;
    if (head.size() >= 8 && std::memcmp(head.data(), "conectix", 8) == 0) return ImageKind::Vhd;
    if (head.size() >= 4 && std::memcmp(head.data(), "QFI\xfb", 4) == 0) return ImageKind::Qcow2;
    if (head.size() >= 8 && std::memcmp(head.data(), "vhdxfile", 8) == 0) return ImageKind::Vhdx;
    if (looksLikeVmdkDescriptor(head)) return ImageKind::Vmdk;
    if (length.value() >= kSectorBytes) {
        std::array<uint8_t, kSectorBytes> last{};
        auto tail = file.value().readAt(length.value() - kSectorBytes, last);
        if (tail && tail.value() == last.size() && std::memcmp(last.data(), "conectix", 8) == 0)
            return ImageKind::Vhd;
    }
    return ImageKind::Flat;
}

std::unique_ptr<readWriteInterface> makeReader(ImageKind kind) {
    switch (kind) {
        case ImageKind::Vdi:
            return std::make_unique<FileReadSeekVdi>();
        case ImageKind::Vhd:
            return std::make_unique<FileReadSeekVHD>(/*checkExtension=*/false);
        case ImageKind::Vmdk:
            return std::make_unique<FileReadSeekVmdk>();
        case ImageKind::Flat:
            return std::make_unique<FileReadSeekFlat>();
        case ImageKind::Qcow2:
            return std::make_unique<FileReadSeekQcow2>();
        case ImageKind::Vhdx:
            return std::make_unique<FileReadSeekVhdx>();
    }
    return nullptr;
}

Result<std::unique_ptr<readWriteInterface>> openImage(const std::string& path) {
    auto kind = detectImageKind(path);
    if (!kind) return kind.error();
    auto reader = makeReader(kind.value());
    if (!reader->open(path)) {
        std::string message = reader->lastError();
        if (message.empty()) message = reader->userMessage();
        return corruptError(path + ": " + message);
    }
    return reader;
}

std::vector<std::string> parentCandidates(const std::string& childPath,
                                          const std::string& recordedName) {
    std::vector<std::string> out;
    std::string name = recordedName;
    // Windows tools record backslashes and drive letters; only the folder beside counts.
    for (char& c : name)
        if (c == '\\') c = '/';
    const std::string folder = folderOf(childPath);
    bool absolute = !name.empty() && name.front() == '/';
    bool drive = name.size() >= 2 && name[1] == ':';
    if (!name.empty() && !absolute && !drive) out.push_back(folder + name);
    if (absolute) out.push_back(name);
    size_t slash = name.find_last_of('/');
    std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    if (!last.empty() && (out.empty() || out.back() != folder + last)) out.push_back(folder + last);
    return out;
}

Result<std::unique_ptr<readWriteInterface>> openParentImage(const std::string& childPath,
                                                            const std::string& recordedName,
                                                            int depth) {
    if (depth > kMaxChainDepth)
        return corruptError("the chain of parents of " + childPath + " is deeper than " +
                            std::to_string(kMaxChainDepth) +
                            " layers (do parents name each other?)");
    auto candidates = parentCandidates(childPath, recordedName);
    for (const auto& candidate : candidates) {
        if (candidate == childPath) continue;
        if (!pathExists(candidate)) continue;
        // A recorded name is untrusted: a pipe or a terminal would block the open for ever.
        if (!isImageFile(candidate))
            return corruptError("parent image " + candidate + " is not a regular file");
        auto kind = detectImageKind(candidate);
        if (!kind) return kind.error();
        auto reader = makeReader(kind.value());
        reader->setChainDepth(depth);
        // Sizes typed on the image page are for the image opened, not for its parents.
        bool opened = kind.value() == ImageKind::Vdi
                          ? static_cast<FileReadSeekVdi&>(*reader).openWith(candidate, {})
                          : reader->open(candidate);
        if (!opened) {
            std::string message =
                reader->userMessage().empty() ? reader->lastError() : reader->userMessage();
            return corruptError("parent image " + candidate + ": " + message);
        }
        return reader;
    }
    return ioError("parent image \"" + recordedName + "\" of " + childPath +
                   " is missing (looked for " +
                   (candidates.empty() ? std::string("nothing") : candidates.back()) + ")");
}

}  // namespace prendle
