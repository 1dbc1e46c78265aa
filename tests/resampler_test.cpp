#include <gtest/gtest.h>

#include <random>

#include "synth/lfo.h"
#include "synth/resampler.h"
#include "tests/support/song_fixture.h"

namespace tz {
namespace {

using test::makeMixSong;
using test::makeSample;
using test::pull;
using test::ramp;
using test::startVoice;
using Frames = std::vector<int16_t>;

constexpr int32_t kOne = 4096;

TEST(SynthMixResampler, UnitStepReproducesDataAndEndsOneFrameEarly) {
    auto song = makeMixSong();
    const Frames values{5, -7, 300, 12000, -32768, 32767, 0, 1, 2, 3};
    const Sample sample = makeSample(values);
    Voice& v = startVoice(*song, 0, sample, kOne);
    EXPECT_EQ(pull(*song, 0, 4), Frames(values.begin(), values.begin() + 4));
    EXPECT_EQ(v.position, 4 * kOne);
    EXPECT_EQ(v.state, VoiceState::Playing);
    // Seven frames are computed (positions 4..10, the last on the data end);
    // the last one is not handed back.
    EXPECT_EQ(pull(*song, 0, 16), Frames(values.begin() + 4, values.end()));
    EXPECT_EQ(v.state, VoiceState::Free);
    EXPECT_EQ(v.position, 11 * kOne);
}

TEST(SynthMixResampler, InterpolatesWithFloorShift) {
    auto song = makeMixSong();
    const Sample sample = makeSample({0, -3, 10});
    startVoice(*song, 0, sample, kOne / 4);
    // -3 * 1024 >> 12 floors to -1; -3 * 3072 >> 12 = -3 (exactly -2.25 -> -3).
    EXPECT_EQ(pull(*song, 0, 6), (Frames{0, -1, -2, -3, -3, 0}));
}

// Full-scale random data at random steps and starting fractions: every frame
// is data[i] + (((data[i + 1] - data[i]) * f) >> 12), however the loop is
// computed.
TEST(SynthMixResampler, InterpolationIsExactOnFullScaleData) {
    auto song = makeMixSong(1024);
    std::mt19937 rng(3);
    Frames wave(5000);
    for (auto& x : wave) x = int16_t(rng());
    wave[0] = -32768;
    wave[1] = 32767;
    const Sample sample = makeSample(wave);
    for (int trial = 0; trial < 200; ++trial) {
        const int32_t step = 1 + int32_t(rng() % 20000);
        const int32_t start = int32_t(rng() % 4096) + (trial % 2 ? 0 : int32_t(rng() % 4000) * kOne);
        Voice& v = startVoice(*song, 0, sample, step);
        v.position = start;
        const int32_t wanted = 1 + int32_t(rng() % 1024);
        const Frames got = pull(*song, 0, wanted);
        for (size_t j = 0; j < got.size(); ++j) {
            const int64_t p = start + int64_t(j) * step;
            const int32_t i = int32_t(p >> 12), f = int32_t(p & 4095);
            const int32_t a = sample.data[i], b = sample.data[i + 1];
            ASSERT_EQ(got[j], int16_t(a + (((b - a) * f) >> 12))) << trial << " " << j;
        }
    }
}

TEST(SynthMixResampler, ForwardLoopComputesLoopEndAndWrapsOvershoot) {
    auto song = makeMixSong();
    const Sample sample = makeSample(ramp(20), ModeLooping | ModeEnvelope, 4, 12);
    Voice& v = startVoice(*song, 0, sample, 3 * kOne);
    // Positions 0 3 6 9 12(loop end) | 15 -> 7 10 | 13 -> 5 8 11; value = 8 * position.
    EXPECT_EQ(pull(*song, 0, 10), (Frames{0, 24, 48, 72, 96, 56, 80, 40, 64, 88}));
    EXPECT_EQ(v.position, 14 * kOne);  // wrapped at the start of the next call
    EXPECT_EQ(pull(*song, 0, 2), (Frames{48, 72}));

    // A call that ends with the position on the loop end wraps it at the next
    // call without computing the frame there.
    startVoice(*song, 0, sample, 3 * kOne);
    EXPECT_EQ(pull(*song, 0, 4), (Frames{0, 24, 48, 72}));
    EXPECT_EQ(v.position, 12 * kOne);
    EXPECT_EQ(pull(*song, 0, 3), (Frames{32, 56, 80}));
}

TEST(SynthMixResampler, LoopOneStepLongWrapsOnce) {
    auto song = makeMixSong();
    const Sample sample = makeSample(ramp(10), ModeLooping | ModeEnvelope, 4, 6);
    startVoice(*song, 0, sample, 2 * kOne);
    // 0 2 4 6 | 8 -> 6 | 8 -> 6 ...: the single wrap lands on the loop end.
    EXPECT_EQ(pull(*song, 0, 6), (Frames{0, 16, 32, 48, 48, 48}));
}

TEST(SynthMixResampler, PingPongReflectsAtBothEndsAndKeepsDirection) {
    auto song = makeMixSong();
    const Sample sample = makeSample(ramp(20), ModeLooping | ModePingPong | ModeEnvelope, 4, 12);
    Voice& v = startVoice(*song, 0, sample, 12313);
    // Approach: 0, 12313; loop: 24626, 36939; 49252 is 100 past the end and
    // continues at 49052 downwards: 49052, 36739; value = position >> 9.
    EXPECT_EQ(pull(*song, 0, 6), (Frames{0, 24, 48, 72, 95, 71}));
    EXPECT_EQ(v.position, 24426);
    EXPECT_EQ(v.step, -12313);
    // 24426, then 12113 reflects at the start to 20655 going up.
    EXPECT_EQ(pull(*song, 0, 2), (Frames{47, 40}));
    EXPECT_EQ(v.position, 20655 + 12313);
    EXPECT_EQ(v.step, 12313);
}

TEST(SynthMixResampler, LoopingWithoutEnvelopeBitPlaysOutAfterRelease) {
    auto song = makeMixSong();
    const Sample looping = makeSample(ramp(20), ModeLooping, 4, 12);
    Voice& v = startVoice(*song, 0, looping, 3 * kOne);
    EXPECT_EQ(pull(*song, 0, 10).size(), 10u);
    EXPECT_EQ(v.state, VoiceState::Playing);
    v.state = VoiceState::Releasing;
    // From 14: 14 17 20(end) computed, the last dropped.
    EXPECT_EQ(pull(*song, 0, 20), (Frames{112, 136}));
    EXPECT_EQ(v.state, VoiceState::Free);

    // A loop ending on the data end leaves the position up to a step past
    // it; released there, the sample has ended without a frame.
    const Sample tail = makeSample(ramp(12), ModeLooping, 4, 12);
    for (int period : {0, 3}) {
        Sample t = tail;
        t.vibratoPeriod = period;
        Voice& u = startVoice(*song, 2, t, 5 * kOne);
        if (period == 0) {
            EXPECT_EQ(pull(*song, 2, 3), (Frames{0, 40, 80}));
            EXPECT_EQ(u.position, 15 * kOne);
        }
        u.position = 16 * kOne;
        u.state = VoiceState::Releasing;
        EXPECT_EQ(pull(*song, 2, 8), (Frames{}));
        EXPECT_EQ(u.state, VoiceState::Free);
    }
    // Also when a bend has brought the step down to 0 meanwhile.
    Voice& z = startVoice(*song, 2, tail, 0, VoiceState::Releasing);
    z.position = 13 * kOne;
    EXPECT_EQ(pull(*song, 2, 8), (Frames{}));
    EXPECT_EQ(z.state, VoiceState::Free);

    // With the envelope bit the loop runs on after release.
    const Sample enveloped = makeSample(ramp(20), ModeLooping | ModeEnvelope, 4, 12);
    Voice& w = startVoice(*song, 1, enveloped, 3 * kOne, VoiceState::Releasing);
    EXPECT_EQ(pull(*song, 1, 1000).size(), 1000u);
    EXPECT_EQ(w.state, VoiceState::Releasing);
    EXPECT_LE(w.position, 12 * kOne + 3 * kOne);
}

// Every frame after the first few must lie inside the loop.
void expectInsideLoop(const Frames& frames, size_t from, int lo, int hi) {
    for (size_t i = from; i < frames.size(); ++i) {
        ASSERT_GE(frames[i], lo) << i;
        ASSERT_LE(frames[i], hi) << i;
    }
}

TEST(SynthMixResampler, LoopsShorterThanTheStepStayInside) {
    auto song = makeMixSong();
    for (uint8_t kind : {uint8_t(ModeLooping), uint8_t(ModeLooping | ModePingPong)}) {
        SCOPED_TRACE(int(kind));
        // Loop one value long, step 3.24 values.
        const Sample shortLoop = makeSample(ramp(30), kind | ModeEnvelope, 10, 11);
        Voice& v = startVoice(*song, 0, shortLoop, 3 * kOne + 1000);
        for (int call = 0; call < 4; ++call) {
            const Frames f = pull(*song, 0, 300);
            ASSERT_EQ(f.size(), 300u);
            expectInsideLoop(f, call == 0 ? 4 : 0, 80, 88);
            EXPECT_EQ(v.state, VoiceState::Playing);
        }
        // A loop of no length holds the value at the loop point.
        const Sample empty = makeSample(ramp(30), kind | ModeEnvelope, 10, 10);
        startVoice(*song, 0, empty, 3 * kOne + 1000);
        expectInsideLoop(pull(*song, 0, 300), 4, 80, 80);
        // With vibrato as well.
        Sample vibrato = makeSample(ramp(30), kind | ModeEnvelope, 10, 11);
        vibrato.vibratoPeriod = 3;
        vibrato.vibratoDepth = 255;
        startVoice(*song, 0, vibrato, 3 * kOne + 1000).frequency = 1430000;  // ~3.25 values
        expectInsideLoop(pull(*song, 0, 300), 6, 80, 88);
    }
}

TEST(SynthMixResampler, HugeStepsNearTheTopOfTheRangeStayInsideTheData) {
    auto song = makeMixSong();
    const int32_t count = (1 << 19) - 1;
    Frames values(size_t(count), 0);
    values[size_t(count - 3)] = 100;
    values[size_t(count - 2)] = 200;
    values[size_t(count - 1)] = 300;
    for (uint8_t kind : {uint8_t(ModeLooping), uint8_t(ModeLooping | ModePingPong)}) {
        SCOPED_TRACE(int(kind));
        const Sample sample = makeSample(values, kind | ModeEnvelope, count - 3, count);
        Voice& v = startVoice(*song, 0, sample, INT32_MAX);
        const Frames f = pull(*song, 0, 50);
        ASSERT_EQ(f.size(), 50u);
        expectInsideLoop(f, 1, 100, 300);
        EXPECT_GE(v.position, sample.loopStart);
        EXPECT_LE(v.position, sample.loopEnd);
    }
    const Sample plain = makeSample(values);
    Voice& v = startVoice(*song, 0, plain, INT32_MAX);
    EXPECT_EQ(pull(*song, 0, 50), (Frames{}));
    EXPECT_EQ(v.state, VoiceState::Free);
}

TEST(SynthMixResampler, DirectPlayHandsOutTheDataInPlace) {
    auto song = makeMixSong();
    Sample sample = makeSample(ramp(10));
    sample.sampleRate = 0;
    Voice& v = startVoice(*song, 0, sample, 0);
    int32_t count = 4;
    EXPECT_EQ(resampleVoice(song->voices[0], song->resampleBuffer, song->outputRate, count), sample.data.get());
    EXPECT_EQ(count, 4);
    EXPECT_EQ(v.position, 4 * kOne);
    count = 6;  // exactly what is left: ends the voice
    EXPECT_EQ(resampleVoice(song->voices[0], song->resampleBuffer, song->outputRate, count), sample.data.get() + 4);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(v.state, VoiceState::Free);
}

// Counts vibrato updates by the phase they advance.
TEST(SynthMixResampler, VibratoUpdateSpacing) {
    auto song = makeMixSong();
    Sample plain = makeSample(ramp(4000, 1));
    plain.vibratoPeriod = 5;
    plain.vibratoDepth = 100;
    Sample looping = makeSample(ramp(4000, 1), ModeLooping | ModeEnvelope, 0, 3000);
    looping.vibratoPeriod = 5;
    looping.vibratoDepth = 100;

    // Not looping: updates before frames 0, 6, 12, 18.
    Voice& a = startVoice(*song, 0, plain, kOne);
    pull(*song, 0, 23);
    EXPECT_EQ(a.vibratoPhase, 4);
    startVoice(*song, 0, plain, kOne);
    pull(*song, 0, 3);
    pull(*song, 0, 20);
    EXPECT_EQ(a.vibratoPhase, 4);
    // Looping: before frames 0, 5, 10, 15, 20; a call that ends on an update
    // leaves it to the next call.
    Voice& b = startVoice(*song, 1, looping, kOne);
    pull(*song, 1, 23);
    EXPECT_EQ(b.vibratoPhase, 5);
    startVoice(*song, 1, looping, kOne);
    pull(*song, 1, 5);
    EXPECT_EQ(b.vibratoPhase, 1);
    EXPECT_EQ(b.vibratoCountdown, 0);
    pull(*song, 1, 18);
    EXPECT_EQ(b.vibratoPhase, 5);

    // The new step takes effect at those frames: the steps actually taken,
    // traced one frame per call, change exactly there.
    for (int which = 0; which < 2; ++which) {
        const int every = which == 0 ? 6 : 5;
        Voice& v = startVoice(*song, 0, which == 0 ? plain : looping, kOne);
        int32_t last = v.position;
        std::vector<int32_t> steps;
        for (int i = 0; i < 24; ++i) {
            pull(*song, 0, 1);
            steps.push_back(v.position - last);
            last = v.position;
        }
        for (int i = 1; i < 24; ++i) EXPECT_EQ(steps[size_t(i)] != steps[size_t(i - 1)], i % every == 0) << which << " " << i;
    }
}

// The non-looping vibrato variant, frame by frame as the rule reads.
Frames playOutFrameByFrame(MidiSong& song, Voice& v, int32_t wanted) {
    Frames out;
    const Sample& s = *v.sample;
    int64_t step = std::abs(int64_t(v.step));
    int64_t p = v.position;
    bool ended = false;
    for (int32_t i = 0; i < wanted && !ended; ++i) {
        if (v.vibratoCountdown == 0) {
            v.vibratoCountdown = v.vibratoPeriod;
            step = vibratoStep(v, song.outputRate, false);
        } else {
            --v.vibratoCountdown;
        }
        const int32_t idx = int32_t(p >> 12), frac = int32_t(p & 4095);
        out.push_back(int16_t(s.data[idx] + (((s.data[idx + 1] - s.data[idx]) * frac) >> 12)));
        p += step;
        if (p >= s.dataLength) ended = true;
    }
    v.step = int32_t(step);
    if (ended) {
        v.state = VoiceState::Free;
        out.pop_back();
    }
    v.position = int32_t(p);
    return out;
}

TEST(SynthMixResampler, NotLoopingVibratoMatchesFrameByFrameRule) {
    auto song = makeMixSong(64);
    std::mt19937 rng(7);
    Frames wave(3000);
    for (auto& x : wave) x = int16_t(int(rng() % 60001) - 30000);
    for (int trial = 0; trial < 40; ++trial) {
        Sample s = makeSample(wave);
        s.vibratoPeriod = 1 + int32_t(rng() % 9);
        s.vibratoDepth = uint8_t(rng() % 256);
        s.vibratoSweepStep = trial % 2 ? int32_t(rng() % 9000) : 0;
        const int32_t step = 2000 + int32_t(rng() % 20000);
        Voice& a = startVoice(*song, 0, s, step);
        Voice& b = startVoice(*song, 1, s, step);
        while (a.state != VoiceState::Free) {
            const int32_t n = 1 + int32_t(rng() % 64);
            const Frames got = pull(*song, 0, n);
            const Frames want = playOutFrameByFrame(*song, b, n);
            ASSERT_EQ(got, want) << trial;
            ASSERT_EQ(a.state, b.state);
            ASSERT_EQ(a.step, b.step);
            ASSERT_EQ(a.vibratoCountdown, b.vibratoCountdown);
            if (a.state != VoiceState::Free) {
                ASSERT_EQ(a.position, b.position);
            }
        }
    }
}

// The looping variants chunk by chunk as the rules read, for loops at least
// one step long: a forward loop wraps once at the start of a chunk; a
// ping-pong loop approaches its start, then reflects after every chunk; with
// vibrato every chunk is also cut where the countdown runs out.
struct LoopModel {
    MidiSong& song;
    Voice& v;
    Frames out;
    int64_t p, s, countdown;
    bool vibrato;

