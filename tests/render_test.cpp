#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "synth/render.h"
#include "synth/voice_control.h"
#include "tests/support/song_fixture.h"

namespace tz {
namespace {

using namespace tz::test;

std::vector<int32_t> convertCounts;

void countingConvert(void* destination, const int64_t*, int32_t count) {
    convertCounts.push_back(count);
    std::memset(destination, 0x11, size_t(count) * 2);
}

struct Block {
    int32_t bytes;
    std::vector<uint8_t> data;
};

Block render(MidiSong& song) {
    Block block{0, std::vector<uint8_t>(kBlockBytes + 16, 0xEE)};
    block.bytes = renderBlock(song, block.data.data());
    return block;
}

std::unique_ptr<MidiSong> songWithEvents(std::vector<MidiEvent> events, uint16_t format = 0x8010,
                                         uint8_t channels = 2, int32_t bufferFrames = 1024) {
    auto song = makeSong(format, channels, bufferFrames);
    song->events = std::move(events);
    putInstrument(*song, false, 0, 0, {toneSample(440000, 44100, 200000)});
    startSong(*song);
    return song;
}

TEST(SynthControlRender, BlockSizesFollowTheOutputFormat) {
    struct Case {
        uint16_t format;
        uint8_t channels;
        int32_t frames;
    };
    for (const Case c : {Case{0x8010, 2, 1024}, Case{0x8010, 1, 2048}, Case{0x0008, 2, 2048}, Case{0x8008, 1, 4096}}) {
        auto song = songWithEvents({event(0, 0, EventOpcode::None),
                                    event(100000, 0, EventOpcode::EndOfSong)}, c.format, c.channels, 1024);
        const Block block = render(*song);
        EXPECT_EQ(block.bytes, kBlockBytes) << c.format;
        EXPECT_EQ(song->currentTime, c.frames) << c.format;
        EXPECT_EQ(block.data[kBlockBytes], 0xEE);
    }
}

TEST(SynthControlRender, SpansAreCutAtEventsAndIntoBufferSizedChunks) {
    auto song = songWithEvents({event(0, 0, EventOpcode::None), event(250, 0, EventOpcode::Tempo),
                                event(5000, 0, EventOpcode::EndOfSong)}, 0x8010, 2, 100);
    song->convertOutput = countingConvert;
    convertCounts.clear();
    const Block block = render(*song);
    EXPECT_EQ(block.bytes, kBlockBytes);
    const std::vector<int32_t> expected{200, 200, 100, 200, 200, 200, 200, 200, 200, 200, 148};
    EXPECT_EQ(convertCounts, expected);
    EXPECT_EQ(block.data[kBlockBytes - 1], 0x11);
    EXPECT_EQ(block.data[kBlockBytes], 0xEE);
}

TEST(SynthControlRender, ShortBlockAtTheEndThenNothing) {
    auto song = songWithEvents({event(0, 0, EventOpcode::None), event(1124, 0, EventOpcode::EndOfSong)});
    EXPECT_EQ(render(*song).bytes, 4096);
    const Block last = render(*song);
    EXPECT_EQ(last.bytes, 400);
    EXPECT_EQ(last.data[400], 0xEE);
    EXPECT_EQ(song->playing, 0);
    EXPECT_EQ(song->currentEvent, 1u);  // stays on the end event
    const Block after = render(*song);
    EXPECT_EQ(after.bytes, 0);
    EXPECT_EQ(after.data[0], 0xEE);

    auto empty = songWithEvents({event(0, 0, EventOpcode::None), event(0, 0, EventOpcode::EndOfSong)});
    EXPECT_EQ(render(*empty).bytes, 0);
    EXPECT_EQ(empty->playing, 0);

    // An event array without its end event stops where it runs out.
    auto truncated = songWithEvents({event(0, 0, EventOpcode::None), event(10, 0, EventOpcode::ChannelVolume, 5)});
    EXPECT_EQ(render(*truncated).bytes, 40);
    EXPECT_EQ(truncated->playing, 0);
}

TEST(SynthControlRender, SustainResetAndAllNotesOffAtBlockBoundaries) {
    auto song = songWithEvents({event(0, 0, EventOpcode::None), event(0, 0, EventOpcode::NoteOn, 60, 100),
                                event(0, 0, EventOpcode::SustainPedal, 127), event(1024, 0, EventOpcode::NoteOff, 60),
                                event(2048, 0, EventOpcode::ResetControllers), event(3072, 0, EventOpcode::AllNotesOff),
                                event(4096, 0, EventOpcode::SustainPedal, 0), event(50000, 0, EventOpcode::EndOfSong)});
    song->channels[0].panning = 20;  // kept by reset controllers
    render(*song);
    EXPECT_EQ(song->voices[0].state, VoiceState::Playing);
    render(*song);
    EXPECT_EQ(song->voices[0].state, VoiceState::Sustained);
    render(*song);
    EXPECT_EQ(song->voices[0].state, VoiceState::Sustained);  // reset controllers releases nothing
    EXPECT_EQ(song->channels[0].sustain, 0);
    EXPECT_EQ(song->channels[0].panning, 20);
    render(*song);
    EXPECT_EQ(song->voices[0].state, VoiceState::Sustained);  // all notes off leaves pedalled voices
    // The event at 4096 lies at the end of the previous block: applied now.
    EXPECT_EQ(song->currentTime, 4096);
    render(*song);
    EXPECT_EQ(song->voices[0].state, VoiceState::Releasing);
}

TEST(SynthControlRender, ZeroVelocityNoteOnReleasesAndControllersUpdateChannels) {
    auto song = songWithEvents({event(0, 0, EventOpcode::None), event(0, 0, EventOpcode::NoteOn, 60, 100),
                                event(0, 9, EventOpcode::ProgramChange, 5), event(0, 3, EventOpcode::BankSelect, 7),
                                event(0, 3, EventOpcode::ProgramChange, 12), event(0, 0, EventOpcode::BendRange, 12),
                                event(0, 0, EventOpcode::Expression, 50), event(1024, 0, EventOpcode::NoteOn, 60, 0),
                                event(50000, 0, EventOpcode::EndOfSong)});
    render(*song);
    EXPECT_EQ(song->voices[0].state, VoiceState::Playing);
    EXPECT_EQ(song->channels[9].bank, 5);  // a program change on a drum channel picks the drum set
    EXPECT_EQ(song->channels[9].program, 0);
    EXPECT_EQ(song->channels[3].bank, 7);
    EXPECT_EQ(song->channels[3].program, 12);
    EXPECT_EQ(song->channels[0].bendRange, 12);
    EXPECT_EQ(song->channels[0].expression, 50);
    render(*song);
    EXPECT_EQ(song->voices[0].state, VoiceState::Releasing);
}

TEST(SynthControlRender, WithoutAMixBufferBlocksAreSilentAndStillAdvance) {
    auto song = songWithEvents({event(0, 0, EventOpcode::None),
                                event(100000, 0, EventOpcode::EndOfSong)}, 0x8010, 2, 0);
    const Block block = render(*song);
    EXPECT_EQ(block.bytes, kBlockBytes);
    EXPECT_EQ(song->currentTime, 1024);
    EXPECT_EQ(block.data[0], 0);
    EXPECT_EQ(block.data[kBlockBytes - 1], 0);
}

TEST(SynthControlRender, StartPlaybackRelevelsSoundingVoices) {
    auto song = songWithEvents({event(0, 0, EventOpcode::None), event(0, 0, EventOpcode::NoteOn, 60, 127),
                                event(100000, 0, EventOpcode::EndOfSong)});
    song->masterVolume = 0.7f;
    song->voices[0].state = VoiceState::Free;
    noteOn(*song, event(0, 0, EventOpcode::NoteOn, 60, 127));
    const float quiet = song->voices[0].leftScale;
    startPlayback(*song);
    EXPECT_EQ(song->amplification, 100);
    EXPECT_EQ(song->masterVolume, 1.0f);
    EXPECT_GT(song->voices[0].leftScale, quiet);
    EXPECT_EQ(song->voices[0].state, VoiceState::Playing);
}

TEST(SynthControlRender, ResetGivesStartValues) {
    auto song = makeSong();
    song->defaultProgram = 0;
    song->voices[40].state = VoiceState::Playing;  // beyond voiceCount, still freed
    resetPlaybackState(*song, *song);
    for (const Channel& c : song->channels) {
        EXPECT_EQ(c.bank, 0);
        EXPECT_EQ(c.volume, 90);
        EXPECT_EQ(c.panning, -1);
        EXPECT_EQ(c.pitchBend, 8192);
        EXPECT_EQ(c.expression, 127);
        EXPECT_EQ(c.bendRange, 2);
        EXPECT_EQ(c.bendFactor, 0.0f);
    }
    EXPECT_EQ(song->voices[40].state, VoiceState::Free);
}

TEST(SynthControlRender, SeekLandsOnTheTargetFrame) {
    auto song = songWithEvents({event(0, 0, EventOpcode::None), event(0, 0, EventOpcode::ChannelVolume, 100),
                                event(30000, 0, EventOpcode::NoteOn, 60, 90),
                                event(40000, 0, EventOpcode::ChannelVolume, 70),
                                event(40000, 0, EventOpcode::NoteOn, 64, 90),
                                event(44000, 0, EventOpcode::NoteOn, 67, 90),
                                event(50000, 0, EventOpcode::ChannelVolume, 10),
                                event(300000, 0, EventOpcode::EndOfSong)});
    render(*song);
    seekPlayback(*song, 1000);
    EXPECT_EQ(song->currentTime, 44100);
    EXPECT_EQ(song->channels[0].volume, 70);  // applied silently
    for (const Voice& v : song->voices) EXPECT_EQ(v.state, VoiceState::Free);
    EXPECT_EQ(song->currentEvent, 5u);  // back on the last event before the target
    render(*song);
    // Only the last note before the target sounds, started at the seek position.
    EXPECT_EQ(song->voices[0].state, VoiceState::Playing);
    EXPECT_EQ(song->voices[0].note, 67);
    EXPECT_EQ(song->voices[1].state, VoiceState::Free);

    seekPlayback(*song, 0);
    EXPECT_EQ(song->currentTime, 0);
    EXPECT_EQ(song->currentEvent, 0u);
    EXPECT_EQ(song->channels[0].volume, 90);
    EXPECT_EQ(song->voices[0].state, VoiceState::Free);
    render(*song);
    EXPECT_EQ(song->channels[0].volume, 100);

    seekPlayback(*song, 3);  // 3 * 441 / 10 truncates to 132
    EXPECT_EQ(song->currentTime, 132);
}

TEST(SynthControlRender, SilentSeekKeepsOnlyChannelState) {
    auto song = songWithEvents({event(0, 0, EventOpcode::None), event(100, 9, EventOpcode::ProgramChange, 8),
                                event(200, 2, EventOpcode::BankSelect, 4),
                                event(300, 2, EventOpcode::SustainPedal, 127),
                                event(400, 2, EventOpcode::NoteOn, 60, 100),
                                event(500, 2, EventOpcode::PitchBend, 0, 0), event(600, 2, EventOpcode::BendRange, 7),
                                event(700, 2, EventOpcode::ResetControllers), event(800, 2, EventOpcode::Panning, 30),
                                event(900, 2, EventOpcode::KeyPressure, 60, 5),
                                event(100000, 0, EventOpcode::EndOfSong)});
    render(*song);
    song->channels[2].bendFactor = 3.0f;
    seekPlayback(*song, 1000);
    const Channel& drums = song->channels[9];
    EXPECT_EQ(drums.bank, 8);
    EXPECT_EQ(drums.program, 0);
    const Channel& c = song->channels[2];
    EXPECT_EQ(c.bank, 4);
    EXPECT_EQ(c.sustain, 0);
    EXPECT_EQ(c.pitchBend, 8192);
    EXPECT_EQ(c.bendRange, 7);
    EXPECT_EQ(c.bendFactor, 0.0f);
    EXPECT_EQ(c.panning, 30);
    EXPECT_EQ(song->currentEvent, 9u);  // the key pressure is applied again by the next block
    for (const Voice& v : song->voices) EXPECT_EQ(v.state, VoiceState::Free);
}

TEST(SynthControlRender, SeekPastTheEndAndLongTargets) {
    auto song = songWithEvents({event(0, 0, EventOpcode::None), event(300000000, 0, EventOpcode::EndOfSong)});
    // 100 minutes: 6000000 * 441 overflows 32 bits before the division.
    seekPlayback(*song, 6000000);
    EXPECT_EQ(song->currentTime, 264600000);
    seekPlayback(*song, 8000000);
    EXPECT_EQ(song->currentTime, 300000000);  // stopped at the end event
    EXPECT_EQ(song->currentEvent, 1u);
    EXPECT_EQ(song->playing, 1);
    EXPECT_EQ(render(*song).bytes, 0);
    EXPECT_EQ(song->playing, 0);
    seekPlayback(*song, 0);
    EXPECT_EQ(render(*song).bytes, 0);  // an ended song stays ended
}

// End to end through the mixer: many loud voices must clip, not wrap.
TEST(SynthControlRender, ManyLoudVoicesClip) {
    auto probe = songWithEvents({event(0, 0, EventOpcode::None), event(0, 0, EventOpcode::Panning, 0),
                                 event(0, 0, EventOpcode::NoteOn, 69, 127), event(100000, 0, EventOpcode::EndOfSong)});
    probe->melodicBanks[0]->instruments[0].instrument->samples[0] = toneSample(440000, 44100, 20000, 32767);
    probe->channels[0].volume = 127;
    const Block single = render(*probe);
    bool sounding = false;
    for (int i = 0; i < single.bytes; ++i) sounding |= single.data[size_t(i)] != 0;
    if (!sounding) GTEST_SKIP() << "mixer not available yet";

    std::vector<MidiEvent> events{event(0, 0, EventOpcode::None), event(0, 0, EventOpcode::ChannelVolume, 127),
                                  event(0, 0, EventOpcode::Panning, 0)};
    for (uint8_t note = 60; note < 72; ++note) events.push_back(event(0, 0, EventOpcode::NoteOn, note, 127));
    events.push_back(event(100000, 0, EventOpcode::EndOfSong));
    auto song = songWithEvents(events);
    song->melodicBanks[0]->instruments[0].instrument->samples[0] = toneSample(440000, 44100, 20000, 32767);
    const Block block = render(*song);
    ASSERT_EQ(block.bytes, kBlockBytes);
    for (int frame = 0; frame < 1024; ++frame) {
        const int16_t left = int16_t(block.data[4 * frame] | block.data[4 * frame + 1] << 8);
        ASSERT_EQ(left, 32767) << frame;
    }
}

}  // namespace
}  // namespace tz
