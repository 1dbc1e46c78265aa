// The reverb and the chorus of the standard sound: the same bytes on every
// SIMD path and however a song is cut into chunks, a seek's clear that
// continues as playing would, tails that end, saturation instead of
// wrapping, and level 0 as no effect at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "synth/chorus.h"
#include "synth/reverb.h"
#include "synth/simd_path.h"

namespace tz {
namespace {

constexpr int32_t kRate = 44100;
constexpr int64_t kFullScale = int64_t(1) << 28;  // mix units

using Bus = std::vector<int64_t>;  // stereo interleaved, mix units

// One of the two effects behind one interface, freshly set up at the
// default level.
struct Effect {
    std::string name;
    std::function<void()> init;
    std::function<void(int64_t position)> clear;
    std::function<void(const int64_t* bus, int64_t* mix, int32_t frames)> run;
};

std::vector<Effect> effects(Reverb& reverb, Chorus& chorus, int32_t rate = kRate) {
    return {
        {"reverb", [&reverb, rate] { ASSERT_TRUE(initReverb(reverb, rate, kDefaultReverbLevel)); },
         [&reverb](int64_t p) { clearReverb(reverb, p); },
         [&reverb](const int64_t* b, int64_t* m, int32_t n) { runReverb(reverb, b, m, n); }},
        {"chorus", [&chorus, rate] { ASSERT_TRUE(initChorus(chorus, rate, kDefaultChorusLevel)); },
         [&chorus](int64_t p) { clearChorus(chorus, p); },
         [&chorus](const int64_t* b, int64_t* m, int32_t n) { runChorus(chorus, b, m, n); }},
    };
}

// Noise as loud as several full-scale voices, with stretches of silence
// that are passed as no bus at all: short ones, and, with `longSilence`,
// four seconds in which the effects fall silent and stop working.
Bus noisyBus(size_t frames, uint32_t seed, bool longSilence = false) {
    std::mt19937 rng(seed);
    Bus bus(2 * frames);
    for (size_t i = 0; i < frames; ++i) {
        const bool quiet = (i / 20000) % 4 == 3 || (longSilence && i >= 60000 && i < 60000 + 4 * 44100);
        for (int side = 0; side < 2; ++side)
            bus[2 * i + side] = quiet ? 0 : int64_t(int32_t(rng())) * 3 / 8;  // up to +-3 full scale
    }
    bus[0] = int64_t(1) << 40;  // beyond any 32-bit sum: saturates
    bus[3] = -(int64_t(1) << 40);
    return bus;
}

// Runs the effect over the bus in chunks whose sizes `next` gives (each
// chunk's mix starts as a ramp, so that adding is checked, not storing),
// passing no bus for chunks of zeros; the mix it leaves.
Bus runInChunks(const Effect& effect, const Bus& bus, const std::function<int32_t()>& next) {
    const size_t frames = bus.size() / 2;
    Bus mix(bus.size());
    for (size_t i = 0; i < mix.size(); ++i) mix[i] = int64_t(i % 1000) - 500;
    for (size_t at = 0; at < frames;) {
        const int32_t n = int32_t(std::min<size_t>(size_t(next()), frames - at));
        const bool silent = std::all_of(bus.begin() + 2 * at, bus.begin() + 2 * (at + n), [](int64_t v) { return v == 0; });
        effect.run(silent ? nullptr : bus.data() + 2 * at, mix.data() + 2 * at, n);
        at += size_t(n);
    }
    return mix;
}

std::function<int32_t()> chunksOf(int32_t n) {
    return [n] { return n; };
}

std::function<int32_t()> randomChunks(uint32_t seed) {
    auto rng = std::make_shared<std::mt19937>(seed);
    return [rng] { return int32_t(1 + (*rng)() % 1024); };
}

size_t firstDifference(const Bus& a, const Bus& b) {
    return size_t(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
}

class SynthEffects : public ::testing::Test {
protected:
    void TearDown() override { forceSimdPath(saved_); }
    SimdPath saved_ = activeSimdPath();
    Reverb reverb_;
    Chorus chorus_;
};

// Every path, and every way of cutting the input into chunks (odd sizes,
// single frames, the engine's 1024), gives the plain loops' bytes, through
// silences the effects stop working in and start again after.
TEST_F(SynthEffects, EveryPathAndEveryChunkingGivesThePlainBytes) {
    const Bus bus = noisyBus(7 * kRate, 1, true);
    for (const Effect& effect : effects(reverb_, chorus_)) {
        SCOPED_TRACE(effect.name);
        ASSERT_TRUE(forceSimdPath(SimdPath::Plain));
        effect.init();
        const Bus reference = runInChunks(effect, bus, chunksOf(1024));
        for (SimdPath path : {SimdPath::Plain, SimdPath::Baseline, SimdPath::Avx2}) {
            if (!forceSimdPath(path)) continue;
            const std::function<int32_t()> chunkings[] = {chunksOf(1024), chunksOf(1), chunksOf(999), randomChunks(5)};
            for (size_t c = 0; c < std::size(chunkings); ++c) {
                effect.init();
                const Bus mix = runInChunks(effect, bus, chunkings[c]);
                EXPECT_TRUE(mix == reference) << simdPathName(path) << ", chunking " << c
                                              << ": first difference at value " << firstDifference(mix, reference);
            }
        }
    }
}

// A seek clears the effect at the new position: from there it gives what
// a fresh effect gives that has played that far in silence, whatever it
// held before.
TEST_F(SynthEffects, ClearAtAPositionContinuesAsAFreshEffectThatPlayedSilence) {
    const Bus loud = noisyBus(kRate, 2), after = noisyBus(kRate, 3);
    const Bus silence(2 * 12345, 0);
    for (const Effect& effect : effects(reverb_, chorus_)) {
        SCOPED_TRACE(effect.name);
        for (int64_t position : {int64_t(0), int64_t(12345), int64_t(3) << 31}) {
            effect.init();
            if (position > 0) {
                Bus mix(2 * 4096, 0);
                for (int64_t at = 0; at < position;) {
                    const int32_t n = int32_t(std::min<int64_t>(4096, position - at));
                    effect.run(nullptr, mix.data(), n);
                    at += n;
                }
            }
            const Bus expected = runInChunks(effect, after, chunksOf(1024));

            effect.init();
            runInChunks(effect, loud, chunksOf(777));
            effect.clear(position);
            EXPECT_TRUE(runInChunks(effect, after, chunksOf(1024)) == expected) << "position " << position;
        }
    }
}

double energy(const Bus& mix, size_t from, size_t to) {
    double e = 0;
    for (size_t i = 2 * from; i < 2 * to; ++i) e += double(mix[i]) * double(mix[i]);
    return e;
}

// A full-scale click: the reverb's tail falls steadily, by more than 60 dB
// in 2.5 s, and a few seconds later it is exactly silent, so that the
// effect stops working (the chorus's line empties once its longest delay
// has passed). At the edges of the rates they accept too.
TEST_F(SynthEffects, TailsDecayToExactSilence) {
    for (int32_t rate : {8000, kRate, 192000}) {
        for (const Effect& effect : effects(reverb_, chorus_, rate)) {
            SCOPED_TRACE(effect.name + " at " + std::to_string(rate));
            effect.init();
            const size_t frames = size_t(rate) * 12;
            Bus bus(2 * frames, 0), mix(2 * frames, 0);
            for (int i = 0; i < 8; ++i) bus[2 * i] = bus[2 * i + 1] = (i < 4 ? kFullScale : -kFullScale);
            for (size_t at = 0; at < frames; at += 1024) {
                const int32_t n = int32_t(std::min<size_t>(1024, frames - at));
                effect.run(at == 0 ? bus.data() : nullptr, mix.data() + 2 * at, n);
            }
            const size_t second = size_t(rate);
            const double first = energy(mix, 0, second / 4);
            ASSERT_GT(first, 0.0);
            if (effect.name == "reverb") {
                const double late = energy(mix, second * 5 / 2, second * 11 / 4);
                EXPECT_LT(10 * std::log10(late / first + 1e-300), -60.0);
                for (size_t t = second / 4; t + second / 4 <= 2 * second; t += second / 4)
                    EXPECT_LT(energy(mix, t, t + second / 4), energy(mix, t - second / 4, t)) << "at " << t;
            }
            EXPECT_EQ(energy(mix, 8 * second, 12 * second), 0.0);
            // Silent now: a chunk without a bus leaves the mix alone.
            Bus untouched(2048, 7);
            effect.run(nullptr, untouched.data(), 1024);
            EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](int64_t v) { return v == 7; }));
        }
    }
}

