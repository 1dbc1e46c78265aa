#include "platform/portable_math.h"

#include <cmath>

namespace tz {

double portableExp2(double x) { return std::pow(2.0, x); }
double portableSin(double x) { return std::sin(x); }

}  // namespace tz
