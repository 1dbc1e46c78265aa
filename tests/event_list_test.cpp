// From the tick list to playback events in output samples.
#include <gtest/gtest.h>

#include "midi/event_list.h"
#include "midi/smf_reader.h"
#include "records/midi_song.h"
#include "tests/support/smf_builder.h"

namespace tz {
namespace {

using test::SmfBuilder;

// A song as creation sets it up before reading, with bank 0 of each kind
// plus the extra banks asked for.
std::unique_ptr<MidiSong> bareSong(std::initializer_list<int> melodic = {}, std::initializer_list<int> drums = {}) {
    auto song = std::make_unique<MidiSong>();
    song->outputRate = 44100;
    song->drumChannelMask = 0x8200;
    song->melodicBanks[0] = std::make_unique<ToneBank>();
    song->drumSets[0] = std::make_unique<ToneBank>();
    for (int n : melodic) song->melodicBanks[size_t(n)] = std::make_unique<ToneBank>();
    for (int n : drums) song->drumSets[size_t(n)] = std::make_unique<ToneBank>();
    return song;
}

std::unique_ptr<MidiSong> read(const SmfBuilder& smf, std::unique_ptr<MidiSong> song = bareSong()) {
    std::vector<uint8_t> bytes = smf.bytes();
    EXPECT_TRUE(readMidiFile(*song, std::span<const uint8_t>(bytes)));
    return song;
}

// Events other than the leading None and the final EndOfSong.
std::vector<MidiEvent> body(const MidiSong& song) {
    EXPECT_GE(song.events.size(), 2u);
    if (song.events.size() < 2) return {};
    EXPECT_EQ(song.events.front().opcode, EventOpcode::None);
    EXPECT_EQ(song.events.front().time, 0);
    EXPECT_EQ(song.events.back().opcode, EventOpcode::EndOfSong);
    return std::vector<MidiEvent>(song.events.begin() + 1, song.events.end() - 1);
}

// The song's length: the time of its end event.
int32_t endTime(const MidiSong& song) { return song.events.empty() ? -1 : song.events.back().time; }

TEST(MidiEventList, TickLength) {
    EXPECT_EQ(tickLength(44100, 500000, 480), 3010560);  // 45 + 61440/65536
    EXPECT_EQ(tickLength(44100, 600000, 480), 3612672);  // 55.125
    // Rate x tempo is formed first: scaling the tempo by 0.065536 on its own
    // first rounds this exact value down to 3368063.
    EXPECT_EQ(tickLength(44100, 111875, 96), 3368064);
    // Without a tempo event the default tempo holds: 480 ticks of 45.9375.
    auto song = read([] {
        SmfBuilder smf(0, 480);
        smf.track().noteOn(0, 0, 60, 1).noteOff(480, 0, 60);
        return smf;
    }());
    EXPECT_EQ(endTime(*song), 22050);
}

TEST(MidiEventList, TimeStartsAtTheFirstNote) {
    SmfBuilder smf(0, 480);
    smf.track().program(0, 0, 5).noteOn(960, 0, 60, 100).noteOff(480, 0, 60).controller(240, 0, 7, 1);
    auto song = read(smf);
    auto e = body(*song);
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].time, 0);
    EXPECT_EQ(e[1].time, 0);      // the first NoteOn
    EXPECT_EQ(e[2].time, 22050);  // 480 ticks at 45.9375
    EXPECT_EQ(e[3].time, 33075);
    EXPECT_EQ(endTime(*song), 33075);
    EXPECT_EQ(song->events.size(), 6u);

    // Without notes, time never runs.
    SmfBuilder silent(0, 480);
    silent.track().controller(0, 0, 7, 1).controller(960, 0, 7, 2);
    song = read(silent);
    for (const MidiEvent& ev : song->events) EXPECT_EQ(ev.time, 0);
    EXPECT_EQ(endTime(*song), 0);

    // An empty file: just None and EndOfSong.
    SmfBuilder empty(1, 480);
    song = read(empty);
    ASSERT_EQ(song->events.size(), 2u);
    EXPECT_EQ(endTime(*song), 0);
}

