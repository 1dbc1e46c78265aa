// The measures the sound benchmarks report, on signals whose answers are
// known: a slip here would misreport every figure built on them.
#include "tests/support/signal_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace tz::test {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// `seconds` of silence, then `bursts` bursts of noise 100 ms long every
// 250 ms, each at its own random level, starting `delay` frames in.
StereoPcm noiseBursts(size_t delay, double gain, uint32_t seed, int bursts) {
    StereoPcm s;
    const size_t burst = kPcmRate / 10, period = kPcmRate / 4;
    s.samples.assign(2 * (delay + period * size_t(bursts) + kPcmRate), 0);
    std::mt19937 levels(11), noise(seed);
    std::normal_distribution<double> gauss;
    for (int b = 0; b < bursts; ++b) {
        const double level = gain * std::pow(10.0, -double(levels() % 40) / 20.0) * 3000.0;
        for (size_t i = 0; i < burst; ++i)
            for (int side = 0; side < 2; ++side)
                s.samples[2 * (delay + size_t(b) * period + i) + size_t(side)] = int16_t(level * gauss(noise));
    }
    return s;
}

TEST(SignalAnalysis, EnvelopesCorrelateOnceTheStartsAreAligned) {
    // The same envelope, 6 dB quieter, in other noise, 1234 frames late.
    const StereoPcm a = noiseBursts(441, 1.0, 1, 40), b = noiseBursts(441 + 1234, 0.5, 2, 40);
    const size_t aStart = onsetFrame(a, 60.0), bStart = onsetFrame(b, 60.0);
    EXPECT_NEAR(double(aStart), 441.0, 2.0);
    EXPECT_NEAR(double(bStart), 441.0 + 1234.0, 2.0);
    const size_t frames = 40 * kPcmRate / 4;
    EXPECT_GT(envelopeCorrelation(a, aStart, b, bStart, frames), 0.97);
    EXPECT_LT(envelopeCorrelation(a, 0, b, 0, frames), 0.9);
}

TEST(SignalAnalysis, SoundingTimeOfAnExponentialDecay) {
    // A 440 Hz tone from 0.5 s falling 60 dB in 2 s: within 60 dB of its
    // peak until 2.5 s, within 30 dB until 1.5 s.
    StereoPcm s;
    s.samples.assign(2 * 4 * kPcmRate, 0);
    for (size_t i = 0; i < 3 * size_t(kPcmRate); ++i) {
        const double t = double(i) / kPcmRate;
        const double v = 20000.0 * std::pow(10.0, -3.0 * t / 2.0) * std::sin(kTwoPi * 440.0 * t);
        s.samples[2 * (kPcmRate / 2 + i)] = s.samples[2 * (kPcmRate / 2 + i) + 1] = int16_t(v);
    }
    EXPECT_NEAR(soundingSeconds(s, 0, s.frames(), 60.0), 2.5, 0.02);
    EXPECT_NEAR(soundingSeconds(s, 0, s.frames(), 30.0), 1.5, 0.02);
    // From the note's start, the length of the note.
    EXPECT_NEAR(soundingSeconds(s, kPcmRate / 2, s.frames(), 60.0), 2.0, 0.02);
}

TEST(SignalAnalysis, CentroidChannelsAndClipping) {
    StereoPcm s;
    s.samples.resize(2 * 2 * kPcmRate);
    // Equal power at 500 Hz and 2 kHz: the centroid lies between, at 1250 Hz.
    for (size_t i = 0; i < s.frames(); ++i) {
        const double t = double(i) / kPcmRate;
        s.samples[2 * i] = s.samples[2 * i + 1] =
            int16_t(8000.0 * std::sin(kTwoPi * 500.0 * t) + 8000.0 * std::sin(kTwoPi * 2000.0 * t));
    }
    EXPECT_NEAR(spectralCentroid(s, 0, s.frames()), 1250.0, 10.0);
    EXPECT_NEAR(channelCorrelation(s), 1.0, 1e-9);
    EXPECT_EQ(clippedSamples(s), 0u);
    // The right channel inverted, and a few samples at full scale.
    for (size_t i = 0; i < s.frames(); ++i) s.samples[2 * i + 1] = int16_t(-s.samples[2 * i]);
    s.samples[10] = 32767;
    s.samples[11] = -32768;
    EXPECT_LT(channelCorrelation(s), -0.99);
    EXPECT_EQ(clippedSamples(s), 2u);
}

}  // namespace
}  // namespace tz::test