// Seconds of input far beyond full scale, up to 4096 times it (more than
// any number of voices can send): the output saturates within a few times full scale (the conversion then
// clips it) instead of wrapping, and once the input stops it dies away.
TEST_F(SynthEffects, OverloadSaturatesAndRecovers) {
    for (const Effect& effect : effects(reverb_, chorus_)) {
        SCOPED_TRACE(effect.name);
        effect.init();
        const size_t frames = size_t(kRate) * 4;
        Bus bus(2 * frames), mix(2 * frames, 0);
        for (size_t i = 0; i < frames; ++i) {
            const int64_t square = ((i / 50) % 2 ? 1 : -1) * (i < frames / 2 ? 16 * kFullScale : 4096 * kFullScale);
            bus[2 * i] = square;
            bus[2 * i + 1] = i % 3 == 0 ? -4096 * kFullScale : square;
        }
        for (size_t at = 0; at < frames; at += 1024) {
            const int32_t n = int32_t(std::min<size_t>(1024, frames - at));
            effect.run(bus.data() + 2 * at, mix.data() + 2 * at, n);
        }
        const int64_t peak = std::max(*std::max_element(mix.begin(), mix.end()), -*std::min_element(mix.begin(), mix.end()));
        EXPECT_GT(peak, kFullScale);
        EXPECT_LE(peak, int64_t(1) << 30);
        Bus quiet(2 * size_t(kRate) * 10, 0);
        for (size_t at = 0; at < quiet.size() / 2; at += 1024) effect.run(nullptr, quiet.data() + 2 * at, 1024);
        EXPECT_EQ(energy(quiet, quiet.size() / 2 - kRate, quiet.size() / 2), 0.0);
    }
}