TEST(MidiEventList, TempoChanges) {
    SmfBuilder slower(0, 480);
    slower.track().tempo(0, 600000).noteOn(0, 0, 60, 1).noteOn(480, 0, 62, 1);
    auto song = read(slower);
    auto e = body(*song);
    ASSERT_EQ(e.size(), 2u);  // the tempo event is consumed
    EXPECT_EQ(e[1].time, 26460);

    // A tempo change applies from its own tick on, also from another track.
    SmfBuilder mid(1, 480);
    mid.track().noteOn(0, 0, 60, 1).noteOn(960, 0, 62, 1);
    mid.track().tempo(480, 250000);
    song = read(mid);
    e = body(*song);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[1].time, 22050 + 11025);

    // The fraction carries across events.
    SmfBuilder steps(0, 480);
    auto& t = steps.track().noteOn(0, 0, 60, 1);
    for (int i = 0; i < 16; ++i) t.noteOff(1, 0, 60);
    song = read(steps);
    e = body(*song);
    ASSERT_EQ(e.size(), 17u);
    for (int i = 1; i <= 16; ++i) EXPECT_EQ(e[size_t(i)].time, (i * 3010560) >> 16) << i;
}

TEST(MidiEventList, SmpteDivision) {
    // 25 x 40 = 1000 ticks per quarter note at the default tempo: 22.05
    // samples per tick, truncated to 16 fraction bits.
    SmfBuilder smf(0, 0xE728);
    smf.track().noteOn(0, 0, 60, 1).noteOff(1000, 0, 60);
    auto song = read(smf);
    EXPECT_EQ(tickLength(44100, 500000, 1000), 1445068);
    EXPECT_EQ(endTime(*song), (1445068 * 1000) >> 16);  // 22049
}

TEST(MidiEventList, LongGapsAndSongLimit) {
    // 100000 ticks at 45.9375 samples: exactly 4593750 samples.
    SmfBuilder gap(0, 480);
    gap.track().noteOn(0, 0, 60, 1).noteOff(100000, 0, 60);
    EXPECT_EQ(endTime(*read(gap)), 4593750);

    // The slowest tempo at one tick per quarter: a song may end just below
    // 2^31 samples, not at or beyond.
    const int64_t fixed = tickLength(44100, 0xFFFFFF, 1);
    const uint32_t ticks = uint32_t(((int64_t(1) << 47) - 1) / fixed);
    ASSERT_LT((fixed * ticks) >> 16, int64_t(1) << 31);
    ASSERT_GE((fixed * (ticks + 1)) >> 16, int64_t(1) << 31);
    auto build = [](uint32_t n) {
        SmfBuilder smf(0, 1);
        smf.track().tempo(0, 0xFFFFFF).noteOn(0, 0, 60, 1).noteOff(n, 0, 60);
        return smf.bytes();
    };
    auto song = bareSong();
    auto ok = build(ticks);
    ASSERT_TRUE(readMidiFile(*song, std::span<const uint8_t>(ok)));
    EXPECT_EQ(endTime(*song), int32_t((fixed * ticks) >> 16));
    auto tooLong = build(ticks + 1);
    EXPECT_FALSE(readMidiFile(*song, std::span<const uint8_t>(tooLong)));
    EXPECT_TRUE(song->events.empty());
    auto farTooLong = build(0xFFFFFFFF);
    EXPECT_FALSE(readMidiFile(*song, std::span<const uint8_t>(farTooLong)));

    // Many small steps add up to the limit as well.
    SmfBuilder steps(0, 1);
    auto& t = steps.track().tempo(0, 0xFFFFFF).noteOn(0, 0, 60, 1);
    for (uint32_t i = 0; i <= ticks; ++i) t.noteOff(1, 0, 60);
    auto many = steps.bytes();
    EXPECT_FALSE(readMidiFile(*song, std::span<const uint8_t>(many)));
}

