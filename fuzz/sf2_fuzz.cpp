// libFuzzer entry for the sf2 target.
#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return tz::fuzz::sf2Target(data, size); }