    void chunk(int64_t k, int64_t wanted) {
        k = std::min<int64_t>(k, wanted - int64_t(out.size()));
        bool due = false;
        if (vibrato) {
            if (k > countdown)
                k = countdown, due = true;
            else
                countdown -= k;
        }
        for (int64_t j = 0; j < k; ++j, p += s) {
            const int32_t i = int32_t(p >> 12), f = int32_t(p & 4095);
            const Sample& x = *v.sample;
            out.push_back(int16_t(x.data[i] + (((x.data[i + 1] - x.data[i]) * f) >> 12)));
        }
        if (due) {
            countdown = v.vibratoPeriod;
            s = vibratoStep(v, song.outputRate, s < 0);
        }
    }
    Frames run(int32_t wanted) {
        const Sample& x = *v.sample;
        out.clear();
        p = v.position, s = v.step, countdown = v.vibratoCountdown;
        if (!(x.modes & ModePingPong)) {
            while (int64_t(out.size()) < wanted) {
                if (p >= x.loopEnd) p -= x.loopEnd - x.loopStart;
                chunk((x.loopEnd - p) / s + 1, wanted);
            }
        } else {
            do {
                if (p <= x.loopStart) chunk((x.loopStart - p) / s + 1, wanted);
            } while (vibrato && p <= x.loopStart && int64_t(out.size()) < wanted);
            while (int64_t(out.size()) < wanted) {
                chunk(((s > 0 ? x.loopEnd : x.loopStart) - p) / s + 1, wanted);
                if (p >= x.loopEnd)
                    p = 2 * int64_t(x.loopEnd) - p, s = -s;
                else if (p <= x.loopStart)
                    p = 2 * int64_t(x.loopStart) - p, s = -s;
            }
            v.step = int32_t(s);
        }
        v.position = int32_t(p);
        if (vibrato) v.step = int32_t(s), v.vibratoCountdown = int32_t(countdown);
        return out;
    }
};

TEST(SynthMixResampler, LoopsMatchTheChunkRules) {
    auto song = makeMixSong(256);
    std::mt19937 rng(21);
    Frames wave(4000);
    for (auto& x : wave) x = int16_t(rng());
    for (int trial = 0; trial < 400; ++trial) {
        const bool pingPong = trial % 2 != 0;
        const bool vibrato = trial % 4 >= 2;
        // Every fifth trial lands exactly on the loop points.
        const bool exact = trial % 5 == 0;
        const int32_t step = exact ? kOne * (1 + int32_t(rng() % 4)) : 100 + int32_t(rng() % 30000);
        // Long enough for the deepest vibrato step (under 1.26 times the step).
        const int32_t minLength = exact ? 2 * step : step + step / 2;
        const int32_t start = exact ? step * int32_t(rng() % 3) : int32_t(rng() % 1000000);
        const int32_t end = start + minLength + (exact ? step * int32_t(rng() % 20) : int32_t(rng() % 200000));
        Sample s = makeSample(wave, uint8_t(ModeLooping | ModeEnvelope | (pingPong ? ModePingPong : 0)));
        s.loopStart = start;
        s.loopEnd = trial % 7 == 1 ? int32_t(wave.size()) * kOne : std::min(end, int32_t(wave.size()) * kOne);
        if (s.loopEnd - s.loopStart < minLength) s.loopStart = s.loopEnd - minLength;
        if (vibrato) {
            s.vibratoPeriod = 1 + int32_t(rng() % 40);
            s.vibratoDepth = uint8_t(rng());
            s.vibratoSweepStep = trial % 3 ? 0 : int32_t(rng() % 20000);
        }
        Voice& a = startVoice(*song, 0, s, step);
        Voice& b = startVoice(*song, 1, s, step);
        a.frequency = b.frequency = int32_t(int64_t(440000) * step / 4096);
        LoopModel model{*song, b, {}, 0, 0, 0, vibrato};
        for (int call = 0; call < 30; ++call) {
            const int32_t n = int32_t(rng() % 257);
            ASSERT_EQ(pull(*song, 0, n), model.run(n)) << trial << " " << call;
            ASSERT_EQ(a.position, b.position) << trial << " " << call;
            ASSERT_EQ(a.step, b.step) << trial << " " << call;
            ASSERT_EQ(a.vibratoCountdown, b.vibratoCountdown) << trial << " " << call;
            ASSERT_EQ(a.state, VoiceState::Playing);
        }
    }
}

// Odd but loadable samples (any loop inside the data, any step, vibrato on
// or off) never read outside the data, never hang, and keep looping voices
// inside their loops.
TEST(SynthMixResampler, OddSamplesAndStepsStayInBounds) {
    auto song = makeMixSong(128);
    std::mt19937 rng(11);
    const int32_t steps[] = {0, 1, 4095, 4096, 12345, 1 << 20, INT32_MAX - 1, INT32_MAX};
    for (int trial = 0; trial < 3000; ++trial) {
        const int32_t count = int32_t(rng() % 40);
        Frames values(static_cast<size_t>(count));
        for (auto& x : values) x = int16_t(rng());
        const uint8_t modes = uint8_t(rng() & (ModeLooping | ModePingPong | ModeEnvelope));
        const int32_t length = count << 12;
        const int32_t end = int32_t(rng() % uint32_t(length + 1));
        const int32_t start = int32_t(rng() % uint32_t(end + 1));
        Sample sample = makeSample(values, modes);
        sample.loopStart = start;
        sample.loopEnd = end;
        if (trial % 3 == 0) {
            sample.vibratoPeriod = 1 + int32_t(rng() % 5);
            sample.vibratoDepth = uint8_t(rng());
        }
        int32_t step = trial % 2 ? steps[rng() % 8] : int32_t(rng() % 40000);
        if ((modes & ModePingPong) && rng() % 2) step = -step;
        Voice& v = startVoice(*song, 0, sample, step, rng() % 2 ? VoiceState::Playing : VoiceState::Releasing);
        v.frequency = int32_t(rng() % 3000000);
        for (int call = 0; call < 20 && v.state != VoiceState::Free; ++call) {
            const int32_t wanted = int32_t(rng() % 129);
            int32_t got = wanted;
            resampleVoice(song->voices[0], song->resampleBuffer, song->outputRate, got);
            ASSERT_GE(got, 0);
            ASSERT_LE(got, wanted);
            const bool pingPong = (modes & ModeLooping) && (modes & ModePingPong) && (modes & ModeEnvelope);
            if (pingPong && v.position > start) {
                ASSERT_LE(v.position, end) << trial;
            }
        }
    }
}

}  // namespace
}  // namespace tz
