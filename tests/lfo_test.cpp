// The two LFOs: the tremolo factor and the vibrato steps, their sines and
// sweeps, and the vibrato step cache.
#include <gtest/gtest.h>

#include "synth/lfo.h"
#include "synth/mixer.h"
#include "tests/support/song_fixture.h"

namespace tz {
namespace {

using test::makeMixSong;
using test::makeSample;
using test::ramp;
using test::startVoice;

constexpr int32_t kOne = 4096;

TEST(SynthLfo, TremoloFactorFollowsTheSineAndTheSweep) {
    auto song = makeMixSong();
    Sample s = makeSample(std::vector<int16_t>(64, 1000), ModeLooping, 0, 64);
    Voice& v = song->voices[0];
    // Full depth at a quarter cycle: 1 - (1 + 1) * 32640 / 2^17.
    s.tremoloDepth = 255;
    s.tremoloPhaseStep = 256 << 5;
    startVoice(*song, 0, s, kOne);
    v.panMode = PanMode::Centre;
    v.leftScale = 1.0f;
    updateTremolo(song->voices[0]);
    EXPECT_EQ(v.tremoloFactor, 0.501953125f);
    updateGains(song->voices[0]);
    EXPECT_EQ(v.leftGain, 2056);

    // Half-way through the sweep: half the depth.
    s.tremoloSweepStep = 32768;
    startVoice(*song, 0, s, kOne);
    updateTremolo(song->voices[0]);
    EXPECT_EQ(v.tremoloFactor, 1.0f - float(2.0 * 16320 * 0x1p-17));
    EXPECT_EQ(v.tremoloSweepStep, 32768);
    updateTremolo(song->voices[0]);  // sweep complete: full depth, phase at half a cycle
    EXPECT_EQ(v.tremoloSweepStep, 0);
    EXPECT_NEAR(v.tremoloFactor, 1.0f - 32640.0f / 131072.0f, 1e-6);
}

TEST(SynthLfo, VibratoStepCachesByFoldedPhase) {
    auto song = makeMixSong();
    Sample s = makeSample(ramp(10));
    s.vibratoPeriod = 4;
    s.vibratoDepth = 200;
    Voice& v = startVoice(*song, 0, s, kOne);

    // Phase 31 alone: a step above the unmodulated 4096.
    v.vibratoPhase = 30;
    const int32_t at31 = vibratoStep(v, song->outputRate, false);
    EXPECT_GT(at31, kOne);
    EXPECT_EQ(v.vibratoStepCache[15], at31);

    // Phase 0 first (sine 0: the plain step), then 31 reuses slot 15.
    startVoice(*song, 0, s, kOne);
    v.vibratoPhase = 63;
    EXPECT_EQ(vibratoStep(v, song->outputRate, false), kOne);
    EXPECT_EQ(v.vibratoPhase, 0);
    v.vibratoPhase = 30;
    EXPECT_EQ(vibratoStep(v, song->outputRate, true), -kOne);

    // Phases past the middle lower the pitch; during a sweep nothing is cached.
    startVoice(*song, 0, s, kOne);
    v.vibratoPhase = 47;
    EXPECT_LT(vibratoStep(v, song->outputRate, false), kOne);
    s.vibratoSweepStep = 30000;
    startVoice(*song, 0, s, kOne);
    v.vibratoPhase = 15;
    const int32_t swept = vibratoStep(v, song->outputRate, false);
    EXPECT_EQ(v.vibratoSweepLevel, 30000);
    EXPECT_EQ(v.vibratoStepCache[0], 0);
    v.vibratoPhase = 15;
    EXPECT_GT(vibratoStep(v, song->outputRate, false), swept);  // 60000: deeper
    v.vibratoPhase = 15;
    vibratoStep(v, song->outputRate, false);  // 90000: full depth, cached from now on
    EXPECT_EQ(v.vibratoSweepStep, 0);
    EXPECT_NE(v.vibratoStepCache[0], 0);
}

}  // namespace
}  // namespace tz
