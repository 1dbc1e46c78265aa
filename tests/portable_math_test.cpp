#include "platform/portable_math.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace tz {
namespace {

// Distance in units in the last place between two finite doubles.
int64_t ulpDistance(double a, double b) {
    int64_t x = std::bit_cast<int64_t>(a);
    int64_t y = std::bit_cast<int64_t>(b);
    if (x < 0) x = INT64_MIN - x;
    if (y < 0) y = INT64_MIN - y;
    return x > y ? x - y : y - x;
}

TEST(PortableMath, Exp2IsExactOnIntegersAndCloseElsewhere) {
    for (int e = -1074; e <= 1023; ++e) ASSERT_EQ(portableExp2(double(e)), std::ldexp(1.0, e)) << e;
    EXPECT_EQ(portableExp2(0.5), 0x1.6a09e667f3bcdp+0);  // sqrt(2), correctly rounded
    EXPECT_EQ(portableExp2(1024.0), std::numeric_limits<double>::infinity());
    EXPECT_EQ(portableExp2(-2000.0), 0.0);
    EXPECT_TRUE(std::isnan(portableExp2(std::nan(""))));

    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> wide(-60.0, 60.0);
    int64_t worst = 0;
    for (int i = 0; i < 200000; ++i) {
        double x = wide(random);
        worst = std::max(worst, ulpDistance(portableExp2(x), std::exp2(x)));
    }
    // Every timecent value an articulation can give.
    for (int tc = -32768; tc <= 32767; ++tc) {
        double x = double(tc) / 1200.0;
        worst = std::max(worst, ulpDistance(portableExp2(x), std::exp2(x)));
    }
    EXPECT_LE(worst, 1);
}

TEST(PortableMath, Log2IsCloseToTheLibraryAndExactOnPowersOfTwo) {
    EXPECT_EQ(portableLog2(1.0), 0.0);
    EXPECT_EQ(portableLog2(0x1p-1074), -1074.0);
    EXPECT_EQ(portableLog2(0x1p+1023), 1023.0);
    EXPECT_TRUE(std::isinf(portableLog2(0.0)));
    EXPECT_TRUE(std::isnan(portableLog2(-1.0)));
    std::mt19937_64 random(13);
    std::uniform_real_distribution<double> exponent(-60.0, 60.0);
    int64_t worst = 0;
    for (int i = 0; i < 200000; ++i) {
        const double x = std::exp2(exponent(random));
        worst = std::max(worst, ulpDistance(portableLog2(x), std::log2(x)));
    }
    EXPECT_LE(worst, 4);
}

TEST(PortableMath, SinIsCloseToTheLibraryOverTheUsefulRange) {
    EXPECT_EQ(portableSin(0.0), 0.0);
    EXPECT_EQ(portableSin(-0.0), -0.0);
    EXPECT_TRUE(std::isnan(portableSin(std::numeric_limits<double>::infinity())));
    EXPECT_TRUE(std::isnan(portableSin(std::nan(""))));

    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> phase(-1000.0, 1000.0);
    int64_t worst = 0;
    for (int i = 0; i < 200000; ++i) {
        double x = phase(random);
        worst = std::max(worst, ulpDistance(portableSin(x), std::sin(x)));
        ASSERT_EQ(portableSin(-x), -portableSin(x));
    }
    // Near multiples of pi/2, where the reduction cancels most bits.
    for (int k = 1; k < 20000; ++k) {
        double x = k * 1.5707963267948966;
        worst = std::max(worst, ulpDistance(portableSin(x), std::sin(x)));
    }
    EXPECT_LE(worst, 1);
}

// The same bits on every build: values computed once and recorded here. A
// build whose C library differs from another still has to match these.
TEST(PortableMath, ResultsAreTheRecordedBits) {
    struct Case {
        double x;
        double expected;
    };
    const Case exp2Cases[] = {
        {-0x1.b4ccccccccccdp+4, 0x1.9fdf8bcce533ap-28},
        {-0x1.4p+3, 0x1p-10},
        {-0x1.5555555555555p-2, 0x1.965fea53d6e3dp-1},
        {0x1.999999999999ap-4, 0x1.125fbee250664p+0},
        {0x1.6a0902de00d1bp-1, 0x1.a1ecc8039fa8fp+0},
        {0x1.8p+0, 0x1.6a09e667f3bcdp+1},
        {0x1.921cac083126fp+2, 0x1.377b1dd2a532cp+6},
        {0x1.3fd70a3d70a3dp+4, 0x1.fc769e9b9c354p+19},
        {-0x1.12e0be826d695p-30, 0x1.fffffffa0bc0dp-1},
        {0x1.ffcp+9, 0x1.6a09e667f3bcdp+1023},
        {-0x1.0c8p+10, 0x0.0000000000001p-1022},
    };
    for (const Case& c : exp2Cases) EXPECT_EQ(portableExp2(c.x), c.expected) << c.x;
    const Case sinCases[] = {
        {0x1.999999999999ap-4, 0x1.98eaecb8bcb2cp-4},
        {0x1.921fb54442d18p-1, 0x1.6a09e667f3bccp-1},
        {0x1p+0, 0x1.aed548f090ceep-1},
        {0x1.4p+1, 0x1.326af0dcfcabp-1},
        {-0x1.8p+1, -0x1.210386db6d55bp-3},
        {0x1.2d97c7f3321d2p+2, -0x1p+0},
        {0x1.921fb54442d18p+2, -0x1.1a62633145c07p-52},
        {0x1.9p+3, -0x1.0fa78cc21cfbbp-4},
        {-0x1.91p+6, 0x1.1bf00980dc35cp-2},
        {0x1.81cd6c8b43958p+13, -0x1.687d5890974a5p-1},
        {0x1.e848p+19, -0x1.6664b2568d867p-2},
    };
    for (const Case& c : sinCases) EXPECT_EQ(portableSin(c.x), c.expected) << c.x;
}

}  // namespace
}  // namespace tz
