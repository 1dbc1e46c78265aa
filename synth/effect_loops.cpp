#include "synth/effect_loops.h"

#include "platform/portable_math.h"

namespace tz::fx {

std::vector<float> sineTable() {
    constexpr double kTwoPi = 6.283185307179586;
    std::vector<float> table(kSineSteps + 1);
    for (int i = 0; i <= kSineSteps; ++i) table[i] = float(portableSin(kTwoPi * i / kSineSteps));
    return table;
}

}  // namespace tz::fx
