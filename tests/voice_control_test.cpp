#include <gtest/gtest.h>

#include "synth/voice_control.h"
#include "tests/support/song_fixture.h"

namespace tz {
namespace {

using namespace tz::test;

class SynthControlVoice : public ::testing::Test {
protected:
    void SetUp() override {
        song = makeSong();
        putInstrument(*song, false, 0, 0, {toneSample()});
        startSong(*song);
    }
    void play(uint8_t channel, uint8_t note, uint8_t velocity = 100) {
        noteOn(*song, event(0, channel, EventOpcode::NoteOn, note, velocity));
    }
    // Fills every active slot with a Playing voice of channel 1.
    void fillAllSlots() {
        for (int i = 0; i < song->voiceCount; ++i) play(1, uint8_t(i));
    }
    Voice& voice(int i) { return song->voices[i]; }

    std::unique_ptr<MidiSong> song;
};

TEST_F(SynthControlVoice, SameKeyIsCutAndTheNoteTakesTheLowestFreeSlot) {
    play(0, 60);
    play(0, 62);
    play(1, 60);  // same key, other channel: untouched
    ASSERT_EQ(voice(0).state, VoiceState::Playing);
    noteOff(*song, event(0, 0, EventOpcode::NoteOff, 60));
    EXPECT_EQ(voice(0).state, VoiceState::Releasing);
    voice(1).state = VoiceState::Free;  // slot 1 becomes free again
    play(0, 60);
    EXPECT_EQ(voice(0).state, VoiceState::Dying);
    EXPECT_EQ(voice(1).state, VoiceState::Playing);
    EXPECT_EQ(voice(1).note, 60);
    EXPECT_EQ(voice(2).state, VoiceState::Playing);
    EXPECT_EQ(voice(2).channel, 1);
}

TEST_F(SynthControlVoice, SameKeyCutReachesPedalledAndDyingVoices) {
    song->channels[0].sustain = 127;
    play(0, 60);
    noteOff(*song, event(0, 0, EventOpcode::NoteOff, 60));
    ASSERT_EQ(voice(0).state, VoiceState::Sustained);
    play(0, 60);
    EXPECT_EQ(voice(0).state, VoiceState::Dying);
    EXPECT_EQ(voice(1).state, VoiceState::Playing);
    play(0, 60);
    EXPECT_EQ(voice(0).state, VoiceState::Dying);
    EXPECT_EQ(voice(1).state, VoiceState::Dying);
    EXPECT_EQ(voice(2).state, VoiceState::Playing);
    // The pedal's release does not bring a cut voice back.
    releaseSustained(*song, event(0, 0, EventOpcode::SustainPedal, 0));
    EXPECT_EQ(voice(0).state, VoiceState::Dying);
}

TEST_F(SynthControlVoice, NoteStartResetsTheControlBlockOnlyForEnvelopes) {
    voice(0).blockCountdown = 7;
    voice(0).tremoloFactor = 0.25f;
    voice(0).envStep = 99;
    play(0, 60);
    EXPECT_EQ(voice(0).blockCountdown, 7);  // left from the slot's previous note
    EXPECT_EQ(voice(0).tremoloFactor, 0.25f);
    EXPECT_EQ(voice(0).envStep, 0);

    Sample shaped = toneSample();
    shaped.modes |= ModeEnvelope;
    shaped.envelopeRate[0] = 1000;
    shaped.envelopeTarget[0] = 255 << 22;
    putInstrument(*song, false, 0, 3, {shaped});
    song->channels[1].program = 3;
    voice(1).blockCountdown = 9;
    voice(1).envLevel = 12345;
    play(1, 60);
    EXPECT_EQ(voice(1).blockCountdown, 0);
    EXPECT_EQ(voice(1).envLevel, 0);
    EXPECT_EQ(voice(1).envStage, 1);
    EXPECT_EQ(voice(1).envStep, 1000);
    EXPECT_EQ(voice(1).envTarget, 255 << 22);
}

TEST_F(SynthControlVoice, MissingInstrumentStillCutsTheSameKey) {
    play(0, 60);
    MidiEvent change = event(0, 0, EventOpcode::ProgramChange, 5);
    song->channels[0].program = change.a;  // no instrument at program 5 in any bank
    play(0, 60);
    EXPECT_EQ(voice(0).state, VoiceState::Dying);
    EXPECT_EQ(voice(1).state, VoiceState::Free);
}

TEST_F(SynthControlVoice, FullPoolDropsTheNoteWithoutDisturbingAnyVoice) {
    fillAllSlots();
    play(2, 90);
    EXPECT_EQ(song->lostNoteCount, 1);
    EXPECT_EQ(song->stolenNoteCount, 0);
    for (int i = 0; i < song->voiceCount; ++i) {
        EXPECT_EQ(voice(i).state, VoiceState::Playing) << i;
        EXPECT_EQ(voice(i).note, i) << i;
    }
}

TEST_F(SynthControlVoice, StealingTakesTheQuietestReleasedVoiceHighestSlotOnTies) {
    fillAllSlots();
    for (int i = 0; i < song->voiceCount; ++i) {
        voice(i).panMode = PanMode::Centre;
        voice(i).leftGain = 1000;
    }
    voice(3).state = VoiceState::Releasing;
    voice(17).state = VoiceState::Releasing;
    voice(20).state = VoiceState::Dying;  // never taken, however quiet
    voice(20).leftGain = 0;
    voice(25).leftGain = 0;  // Playing: never taken either
    play(2, 100);
    EXPECT_EQ(song->stolenNoteCount, 1);
    EXPECT_EQ(voice(17).state, VoiceState::Playing);
    EXPECT_EQ(voice(17).note, 100);
    EXPECT_EQ(voice(3).state, VoiceState::Releasing);

    // A panned voice counts by its louder side.
    voice(4).state = VoiceState::Sustained;
    voice(4).panMode = PanMode::Panned;
    voice(4).leftGain = 10;
    voice(4).rightGain = 2000;
    voice(5).state = VoiceState::Sustained;
    voice(5).panMode = PanMode::Panned;
    voice(5).leftGain = 900;
    voice(5).rightGain = 10;
    play(2, 101);
    EXPECT_EQ(voice(5).note, 101);
    EXPECT_EQ(voice(4).state, VoiceState::Sustained);
}

TEST(SynthControlStandardVoice, StealingTakesTheQuietestReleasedVoiceDrumsProtectedBySixDecibels) {
    auto song = std::make_unique<MidiSong>();
    SongOptions options;
    options.engine.sound = SoundProfile::Standard;
    prepareSong(*song, options);
    song->melodicBanks[0] = std::make_unique<ToneBank>();
    song->drumSets[0] = std::make_unique<ToneBank>();
    song->events = {MidiEvent{0, 0, EventOpcode::None, 0, 0}, MidiEvent{0, 0, EventOpcode::EndOfSong, 0, 0}};
    Sample tone = toneSample();
    tone.articulation = std::make_shared<Articulation>();
    putInstrument(*song, false, 0, 0, {tone});
    startSong(*song);
    const int slots = activeVoiceCount(*song);
    ASSERT_EQ(slots, 64);
    for (int i = 0; i < slots; ++i) noteOn(*song, event(0, 1, EventOpcode::NoteOn, uint8_t(i), 100));
    auto released = [&](int i, uint8_t channel, double level) {
        Voice& v = song->voices[i];
        ASSERT_TRUE(v.standard.active);
        v.state = VoiceState::Releasing;
        v.channel = channel;
        v.standard.amplitude = level;
    };
    // A bass note released a moment ago, a cymbal ringing on 46 dB down and
    // a snare just under the bass.
    released(10, 1, 0.4);
    released(11, 9, 0.005);
    released(12, 9, 0.3);
    noteOn(*song, event(0, 2, EventOpcode::NoteOn, 100, 100));
    EXPECT_EQ(song->voices[11].channel, 2);
    EXPECT_EQ(song->stolenAudibleCount, 0);
    noteOn(*song, event(0, 2, EventOpcode::NoteOn, 101, 100));
    EXPECT_EQ(song->voices[10].channel, 2);  // 0.4 against the snare's 0.3 counted double
    EXPECT_EQ(song->voices[12].state, VoiceState::Releasing);
    EXPECT_EQ(song->stolenNoteCount, 2);
    EXPECT_EQ(song->lostNoteCount, 0);
}

TEST_F(SynthControlVoice, StolenSlotStaysFreeWhenTheInstrumentIsMissing) {
    fillAllSlots();
    voice(7).state = VoiceState::Releasing;
    song->channels[2].program = 9;  // nothing there
    play(2, 50);
    EXPECT_EQ(voice(7).state, VoiceState::Free);
    EXPECT_EQ(song->stolenNoteCount, 1);
}

TEST_F(SynthControlVoice, ReleaseOnlyTouchesThePlayingVoiceOfTheKey) {
    noteOff(*song, event(0, 0, EventOpcode::NoteOff, 60));  // nothing sounding: nothing happens
    play(0, 60);
    play(0, 61);
    song->channels[0].sustain = 127;
    allNotesOff(*song, event(0, 0, EventOpcode::AllNotesOff));
    EXPECT_EQ(voice(0).state, VoiceState::Sustained);
    EXPECT_EQ(voice(1).state, VoiceState::Sustained);
    song->channels[0].sustain = 0;
    allNotesOff(*song, event(0, 0, EventOpcode::AllNotesOff));  // sustained voices are not touched
    EXPECT_EQ(voice(0).state, VoiceState::Sustained);
    releaseSustained(*song, event(0, 0, EventOpcode::SustainPedal, 0));
    EXPECT_EQ(voice(0).state, VoiceState::Releasing);
    EXPECT_EQ(voice(1).state, VoiceState::Releasing);

    play(0, 62);
    play(1, 62);
    allSoundsOff(*song, event(0, 0, EventOpcode::AllSoundsOff));
    EXPECT_EQ(voice(0).state, VoiceState::Dying);
    EXPECT_EQ(voice(2).state, VoiceState::Dying);
    EXPECT_EQ(voice(3).state, VoiceState::Playing);
}

TEST_F(SynthControlVoice, VelocityLayersChooseTheSampleOnMelodicAndDrumChannels) {
    Sample soft = toneSample();
    soft.highVelocity = 63;
    Sample hard = toneSample();
    hard.lowVelocity = 64;
    const Instrument& piano = putInstrument(*song, false, 0, 1, {soft, hard});
    song->channels[0].program = 1;
    play(0, 60, 64);
    EXPECT_EQ(voice(0).sample, &piano.samples[1]);
    play(0, 61, 63);
    EXPECT_EQ(voice(1).sample, &piano.samples[0]);

    // A kit's regions for the struck key: chosen by velocity as well.
    const Instrument& kit = putInstrument(*song, true, 0, 38, {soft, hard});
    play(9, 38, 100);
    EXPECT_EQ(voice(2).sample, &kit.samples[1]);
    // One sample: played whatever its ranges say.
    Sample narrow = toneSample();
    narrow.highVelocity = 10;
    narrow.highFrequency = 1000;
    const Instrument& single = putInstrument(*song, true, 0, 36, {narrow});
    play(9, 36, 100);
    EXPECT_EQ(voice(3).sample, &single.samples[0]);
}

TEST_F(SynthControlVoice, NoMatchingRangeFallsBackToTheNearestRoot) {
    Sample low = toneSample(220000);
    low.highFrequency = 100000;
    Sample high = toneSample(880000);
    high.lowFrequency = 10000000;
    Sample mid = toneSample(500000);
    mid.lowVelocity = 127;
    const Instrument& instrument = putInstrument(*song, false, 0, 2, {low, high, mid});
    song->channels[0].program = 2;
    play(0, 69, 100);  // 440000 milli-Hz: nearest root 500000
    EXPECT_EQ(voice(0).sample, &instrument.samples[2]);
}

TEST_F(SynthControlVoice, DrumChannelsFallBackToDrumSetZeroAndFixedNotesSetThePitch) {
    Sample fixed = toneSample();
    fixed.fixedNote = 81;
    putInstrument(*song, true, 0, 40, {fixed});
    song->channels[9].bank = 3;  // drum set 3 does not exist
    play(9, 40);
    EXPECT_EQ(voice(0).state, VoiceState::Playing);
    EXPECT_EQ(voice(0).baseFrequency, 880000);
    play(9, 41);  // no instrument in either set
    EXPECT_EQ(voice(1).state, VoiceState::Free);
}

TEST_F(SynthControlVoice, ProgramMinusOnePlaysTheDefaultInstrument) {
    song->channels[0].program = -1;
    play(0, 60);
    EXPECT_EQ(voice(0).state, VoiceState::Free);
    song->defaultInstrument = std::make_unique<Instrument>();
    song->defaultInstrument->samples.push_back(toneSample());
    play(0, 61);
    EXPECT_EQ(voice(0).state, VoiceState::Playing);
    EXPECT_EQ(voice(0).sample, &song->defaultInstrument->samples[0]);
}

TEST_F(SynthControlVoice, KeyPressureAndVolumeRelevelOnlyTheRightVoices) {
    play(0, 60, 100);
    play(0, 62, 100);
    keyPressure(*song, event(0, 0, EventOpcode::KeyPressure, 60, 0));
    EXPECT_EQ(voice(0).state, VoiceState::Playing);
    EXPECT_EQ(voice(0).velocity, 0);
    EXPECT_EQ(voice(0).leftScale, 0.0f);

    noteOff(*song, event(0, 0, EventOpcode::NoteOff, 62));
    const float released = voice(1).leftScale;
    play(0, 64, 100);
    const float held = voice(2).leftScale;
    song->channels[0].volume = 45;
    refreshChannelVolume(*song, event(0, 0, EventOpcode::ChannelVolume, 45));
    EXPECT_EQ(voice(1).leftScale, released);
    EXPECT_LT(voice(2).leftScale, held);
}

TEST_F(SynthControlVoice, VolumeRelevelsPedalledVoicesButNotDyingOnes) {
    play(0, 60);
    play(0, 62);
    song->channels[0].sustain = 127;
    noteOff(*song, event(0, 0, EventOpcode::NoteOff, 60));
    ASSERT_EQ(voice(0).state, VoiceState::Sustained);
    voice(1).state = VoiceState::Dying;  // as a cut would leave it
    const float pedalled = voice(0).leftScale;
    const float dying = voice(1).leftScale;
    song->channels[0].expression = 20;
    refreshChannelVolume(*song, event(0, 0, EventOpcode::Expression, 20));
    EXPECT_LT(voice(0).leftScale, pedalled);
    EXPECT_EQ(voice(1).leftScale, dying);
}

TEST_F(SynthControlVoice, PitchBendRetunesEveryVoiceOfTheChannel) {
    play(0, 69);
    play(0, 72);
    noteOff(*song, event(0, 0, EventOpcode::NoteOff, 72));
    voice(1).state = VoiceState::Dying;
    song->channels[0].pitchBend = 16383;
    song->channels[0].bendFactor = 0.0f;
    refreshChannelPitch(*song, event(0, 0, EventOpcode::PitchBend));
    EXPECT_EQ(voice(0).frequency, 493771);
    EXPECT_GT(voice(1).frequency, voice(1).baseFrequency);
    song->channels[0].pitchBend = 8192;
    song->channels[0].bendFactor = 0.0f;
    refreshChannelPitch(*song, event(0, 0, EventOpcode::PitchBend));
    EXPECT_EQ(voice(0).frequency, voice(0).baseFrequency);
    EXPECT_EQ(voice(1).frequency, voice(1).baseFrequency);
    EXPECT_EQ(voice(0).step, 4096);
}

}  // namespace
}  // namespace tz
