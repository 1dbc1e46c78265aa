#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "records/tables.h"
#include "synth/envelope.h"
#include "synth/mixer.h"
#include "tests/support/song_fixture.h"

namespace tz {
namespace {

using test::makeMixSong;
using test::makeSample;
using test::startVoice;

constexpr int32_t kOne = 4096;

// A sample holding one value everywhere, looping, so the mix shows the gains.
Sample constantSample(int16_t value, uint8_t modes = ModeLooping) {
    return makeSample(std::vector<int16_t>(64, value), modes, 0, 64);
}

// Gain as the gain update forms it from an amplitude and an envelope level.
int32_t gainAt(float scale, int32_t level) {
    return int32_t(scale * float(envelopeVolumeTable[level >> 23]) * 4096.0f);
}

Sample envelopeSample(std::initializer_list<int32_t> targets, std::initializer_list<int32_t> rates) {
    Sample s = constantSample(1000, ModeLooping | ModeEnvelope);
    std::copy(targets.begin(), targets.end(), s.envelopeTarget);
    std::copy(rates.begin(), rates.end(), s.envelopeRate);
    return s;
}

TEST(SynthMixMix, ControlBlocksAreCountedAcrossSpans) {
    auto song = makeMixSong(256);
    const Sample s = envelopeSample({127 << 23, 127 << 23, 127 << 23, 0, 0, 0}, {1 << 23, 1, 1, 1, 1, 1});
    Voice& v = startVoice(*song, 0, s, kOne);
    v.panMode = PanMode::Centre;
    v.leftScale = 1.0f;
    advanceEnvelopeStage(song->voices[0]);
    updateGains(song->voices[0]);
    EXPECT_EQ(v.leftGain, gainAt(1.0f, 0));
    int32_t* mix = song->groupMix.data();

    // First span: update first (level 1), 30 frames, 14 left in the block.
    mixVoice(song->voices[0], mixContext(*song), mix, 30);
    EXPECT_EQ(mix[0], 1000 * gainAt(1.0f, 1 << 23));
    EXPECT_EQ(mix[59], 1000 * gainAt(1.0f, 1 << 23));
    EXPECT_EQ(mix[60], 0);
    EXPECT_EQ(v.blockCountdown, 14);

    // Second span: 14 frames finish the block, the next 6 use level 2.
    std::fill(song->groupMix.begin(), song->groupMix.end(), 0);
    mixVoice(song->voices[0], mixContext(*song), mix, 20);
    EXPECT_EQ(mix[2 * 13], 1000 * gainAt(1.0f, 1 << 23));
    EXPECT_EQ(mix[2 * 14], 1000 * gainAt(1.0f, 2 << 23));
    EXPECT_EQ(mix[2 * 19 + 1], 1000 * gainAt(1.0f, 2 << 23));
    EXPECT_EQ(v.blockCountdown, 38);

    // A span that ends on the block boundary leaves 0; the next call
    // updates before its first frame.
    mixVoice(song->voices[0], mixContext(*song), mix, 38);
    EXPECT_EQ(v.blockCountdown, 0);
    std::fill(song->groupMix.begin(), song->groupMix.end(), 0);
    mixVoice(song->voices[0], mixContext(*song), mix, 1);
    EXPECT_EQ(mix[0], 1000 * gainAt(1.0f, 3 << 23));
    EXPECT_EQ(v.blockCountdown, 43);
}

TEST(SynthMixMix, HeldEnvelopeUsesTheConstantRoutine) {
    auto song = makeMixSong(256);
    const Sample s = envelopeSample({127 << 23, 127 << 23, 127 << 23, 0, 0, 0}, {1, 1, 1, 1, 1, 1});
    Voice& v = startVoice(*song, 0, s, kOne);
    v.envLevel = 127 << 23;
    v.panMode = PanMode::Centre;
    v.leftScale = 0.5f;
    advanceEnvelopeStage(song->voices[0]);  // all reached: held
    EXPECT_EQ(v.envStep, 0);
    v.blockCountdown = 7;
    updateGains(song->voices[0]);
    mixVoice(song->voices[0], mixContext(*song), song->groupMix.data(), 100);
    EXPECT_EQ(v.blockCountdown, 7);
    EXPECT_EQ(song->groupMix[199], 1000 * 2048);
}

TEST(SynthMixMix, EnvelopeEndingMidSpanStopsAtTheBlockBoundary) {
    auto song = makeMixSong(256);
    const Sample s = envelopeSample({0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 1 << 23});
    Voice& v = startVoice(*song, 0, s, kOne, VoiceState::Releasing);
    v.panMode = PanMode::LeftOnly;
    v.leftScale = 1.0f;
    v.envLevel = 2 << 23;
    v.envStage = 5;
    advanceEnvelopeStage(song->voices[0]);
    mixVoice(song->voices[0], mixContext(*song), song->groupMix.data(), 100);
    EXPECT_EQ(song->groupMix[2 * 43], 1000 * gainAt(1.0f, 1 << 23));
    EXPECT_EQ(song->groupMix[2 * 43 + 1], 0);
    EXPECT_EQ(song->groupMix[2 * 44], 0);
    EXPECT_EQ(v.state, VoiceState::Free);
}

TEST(SynthMixMix, DyingVoicesFadeOverTwentyFrames) {
    auto mono = makeMixSong(64, true);
    const Sample one = constantSample(1);
    Voice& a = startVoice(*mono, 0, one, kOne, VoiceState::Dying);
    a.leftGain = 100;
    a.panMode = PanMode::Centre;
    mixVoice(mono->voices[0], mixContext(*mono), mono->groupMix.data(), 64);
    EXPECT_EQ(mono->groupMix[0], 95);
    EXPECT_EQ(mono->groupMix[18], 5);
    EXPECT_EQ(mono->groupMix[19], 0);
    EXPECT_EQ(a.state, VoiceState::Free);
    EXPECT_EQ(a.leftGain, 100);  // not written back

    auto stereo = makeMixSong(64);
    Voice& b = startVoice(*stereo, 0, one, kOne, VoiceState::Dying);
    b.panMode = PanMode::Panned;
    b.leftGain = 100;
    b.rightGain = 10;  // 10 / 20 = 0: no step on the right
    mixVoice(stereo->voices[0], mixContext(*stereo), stereo->groupMix.data(), 64);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(stereo->groupMix[size_t(2 * i)], 95 - 5 * i);
        EXPECT_EQ(stereo->groupMix[size_t(2 * i + 1)], 10);
    }
    EXPECT_EQ(stereo->groupMix[40], 0);

