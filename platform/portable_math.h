// Math functions whose results reach the output. The C libraries of the
// platforms we build for do not agree to the last bit on pow and sin, so the
// engine computes them here, the same way on every build.
#pragma once

namespace tz {

double portableExp2(double x);  // 2^x
double portableSin(double x);   // sine of x radians

}  // namespace tz
