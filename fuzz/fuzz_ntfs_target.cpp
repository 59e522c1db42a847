// libFuzzer target for the NTFS structures; PRENDLE_FUZZ_KIND names which.
#include "ntfs_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return prendle::fuzz::fuzzNtfs(PRENDLE_FUZZ_KIND, data, size);
}
