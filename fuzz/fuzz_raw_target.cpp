// libFuzzer target for raw recovery; PRENDLE_FUZZ_KIND names which.
#include "raw_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return prendle::fuzz::fuzzRaw(PRENDLE_FUZZ_KIND, data, size);
}
