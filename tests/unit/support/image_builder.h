// Small container images built by hand in memory, one valid layout each, so that a test
// can change one field and see what the reader makes of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace prendle::test {

using Bytes = std::vector<uint8_t>;

// Recognisable content for a disk sector: its number, then a running pattern.
Bytes sectorPattern(uint64_t diskSector);
void putLe16(Bytes& bytes, size_t offset, uint16_t value);
void putLe32(Bytes& bytes, size_t offset, uint32_t value);
void putLe64(Bytes& bytes, size_t offset, uint64_t value);
void putBe32(Bytes& bytes, size_t offset, uint32_t value);
void putBe64(Bytes& bytes, size_t offset, uint64_t value);

// An image and the flat disk it stands for.
struct BuiltImage {
    Bytes file;
    Bytes disk;
};

// A dynamic VDI; stored[i] says whether block i is in the file (stored blocks are laid
// out in reverse order to catch readers that assume file order is disk order).
BuiltImage buildVdi(uint32_t blockBytes, const std::vector<bool>& stored);
inline constexpr size_t kVdiBlockMapOffset = 0x200;

// A dynamic VHD with the given block size; its BAT follows the dynamic header.
BuiltImage buildDynamicVhd(uint32_t blockBytes, const std::vector<bool>& stored);
BuiltImage buildFixedVhd(uint64_t diskBytes);
inline constexpr size_t kVhdDynamicHeaderOffset = 512;
inline constexpr size_t kVhdTableOffset = 1536;

// A monolithic sparse VMDK: grain directory entries 0 leave a table out, grain table
// entries 0 or 1 leave a grain out. grains[i] is 0 (absent), 1 (zero grain) or 2 (stored).
struct VmdkLayout {
    uint32_t grainSectors = 8;
    uint32_t entriesPerTable = 4;
    std::vector<int> grains;
    std::string extentLines;  // empty: one SPARSE line covering the capacity
};
BuiltImage buildSparseVmdk(const VmdkLayout& layout);
inline constexpr uint64_t kVmdkDescriptorSector = 1;
inline constexpr uint64_t kVmdkDescriptorSectors = 4;
inline constexpr uint64_t kVmdkDirectorySector = 5;

// A file under the test temp folder, removed when it goes out of scope.
class TempFile {
public:
    explicit TempFile(const Bytes& contents, const std::string& suffix = ".img");
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A fresh empty folder under the test temp folder, removed with its contents.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

Bytes readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const Bytes& bytes);
// Unpacks tests/fixtures/containers/NAME.xz into `folder`; returns the unpacked path.
std::string unpackContainerFixture(const TempFolder& folder, const std::string& name);

}  // namespace prendle::test
