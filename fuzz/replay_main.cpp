// Replays a fuzz corpus through the fuzz entry point, for CTest under the sanitizers.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "container_fuzz.h"
#include "exfat_fuzz.h"
#include "ntfs_fuzz.h"
#include "volume_fuzz.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: prendle_fuzz_replay KIND CORPUS_FOLDER\n";
        return 2;
    }
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[2])) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        const std::string kind = argv[1];
        if (kind == "vdi" || kind == "vhd" || kind == "vmdk" || kind == "qcow2" || kind == "vhdx") {
            prendle::fuzz::fuzzContainer(kind, bytes.data(), bytes.size());
        } else if (kind == "exfat_entry_set") {
            prendle::fuzz::fuzzExFat(kind, bytes.data(), bytes.size());
        } else if (kind.rfind("volume_", 0) == 0) {
            prendle::fuzz::fuzzVolume(kind.substr(7), bytes.data(), bytes.size());
        } else {
            prendle::fuzz::fuzzNtfs(kind, bytes.data(), bytes.size());
        }
        ++count;
    }
    std::cout << "replayed " << count << " inputs\n";
    return count > 0 ? 0 : 1;
}
