#include "synth/output_convert.h"

namespace tz {

ConvertOutputFn selectOutputConversion(uint16_t) { return nullptr; }

}  // namespace tz
