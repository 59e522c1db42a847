#include "support/image_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace prendle::test {

Bytes sectorPattern(uint64_t diskSector) {
    Bytes sector(512);
    for (size_t i = 0; i < sector.size(); ++i)
        sector[i] = static_cast<uint8_t>((diskSector * 131 + i * 7 + 1) & 0xFF);
    putLe64(sector, 0, diskSector);
    return sector;
}

void putLe16(Bytes& b, size_t o, uint16_t v) {
    for (int i = 0; i < 2; ++i) b[o + i] = static_cast<uint8_t>(v >> (8 * i));
}
void putLe32(Bytes& b, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[o + i] = static_cast<uint8_t>(v >> (8 * i));
}
void putLe64(Bytes& b, size_t o, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[o + i] = static_cast<uint8_t>(v >> (8 * i));
}
void putBe32(Bytes& b, size_t o, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[o + i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}
void putBe64(Bytes& b, size_t o, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[o + i] = static_cast<uint8_t>(v >> (8 * (7 - i)));
}

namespace {

void appendSectors(Bytes& out, uint64_t firstSector, uint64_t count) {
    for (uint64_t s = 0; s < count; ++s) {
        Bytes sector = sectorPattern(firstSector + s);
        out.insert(out.end(), sector.begin(), sector.end());
    }
}

Bytes flatDisk(uint64_t sectorsPerBlock, const std::vector<bool>& stored) {
    Bytes disk;
    for (size_t b = 0; b < stored.size(); ++b) {
        if (stored[b]) {
            appendSectors(disk, b * sectorsPerBlock, sectorsPerBlock);
        } else {
            disk.resize(disk.size() + sectorsPerBlock * 512, 0);
        }
    }
    return disk;
}

void padTo(Bytes& bytes, size_t size) {
    if (bytes.size() < size) bytes.resize(size, 0);
}

Bytes vhdFooter(uint64_t diskBytes, uint32_t diskType, uint64_t dataOffset) {
    Bytes footer(512, 0);
    std::memcpy(footer.data(), "conectix", 8);
    putBe32(footer, 8, 2);
    putBe32(footer, 12, 0x00010000);
    putBe64(footer, 16, dataOffset);
    putBe64(footer, 40, diskBytes);
    putBe64(footer, 48, diskBytes);
    putBe32(footer, 60, diskType);
    return footer;
}

}  // namespace

BuiltImage buildVdi(uint32_t blockBytes, const std::vector<bool>& stored) {
    BuiltImage image;
    const uint32_t blocks = static_cast<uint32_t>(stored.size());
    uint32_t allocated = 0;
    for (bool s : stored) allocated += s ? 1 : 0;
    const uint32_t dataOffset =
        static_cast<uint32_t>((kVdiBlockMapOffset + blocks * 4 + 511) / 512 * 512);
    Bytes& f = image.file;
    f.assign(dataOffset, 0);
    std::memcpy(f.data(), "<<< Test VDI Disk Image >>>\n", 28);
    putLe32(f, 0x40, 0xBEDA107F);
    putLe32(f, 0x44, 0x00010001);
    putLe32(f, 0x48, 0x180);
    putLe32(f, 0x4C, 1);
    putLe32(f, 0x154, kVdiBlockMapOffset);
    putLe32(f, 0x158, dataOffset);
    putLe32(f, 0x164, 63);
    putLe64(f, 0x170, uint64_t{blocks} * blockBytes);
    putLe32(f, 0x178, blockBytes);
    putLe32(f, 0x180, blocks);
    putLe32(f, 0x184, allocated);
    const uint64_t sectorsPerBlock = blockBytes / 512;
    // Stored blocks go into the data area last block first.
    uint32_t index = 0;
    for (size_t b = stored.size(); b-- > 0;) {
        if (!stored[b]) {
            putLe32(f, kVdiBlockMapOffset + b * 4, 0xFFFFFFFF);
            continue;
        }
        putLe32(f, kVdiBlockMapOffset + b * 4, index++);
        appendSectors(f, b * sectorsPerBlock, sectorsPerBlock);
    }
    image.disk = flatDisk(sectorsPerBlock, stored);
    return image;
}

BuiltImage buildDynamicVhd(uint32_t blockBytes, const std::vector<bool>& stored) {
    BuiltImage image;
    const uint64_t diskBytes = uint64_t{blockBytes} * stored.size();
    const uint64_t sectorsPerBlock = blockBytes / 512;
    const size_t bitmapBytes = ((sectorsPerBlock + 7) / 8 + 511) / 512 * 512;
    Bytes& f = image.file;
    f = vhdFooter(diskBytes, 3, kVhdDynamicHeaderOffset);
    Bytes header(1024, 0);
    std::memcpy(header.data(), "cxsparse", 8);
    putBe64(header, 8, UINT64_MAX);
    putBe64(header, 16, kVhdTableOffset);
    putBe32(header, 24, 0x00010000);
    putBe32(header, 28, static_cast<uint32_t>(stored.size()));
    putBe32(header, 32, blockBytes);
    f.insert(f.end(), header.begin(), header.end());
    padTo(f, kVhdTableOffset + (stored.size() * 4 + 511) / 512 * 512);
    for (size_t b = stored.size(); b-- > 0;) {
        if (!stored[b]) {
            putBe32(f, kVhdTableOffset + b * 4, 0xFFFFFFFF);
            continue;
        }
        putBe32(f, kVhdTableOffset + b * 4, static_cast<uint32_t>(f.size() / 512));
        f.resize(f.size() + bitmapBytes, 0xFF);
        appendSectors(f, b * sectorsPerBlock, sectorsPerBlock);
    }
    Bytes footer = vhdFooter(diskBytes, 3, kVhdDynamicHeaderOffset);
    f.insert(f.end(), footer.begin(), footer.end());
    image.disk = flatDisk(sectorsPerBlock, stored);
    return image;
}

BuiltImage buildFixedVhd(uint64_t diskBytes) {
    BuiltImage image;
    appendSectors(image.disk, 0, diskBytes / 512);
    image.file = image.disk;
    Bytes footer = vhdFooter(diskBytes, 2, UINT64_MAX);
    image.file.insert(image.file.end(), footer.begin(), footer.end());
    return image;
}

BuiltImage buildSparseVmdk(const VmdkLayout& layout) {
    BuiltImage image;
    const uint64_t grainBytes = uint64_t{layout.grainSectors} * 512;
    const uint64_t grains = layout.grains.size();
    const uint64_t tables = (grains + layout.entriesPerTable - 1) / layout.entriesPerTable;
    const uint64_t capacity = grains * layout.grainSectors;
    Bytes& f = image.file;
    f.assign(512, 0);
    putLe32(f, 0, 0x564D444B);
    putLe32(f, 4, 1);
    putLe32(f, 8, 3);
    putLe64(f, 12, capacity);
    putLe64(f, 20, layout.grainSectors);
    putLe64(f, 28, kVmdkDescriptorSector);
    putLe64(f, 36, kVmdkDescriptorSectors);
    putLe32(f, 44, layout.entriesPerTable);
    putLe64(f, 48, kVmdkDirectorySector);
    putLe64(f, 56, kVmdkDirectorySector);

    std::string extents = layout.extentLines.empty()
                              ? "RW " + std::to_string(capacity) + " SPARSE \"test.vmdk\"\n"
                              : layout.extentLines;
    std::string descriptor =
        "# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\n"
        "createType=\"monolithicSparse\"\n\n# Extent description\n" +
        extents +
        "\n# The Disk Data Base\n#DDB\n\nddb.virtualHWVersion = \"4\"\n"
        "ddb.geometry.cylinders = \"20\"\nddb.geometry.heads = \"16\"\n"
        "ddb.geometry.sectors = \"63\"\nddb.adapterType = \"ide\"\n";
    f.resize(kVmdkDescriptorSector * 512 + kVmdkDescriptorSectors * 512, 0);
    std::memcpy(f.data() + kVmdkDescriptorSector * 512, descriptor.data(),
                std::min<size_t>(descriptor.size(), kVmdkDescriptorSectors * 512));

    // Directory, then each table in its own sector run, then the grains.
    padTo(f, kVmdkDirectorySector * 512 + (tables * 4 + 511) / 512 * 512);
    const size_t tableBytes = (layout.entriesPerTable * 4 + 511) / 512 * 512;
    std::vector<size_t> tableOffsets(tables, 0);
    for (uint64_t t = 0; t < tables; ++t) {
        bool any = false;
        for (uint64_t g = t * layout.entriesPerTable;
             g < std::min<uint64_t>(grains, (t + 1) * layout.entriesPerTable); ++g)
            any = any || layout.grains[g] != 0;
        if (!any) continue;
        tableOffsets[t] = f.size();
        putLe32(f, kVmdkDirectorySector * 512 + t * 4, static_cast<uint32_t>(f.size() / 512));
        f.resize(f.size() + tableBytes, 0);
    }
    for (uint64_t g = grains; g-- > 0;) {
        uint64_t t = g / layout.entriesPerTable;
        size_t slot = tableOffsets[t] + (g % layout.entriesPerTable) * 4;
        if (layout.grains[g] == 1) putLe32(f, slot, 1);
        if (layout.grains[g] != 2) continue;
        putLe32(f, slot, static_cast<uint32_t>(f.size() / 512));
        appendSectors(f, g * layout.grainSectors, layout.grainSectors);
    }
    for (uint64_t g = 0; g < grains; ++g) {
        if (layout.grains[g] == 2) {
            appendSectors(image.disk, g * layout.grainSectors, layout.grainSectors);
        } else {
            image.disk.resize(image.disk.size() + grainBytes, 0);
        }
    }
    return image;
}

namespace {
std::string uniqueName(const std::string& suffix) {
    static std::atomic<int> counter{0};
    return testing::TempDir() + "prendle_" + std::to_string(::getpid()) + "_" +
           std::to_string(counter++) + suffix;
}
}  // namespace

TempFile::TempFile(const Bytes& contents, const std::string& suffix) : path_(uniqueName(suffix)) {
    std::ofstream out(path_, std::ios::binary);
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
}

TempFile::~TempFile() {
    std::filesystem::remove(path_);
}

TempFolder::TempFolder() : path_(uniqueName("_dir")) {
    std::filesystem::create_directory(path_);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Bytes readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeWholeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::string unpackContainerFixture(const TempFolder& folder, const std::string& name) {
    const std::string out = folder.path() + "/" + name;
    const std::string command = "xz -dc '" + std::string(PRENDLE_SOURCE_DIR) +
                                "/tests/fixtures/containers/" + name + ".xz' > '" + out + "'";
    if (std::system(command.c_str()) != 0) return {};
    return out;
}

}  // namespace prendle::test