// Level 0 (and NaN, and below) is the effect off: nothing allocated,
// nothing added. A rate it does not serve leaves it off too.
TEST_F(SynthEffects, LevelZeroAndUnservedRatesAreOff) {
    const Bus bus = noisyBus(4096, 4);
    for (float level : {0.0f, -1.0f, std::nanf("")}) {
        ASSERT_TRUE(initReverb(reverb_, kRate, level));
        ASSERT_TRUE(initChorus(chorus_, kRate, level));
        EXPECT_FALSE(reverbActive(reverb_));
        EXPECT_FALSE(chorusActive(chorus_));
        EXPECT_TRUE(reverb_.memory.empty());
        EXPECT_TRUE(chorus_.ring.empty());
        Bus mix(bus.size(), 3);
        runReverb(reverb_, bus.data(), mix.data(), 4096);
        runChorus(chorus_, bus.data(), mix.data(), 4096);
        EXPECT_TRUE(std::all_of(mix.begin(), mix.end(), [](int64_t v) { return v == 3; }));
    }
    EXPECT_FALSE(initReverb(reverb_, 7999, 1.0f));
    EXPECT_FALSE(initChorus(chorus_, 192001, 1.0f));
    EXPECT_FALSE(reverbActive(reverb_));
    EXPECT_FALSE(chorusActive(chorus_));
    // Levels above 1 are 1.
    ASSERT_TRUE(initReverb(reverb_, kRate, 5.0f));
    EXPECT_EQ(reverb_.level, 1.0f);
}

}  // namespace
}  // namespace tz
