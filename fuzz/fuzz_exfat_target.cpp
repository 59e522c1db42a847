// libFuzzer target for exFAT; PRENDLE_FUZZ_KIND names which.
#include "exfat_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return prendle::fuzz::fuzzExFat(PRENDLE_FUZZ_KIND, data, size);
}