    // A small gain steps by -1 and stops below 0; one side only.
    std::fill(stereo->groupMix.begin(), stereo->groupMix.end(), 0);
    Voice& c = startVoice(*stereo, 0, one, kOne, VoiceState::Dying);
    c.panMode = PanMode::RightOnly;
    c.leftGain = 7;
    mixVoice(stereo->voices[0], mixContext(*stereo), stereo->groupMix.data(), 10);
    const std::vector<int32_t> want{0, 6, 0, 5, 0, 4, 0, 3, 0, 2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<int32_t>(stereo->groupMix.begin(), stereo->groupMix.begin() + 20), want);
}

TEST(SynthMixMix, EachPanLayoutFillsItsSlots) {
    struct Case {
        PanMode mode;
        int64_t left, right;
    };
    const Case cases[] = {
        {PanMode::Panned, 2048, 1024}, {PanMode::Centre, 2048, 2048}, {PanMode::LeftOnly, 2048, 0},
        {PanMode::RightOnly, 0, 2048}, {PanMode(9), 2048, 0},
    };
    const Sample s = constantSample(1000);
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.mode));
        auto song = makeMixSong(64);
        Voice& v = startVoice(*song, 0, s, kOne);
        v.panMode = c.mode;
        v.leftScale = 0.5f;
        v.rightScale = 0.25f;
        v.rightGain = 77;
        updateGains(song->voices[0]);
        EXPECT_EQ(v.rightGain, c.mode == PanMode::Panned ? 1024 : 77);
        song->groupMix[0] = 5;  // adds to what is there
        mixVoice(song->voices[0], mixContext(*song), song->groupMix.data(), 64);
        EXPECT_EQ(song->groupMix[0], 5 + 1000 * c.left);
        EXPECT_EQ(song->groupMix[127], 1000 * c.right);
    }
    auto mono = makeMixSong(64, true);
    Voice& v = startVoice(*mono, 0, s, kOne);
    v.panMode = PanMode::Centre;
    v.leftGain = 300;
    mixVoice(mono->voices[0], mixContext(*mono), mono->groupMix.data(), 10);
    EXPECT_EQ(mono->groupMix[9], 300000);
    EXPECT_EQ(mono->groupMix[10], 0);
}

