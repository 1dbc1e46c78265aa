// libFuzzer entry for the smf target.
#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return tz::fuzz::smfTarget(data, size); }
