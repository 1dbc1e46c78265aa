// A voice's pitch and level: the step from note, sample rate and bend, the
// cached bend factors, and the pan zones with their scales.
#include <gtest/gtest.h>

#include "records/tables.h"
#include "synth/recompute.h"
#include "synth/voice_control.h"
#include "tests/support/song_fixture.h"

namespace tz {
namespace {

using namespace tz::test;

class SynthRecompute : public ::testing::Test {
protected:
    void SetUp() override {
        song = makeSong();
        putInstrument(*song, false, 0, 0, {toneSample()});
        startSong(*song);
    }
    void play(uint8_t channel, uint8_t note) { noteOn(*song, event(0, channel, EventOpcode::NoteOn, note, 100)); }
    Voice& voice(int i) { return song->voices[i]; }

    std::unique_ptr<MidiSong> song;
};

TEST_F(SynthRecompute, StepFollowsNoteAndSampleRate) {
    play(0, 69);
    play(0, 81);
    EXPECT_EQ(voice(0).step, 4096);
    EXPECT_EQ(voice(1).step, 8192);
    // Ping-pong running backwards keeps its direction through a retune.
    voice(0).step = -4096;
    song->channels[0].pitchBend = 0;
    refreshChannelPitch(*song, event(0, 0, EventOpcode::PitchBend));
    EXPECT_LT(voice(0).step, -3600);
}

TEST_F(SynthRecompute, BendFactorsAreExactAndCachedPerChannel) {
    play(0, 69);
    const int slot = 0;
    auto bendTo = [&](int32_t bend) {
        song->channels[0].pitchBend = bend;
        song->channels[0].bendFactor = 0.0f;
        recomputeFrequency(voice(slot), song->channels[0], song->outputRate);
        return voice(slot).frequency;
    };
    EXPECT_EQ(bendTo(0), 391995);      // two semitones down: 440000 / 2^(2/12)
    EXPECT_EQ(song->channels[0].bendFactor, float(bendSemitoneTable[2]));
    EXPECT_EQ(bendTo(16383), 493771);  // just under two semitones up
    // Products and quotients in double precision: single precision would
    // give one milli-Hz more for these bends.
    EXPECT_EQ(bendTo(10240), 452892);
    EXPECT_EQ(bendTo(753), 396263);

    song->channels[0].bendRange = 0;
    EXPECT_EQ(bendTo(12000), 440000);

    // The cached factor is shared until cleared.
    song->channels[0].bendRange = 2;
    song->channels[0].pitchBend = 16383;
    song->channels[0].bendFactor = 1.5f;
    recomputeFrequency(voice(slot), song->channels[0], song->outputRate);
    EXPECT_EQ(voice(slot).frequency, 660000);
}

TEST_F(SynthRecompute, PanZonesAndScales) {
    const double full = 2048383.0;
    auto scalesAt = [&](int32_t pan) {
        Voice& v = voice(0);
        v.state = VoiceState::Playing;
        v.sample = &song->melodicBanks[0]->instruments[0].instrument->samples[0];
        v.velocity = 127;
        song->channels[0].volume = 127;
        song->channels[0].expression = 127;
        v.pan = pan;
        v.rightScale = -1.0f;
        recomputeAmplitude(v, *song);
        return v;
    };
    Voice centre = scalesAt(64);
    EXPECT_EQ(centre.panMode, PanMode::Centre);
    EXPECT_EQ(centre.leftScale, float(full * 0x1p-21));
    EXPECT_EQ(centre.rightScale, -1.0f);
    Voice left = scalesAt(0);
    EXPECT_EQ(left.panMode, PanMode::LeftOnly);
    EXPECT_EQ(left.leftScale, float(full * 0x1p-20));
    EXPECT_EQ(scalesAt(124).panMode, PanMode::RightOnly);
    EXPECT_EQ(scalesAt(61).panMode, PanMode::Centre);
    EXPECT_EQ(scalesAt(5).panMode, PanMode::Panned);
    Voice panned = scalesAt(32);
    EXPECT_EQ(panned.panMode, PanMode::Panned);
    EXPECT_EQ(panned.leftScale, float(full * 0x1p-27) * 95.0f);
    EXPECT_EQ(panned.rightScale, float(full * 0x1p-27) * 32.0f);

    song->format.channels = 1;
    EXPECT_EQ(scalesAt(0).panMode, PanMode::Centre);
    EXPECT_EQ(scalesAt(100).leftScale, float(full * 0x1p-21));
}

}  // namespace
}  // namespace tz
