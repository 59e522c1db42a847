#include "disk/image_kind.h"

#include <array>
#include <cctype>
#include <cstring>

#include "common/byte_reader.h"
#include "common/file_handle.h"
#include "disk/file_read_seek_flat.h"
#include "disk/file_read_seek_vdi.h"
#include "disk/file_read_seek_vhd.h"
#include "disk/file_read_seek_vmdk.h"

namespace prendle {

namespace {
constexpr uint32_t kVdiSignature = 0xBEDA107F;
}

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

}  // namespace prendle
