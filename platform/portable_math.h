// Math functions whose results reach the output. The C libraries of the
// platforms we build for do not agree to the last bit on pow and sin, so the
// engine computes them here, the same way on every build.
#pragma once

namespace tz {

// 2^x, within 1 ulp of the exact value (exact for integer x).
double portableExp2(double x);
// log2(x) for x > 0, within a few ulp; -infinity for 0, NaN below 0 and
// for NaN, infinity for infinity.
double portableLog2(double x);
// Sine of x radians, within 1 ulp for |x| < 2^20 * pi/2; beyond that the
// argument is first reduced by a double 2 pi, which keeps the result the
// same on every build but not accurate. NaN for infinities and NaN.
double portableSin(double x);

}  // namespace tz
