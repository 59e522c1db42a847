// libFuzzer target for a whole volume; PRENDLE_FUZZ_FS names the file system.
#include "volume_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return prendle::fuzz::fuzzVolume(PRENDLE_FUZZ_FS, data, size);
}
