#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "synth/output_convert.h"

namespace tz {
namespace {

constexpr int64_t kFullScale = int64_t(1) << 28;

std::vector<uint8_t> convert(ConvertOutputFn fn, std::vector<int64_t> mix, size_t bytesPerSample) {
    std::vector<uint8_t> out(mix.size() * bytesPerSample + 4, 0xEE);
    fn(out.data(), mix.data(), int32_t(mix.size()));
    return out;
}

TEST(SynthControlConvert, SixteenBitClipsAtFullScaleWithFloorShift) {
    const auto out = convert(convertSigned16, {kFullScale - 1, kFullScale, -kFullScale, -kFullScale - 1, -1, 8191}, 2);
    const std::vector<uint8_t> expected{0xFF, 0x7F, 0xFF, 0x7F, 0x00, 0x80, 0x00, 0x80, 0xFF, 0xFF, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 12), expected);
    EXPECT_EQ(out[12], 0xEE);  // nothing written past count samples

    const auto unsignedOut = convert(convertUnsigned16, {-1, 0, kFullScale, -kFullScale}, 2);
    const std::vector<uint8_t> unsignedExpected{0xFF, 0x7F, 0x00, 0x80, 0xFF, 0xFF, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(unsignedOut.begin(), unsignedOut.begin() + 8), unsignedExpected);
}

TEST(SynthControlConvert, EightBitClipsAtFullScale) {
    const auto out = convert(convertSigned8, {kFullScale - 1, kFullScale * 4, -kFullScale, -kFullScale * 4, -1, 0}, 1);
    const std::vector<uint8_t> expected{0x7F, 0x7F, 0x80, 0x80, 0xFF, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 6), expected);
    const auto unsignedOut = convert(convertUnsigned8, {0, kFullScale, -kFullScale, -1}, 1);
    const std::vector<uint8_t> unsignedExpected{0x80, 0xFF, 0x00, 0x7F};
    EXPECT_EQ(std::vector<uint8_t>(unsignedOut.begin(), unsignedOut.begin() + 4), unsignedExpected);
}

TEST(SynthControlConvert, ByteOrderFollowsTheFormat) {
    const int64_t v = int64_t(0x1234) << 13;
    const auto low = convert(convertSigned16, {v}, 2);
    const auto high = convert(convertSigned16Swapped, {v}, 2);
    EXPECT_EQ(low[0], 0x34);
    EXPECT_EQ(low[1], 0x12);
    EXPECT_EQ(high[0], 0x12);
    EXPECT_EQ(high[1], 0x34);
}

TEST(SynthControlConvert, SumsBeyondThirtyTwoBitsStillClip) {
    // Twelve voices at gain 8191 on full-scale data: 12 * 32767 * 8191 is
    // past 2^31 and must clip to full scale, not wrap to the other sign.
    const int64_t loud = int64_t(12) * 32767 * 8191;
    const auto out = convert(convertSigned16, {loud, -loud}, 2);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0x7F);
    EXPECT_EQ(out[2], 0x00);
    EXPECT_EQ(out[3], 0x80);
    const auto out8 = convert(convertUnsigned8, {loud, -loud}, 1);
    EXPECT_EQ(out8[0], 0xFF);
    EXPECT_EQ(out8[1], 0x00);
}

TEST(SynthControlConvert, ZeroCountWritesNothingAndFormatCodesSelect) {
    std::array<uint8_t, 4> out{0xEE, 0xEE, 0xEE, 0xEE};
    const int64_t mix[1] = {0};
    for (ConvertOutputFn fn : {convertSigned8, convertUnsigned8, convertSigned16, convertSigned16Swapped,
                               convertUnsigned16}) {
        fn(out.data(), mix, 0);
        EXPECT_EQ(out[0], 0xEE);
    }
    EXPECT_EQ(selectOutputConversion({0x0008}), &convertUnsigned8);
    EXPECT_EQ(selectOutputConversion({0x8008}), &convertSigned8);
    EXPECT_EQ(selectOutputConversion({0x8010}), &convertSigned16);
    EXPECT_EQ(selectOutputConversion({0x9010}), &convertSigned16Swapped);
    EXPECT_EQ(selectOutputConversion({0x0010}), &convertUnsigned16);
    EXPECT_EQ(selectOutputConversion({0x1234}), &convertUnsigned16);
    EXPECT_EQ(selectOutputConversion({0x8010, 1}), &convertSigned16);  // the same for one channel
}

}  // namespace
}  // namespace tz
