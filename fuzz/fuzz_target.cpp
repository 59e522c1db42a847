// libFuzzer target; PRENDLE_FUZZ_KIND names the container.
#include "container_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return prendle::fuzz::fuzzContainer(PRENDLE_FUZZ_KIND, data, size);
}