TEST(MidiEventList, RedundantChangesAreDropped) {
    SmfBuilder smf(0, 480);
    smf.track()
        .program(0, 0, 0)   // the start program: dropped
        .program(0, 0, 5)
        .program(0, 0, 5)   // dropped
        .program(0, 1, 5)   // another channel: kept
        .controller(0, 0, 0, 0)   // bank 0 already: dropped
        .controller(0, 9, 0, 3)   // drum channel bank select: dropped
        .controller(0, 15, 0, 0)  // drum channel 16 too
        .program(0, 9, 0)   // drum set 0 already: dropped
        .program(0, 0, 6);
    auto e = body(*read(smf));
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].channel, 0);
    EXPECT_EQ(e[0].a, 5);
    EXPECT_EQ(e[1].channel, 1);
    EXPECT_EQ(e[2].a, 6);
}

TEST(MidiEventList, UnknownBanksGoToBankZero) {
    SmfBuilder smf(0, 480);
    smf.track()
        .controller(0, 0, 0, 8)   // no bank 8, bank 0 already: dropped
        .controller(0, 0, 0, 5)   // bank 5 exists
        .controller(0, 0, 0, 8)   // written as bank 0
        .controller(0, 0, 0, 9)   // bank 0 again: dropped
        .program(0, 9, 3)         // no drum set 3, set 0 already: dropped
        .program(0, 9, 4)         // drum set 4 exists
        .program(0, 9, 3)         // written as drum set 0
        .program(0, 9, 0);        // dropped
    auto e = body(*read(smf, bareSong({5}, {4})));
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].opcode, EventOpcode::BankSelect);
    EXPECT_EQ(e[0].a, 5);
    EXPECT_EQ(e[1].opcode, EventOpcode::BankSelect);
    EXPECT_EQ(e[1].a, 0);
    EXPECT_EQ(e[2].opcode, EventOpcode::ProgramChange);
    EXPECT_EQ(e[2].a, 4);
    EXPECT_EQ(e[3].opcode, EventOpcode::ProgramChange);
    EXPECT_EQ(e[3].a, 0);
}

TEST(MidiEventList, NotesMarkTheirInstruments) {
    auto song = bareSong({5}, {4});
    auto loaded = std::make_unique<Instrument>();
    const Instrument* loadedPtr = loaded.get();
    song->melodicBanks[0]->instruments[7].instrument = std::move(loaded);

    SmfBuilder smf(0, 480);
    smf.track()
        .noteOn(0, 9, 36, 100)       // drum set 0, slot 36
        .program(0, 0, 24)
        .noteOn(0, 0, 60, 0)         // velocity 0 still marks: bank 0, slot 24
        .controller(0, 1, 0, 5)
        .program(0, 1, 3)
        .noteOn(0, 1, 60, 1)         // bank 5, slot 3
        .program(0, 15, 4)
        .noteOn(0, 15, 40, 1)        // drum set 4, slot 40
        .program(0, 2, 7)
        .noteOn(0, 2, 60, 1)         // already loaded: left alone
        .noteOff(0, 3, 61)           // note off marks nothing
        .program(10, 3, 9);          // a program without a note marks nothing
    song = read(smf, std::move(song));

    int marked = 0;
    for (auto* banks : {&song->melodicBanks, &song->drumSets}) {
        for (auto& bank : *banks) {
            if (!bank) continue;
            for (auto& slot : bank->instruments) marked += slot.needsLoading;
        }
    }
    EXPECT_EQ(marked, 4);
    EXPECT_TRUE(song->drumSets[0]->instruments[36].needsLoading);
    EXPECT_TRUE(song->melodicBanks[0]->instruments[24].needsLoading);
    EXPECT_TRUE(song->melodicBanks[5]->instruments[3].needsLoading);
    EXPECT_TRUE(song->drumSets[4]->instruments[40].needsLoading);
    EXPECT_FALSE(song->melodicBanks[0]->instruments[7].needsLoading);
    EXPECT_EQ(song->melodicBanks[0]->instruments[7].instrument.get(), loadedPtr);
}

}  // namespace
}  // namespace tz
