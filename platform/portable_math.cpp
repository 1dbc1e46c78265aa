#include "platform/portable_math.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

// Both functions use only IEEE double additions, subtractions,
// multiplications and exact scalings (no contraction into fused operations,
// see the build flags), so every conforming build gets the same bits.

namespace tz {

namespace {

// 2^(j/64) for j = 0..63, split into the nearest double and its remainder.
struct HiLo {
    double hi;
    double lo;
};
constexpr HiLo kExp2Table[64] = {
    {0x1.0000000000000p+0, 0x0.0p+0},
    {0x1.02c9a3e778061p+0, -0x1.19083535b085dp-56},
    {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55},
    {0x1.0874518759bc8p+0, 0x1.186be4bb284ffp-57},
    {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54},
    {0x1.0e3ec32d3d1a2p+0, 0x1.03a1727c57b53p-59},
    {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54},
    {0x1.1429aaea92de0p+0, -0x1.32fbf9af1369ep-54},
    {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55},
    {0x1.1a35beb6fcb75p+0, 0x1.e5b4c7b4968e4p-55},
    {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54},
    {0x1.2063b88628cd6p+0, 0x1.dc775814a8495p-55},
    {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54},
    {0x1.26b4565e27cddp+0, 0x1.2bd339940e9d9p-55},
    {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55},
    {0x1.2d285a6e4030bp+0, 0x1.0024754db41d5p-54},
    {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55},
    {0x1.33c08b26416ffp+0, 0x1.32721843659a6p-54},
    {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54},
    {0x1.3a7db34e59ff7p+0, -0x1.5e436d661f5e3p-56},
    {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55},
    {0x1.4160a21f72e2ap+0, -0x1.ef3691c309278p-58},
    {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59},
    {0x1.486a2b5c13cd0p+0, 0x1.3c1a3b69062f0p-56},
    {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56},
    {0x1.4f9b2769d2ca7p+0, -0x1.4b309d25957e3p-54},
    {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55},
    {0x1.56f4736b527dap+0, 0x1.9bb2c011d93adp-54},
    {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54},
    {0x1.5e76f15ad2148p+0, 0x1.ba6f93080e65ep-54},
    {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54},
    {0x1.6623882552225p+0, -0x1.bb60987591c34p-54},
    {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54},
    {0x1.6dfb23c651a2fp+0, -0x1.bbe3a683c88abp-57},
    {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55},
    {0x1.75feb564267c9p+0, -0x1.0245957316dd3p-54},
    {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55},
    {0x1.7e2f336cf4e62p+0, 0x1.05d02ba15797ep-56},
    {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54},
    {0x1.868d99b4492edp+0, -0x1.fc6f89bd4f6bap-54},
    {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54},
    {0x1.8f1ae99157736p+0, 0x1.5cc13a2e3976cp-55},
    {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57},
    {0x1.97d829fde4e50p+0, -0x1.d185b7c1b85d1p-54},
    {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56},
    {0x1.a0c667b5de565p+0, -0x1.359495d1cd533p-54},
    {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54},
    {0x1.a9e6b5579fdbfp+0, 0x1.0fac90ef7fd31p-54},
    {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54},
    {0x1.b33a2b84f15fbp+0, -0x1.2805e3084d708p-57},
    {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56},
    {0x1.bcc1e904bc1d2p+0, 0x1.23dd07a2d9e84p-55},
    {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55},
    {0x1.c67f12e57d14bp+0, 0x1.2884dff483cadp-54},
    {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56},
    {0x1.d072d4a07897cp+0, -0x1.cbc3743797a9cp-54},
    {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55},
    {0x1.da9e603db3285p+0, 0x1.c2300696db532p-54},
    {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54},
    {0x1.e502ee78b3ff6p+0, 0x1.39e8980a9cc8fp-55},
    {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54},
    {0x1.efa1bee615a27p+0, 0x1.dc7f486a4b6b0p-54},
    {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54},
    {0x1.fa7c1819e90d8p+0, 0x1.74853f3a5931ep-55},
};

// ln(2)^k / k!, k = 1..6: 2^r = 1 + sum c_k r^k for |r| <= 1/128.
constexpr double kExp2C1 = 0x1.62e42fefa39efp-1;
constexpr double kExp2C2 = 0x1.ebfbdff82c58fp-3;
constexpr double kExp2C3 = 0x1.c6b08d704a0c0p-5;
constexpr double kExp2C4 = 0x1.3b2ab6fba4e77p-7;
constexpr double kExp2C5 = 0x1.5d87fe78a6731p-10;
constexpr double kExp2C6 = 0x1.430912f86c787p-13;

// 2^e for -1022 <= e <= 1023, built from its bits.
double powerOfTwo(int e) { return std::bit_cast<double>(uint64_t(e + 1023) << 52); }

double scaleByPowerOfTwo(double y, int e) {
    if (e > 1023) return y * powerOfTwo(1023) * powerOfTwo(e - 1023);
    if (e < -1022) return y * powerOfTwo(e + 1000) * powerOfTwo(-1000);
    return y * powerOfTwo(e);
}

int biasedExponent(double x) { return int((std::bit_cast<uint64_t>(x) >> 52) & 0x7FF); }

// pi/2 in three parts of 33 bits, each with the remainder after it; 2/pi.
constexpr double kPio2_1 = 0x1.921fb54400000p+0;
constexpr double kPio2_1t = 0x1.0b4611a626331p-34;
constexpr double kPio2_2 = 0x1.0b4611a600000p-34;
constexpr double kPio2_2t = 0x1.3198a2e037073p-69;
constexpr double kPio2_3 = 0x1.3198a2e000000p-69;
constexpr double kPio2_3t = 0x1.b839a252049c1p-104;
constexpr double kInvPio2 = 0x1.45f306dc9c883p-1;
constexpr double kPio4 = 0x1.921fb54442d18p-1;
constexpr double kTwoPi = 0x1.921fb54442d18p+2;
// Below this the reduction's products with the parts of pi/2 are exact.
constexpr double kMediumLimit = 0x1.921fb54442d18p+20;

// Taylor coefficients (-1)^k / (2k+1)! and (-1)^k / (2k)!; on |y| <= pi/4
// the first omitted terms lie far below the last bit.
constexpr double kS3 = -0x1.5555555555555p-3;
constexpr double kS5 = 0x1.1111111111111p-7;
constexpr double kS7 = -0x1.a01a01a01a01ap-13;
constexpr double kS9 = 0x1.71de3a556c734p-19;
constexpr double kS11 = -0x1.ae64567f544e4p-26;
constexpr double kS13 = 0x1.6124613a86d09p-33;
constexpr double kS15 = -0x1.ae7f3e733b81fp-41;
constexpr double kS17 = 0x1.952c77030ad4ap-49;
constexpr double kC4 = 0x1.5555555555555p-5;
constexpr double kC6 = -0x1.6c16c16c16c17p-10;
constexpr double kC8 = 0x1.a01a01a01a01ap-16;
constexpr double kC10 = -0x1.27e4fb7789f5cp-22;
constexpr double kC12 = 0x1.1eed8eff8d898p-29;
constexpr double kC14 = -0x1.93974a8c07c9dp-37;
constexpr double kC16 = 0x1.ae7f3e733b81fp-45;
constexpr double kC18 = -0x1.6827863b97d97p-53;

// sin(y + t) for |y| <= pi/4, t a tiny correction of y.
double kernelSin(double y, double t) {
    double z = y * y;
    double v = z * y;
    double r = kS5 + z * (kS7 + z * (kS9 + z * (kS11 + z * (kS13 + z * (kS15 + z * kS17)))));
    return y + (v * (kS3 + z * r) + t * (1.0 - 0.5 * z));
}

// cos(y + t) for |y| <= pi/4.
double kernelCos(double y, double t) {
    double z = y * y;
    double q = z * z * (kC4 + z * (kC6 + z * (kC8 + z * (kC10 + z * (kC12 + z * (kC14 + z * (kC16 + z * kC18)))))));
    double hz = 0.5 * z;
    double w = 1.0 - hz;
    return w + (((1.0 - w) - hz) + (q - y * t));
}

// x = n * pi/2 + (y + t) for |x| < kMediumLimit, |y + t| <= ~pi/4.
int reduce(double x, double& y, double& t) {
    double q = x * kInvPio2;
    int32_t n = int32_t(q + (q >= 0 ? 0.5 : -0.5));
    double fn = double(n);
    double r = x - fn * kPio2_1;
    double w = fn * kPio2_1t;
    y = r - w;
    int ex = biasedExponent(x);
    if (ex - biasedExponent(y) > 16) {
        // Heavy cancellation: take more bits of pi/2.
        double u = r;
        w = fn * kPio2_2;
        r = u - w;
        w = fn * kPio2_2t - ((u - r) - w);
        y = r - w;
        if (ex - biasedExponent(y) > 49) {
            u = r;
            w = fn * kPio2_3;
            r = u - w;
            w = fn * kPio2_3t - ((u - r) - w);
            y = r - w;
        }
    }
    t = (r - y) - w;
    return n;
}

}  // namespace

double portableExp2(double x) {
    if (x != x) return x;
    if (x >= 1024.0) return std::numeric_limits<double>::infinity();
    if (x < -1080.0) return 0.0;
    double scaled = x * 64.0;  // exact
    int64_t k = int64_t(scaled + (scaled >= 0 ? 0.5 : -0.5));
    double r = x - double(k) / 64.0;  // exact, |r| <= 1/128
    int j = int(k & 63);
    int e = int(k >> 6);  // floor(k / 64)
    double p = r * (kExp2C1 + r * (kExp2C2 + r * (kExp2C3 + r * (kExp2C4 + r * (kExp2C5 + r * kExp2C6)))));
    const HiLo& t = kExp2Table[j];
    double y = t.hi + (t.lo + t.hi * p);
    return scaleByPowerOfTwo(y, e);
}

double portableSin(double x) {
    if (x != x || x == std::numeric_limits<double>::infinity() || x == -std::numeric_limits<double>::infinity())
        return std::numeric_limits<double>::quiet_NaN();
    double ax = x < 0 ? -x : x;
    if (ax <= kPio4) return kernelSin(x, 0.0);
    if (ax >= kMediumLimit) {
        // Far outside any phase the engine uses: reduce by 2 pi first. The
        // remainder is exact, so the result stays the same on every build,
        // though no longer accurate to the last bit.
        x = std::fmod(x, kTwoPi);
    }
    double y = 0.0, t = 0.0;
    int n = reduce(x, y, t);
    switch (n & 3) {
        case 0: return kernelSin(y, t);
        case 1: return kernelCos(y, t);
        case 2: return -kernelSin(y, t);
        default: return -kernelCos(y, t);
    }
}

double portableLog2(double x) {
    if (std::isnan(x) || x < 0.0) return std::numeric_limits<double>::quiet_NaN();
    if (x == 0.0) return -std::numeric_limits<double>::infinity();
    if (std::isinf(x)) return x;
    // x = m * 2^e with m in [sqrt(1/2), sqrt(2)): frexp is exact.
    int e = 0;
    double m = std::frexp(x, &e);  // m in [0.5, 1)
    if (m < 0x1.6a09e667f3bcdp-1) {  // sqrt(1/2)
        m *= 2.0;
        --e;
    }
    // ln m = 2 atanh(s), s = (m - 1) / (m + 1), |s| < 0.172: the odd series
    // converges to double precision in 11 terms.
    const double s = (m - 1.0) / (m + 1.0);
    const double s2 = s * s;
    double sum = 0.0;
    for (int k = 21; k >= 1; k -= 2) sum = sum * s2 + 1.0 / double(k);
    const double lnM = 2.0 * s * sum;
    constexpr double kLog2E = 1.4426950408889634074;  // 1 / ln 2
    return double(e) + lnM * kLog2E;
}

}  // namespace tz