TEST(SynthMixGains, CapAtFullScale) {
    auto song = makeMixSong();
    Sample s = constantSample(1000);
    Voice& v = startVoice(*song, 0, s, kOne);
    v.panMode = PanMode::Panned;
    v.leftScale = 1.9998f;  // 8191.18
    v.rightScale = 2.0f;    // 8192
    updateGains(song->voices[0]);
    EXPECT_EQ(v.leftGain, 8191);
    EXPECT_EQ(v.rightGain, 8191);
}

// One looping sine voice: its period, its level in each pan zone, and its
// envelope's attack time.
TEST(SynthMixSine, LoopingSineVoiceHasItsPeriodGainAndAttack) {
    std::vector<int16_t> cycle(64);
    for (int i = 0; i < 64; ++i) cycle[size_t(i)] = int16_t(std::lround(16000 * std::sin(2 * std::numbers::pi * i / 64)));
    Sample s = makeSample(cycle, ModeLooping | ModeEnvelope, 0, 64);
    const int32_t top = 255 << 22;
    const int32_t rate = top / 10 + 1;  // attack in 10 control blocks
    for (int i = 0; i < 3; ++i) s.envelopeTarget[i] = top, s.envelopeRate[i] = rate;

    struct Zone {
        PanMode mode;
        float left, right;
    };
    const float w = float(2048383 * 0x1p-27);
    const Zone zones[] = {{PanMode::Centre, float(2048383 * 0x1p-21), 0},
                          {PanMode::LeftOnly, float(2048383 * 0x1p-20), 0},
                          {PanMode::RightOnly, float(2048383 * 0x1p-20), 0},
                          {PanMode::Panned, w * 95, w * 32}};
    for (const Zone& z : zones) {
        SCOPED_TRACE(int(z.mode));
        auto song = makeMixSong(1024);
        Voice& v = startVoice(*song, 0, s, kOne / 2);  // 2 output frames per value: period 128
        v.panMode = z.mode;
        v.leftScale = z.left;
        v.rightScale = z.right;
        advanceEnvelopeStage(song->voices[0]);
        updateGains(song->voices[0]);
        mixVoice(song->voices[0], mixContext(*song), song->groupMix.data(), 1024);
        const int32_t* mix = song->groupMix.data();

        const int32_t full = std::min(int32_t(z.left * 4096.0f), 8191);
        EXPECT_EQ(v.leftGain, full);
        EXPECT_EQ(v.envStep, 0);  // attack done, held
        auto channel = [&](int side) {
            std::vector<int64_t> c(1024);
            for (int i = 0; i < 1024; ++i) c[size_t(i)] = mix[2 * i + side];
            return c;
        };
        const auto left = channel(z.mode == PanMode::RightOnly ? 1 : 0);
        // Period: once at full level every cycle of 128 frames is the same.
        for (int i = 440; i + 128 < 1024; ++i) ASSERT_EQ(left[size_t(i)], left[size_t(i + 128)]) << i;
        // Level: the peak (frame 32 of a cycle, value 16000) times the gain.
        EXPECT_EQ(left[512 + 32], int64_t(16000) * full);
        if (z.mode == PanMode::Panned) {
            const auto right = channel(1);
            EXPECT_EQ(right[512 + 32], int64_t(16000) * int32_t(z.right * 4096.0f));
        }
        if (z.mode == PanMode::LeftOnly || z.mode == PanMode::RightOnly) {
            const auto other = channel(z.mode == PanMode::LeftOnly ? 1 : 0);
            EXPECT_EQ(*std::max_element(other.begin(), other.end()), 0);
        }
        // Attack: block b (frames 44b .. 44b+43) uses level (b + 1) * rate
        // until the top is reached after ten blocks.
        for (int b = 0; b < 12; ++b) {
            const int32_t level = std::min(int64_t(b + 1) * rate, int64_t(top));
            const int32_t gain = gainAt(z.left, level);
            const int frame = 44 * b + 2;  // value cycle[1] at an even frame
            EXPECT_EQ(left[size_t(frame)], int64_t(cycle[size_t((frame / 2) % 64)]) * gain) << b;
        }
    }
}

}  // namespace
}  // namespace tz
