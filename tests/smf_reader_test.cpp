// Reading Standard MIDI Files into the time-sorted tick list.
#include <gtest/gtest.h>

#include <iterator>
#include <list>
#include <random>
#include <thread>

#include "midi/smf_reader.h"
#include "platform/error.h"
#include "records/midi_song.h"
#include "tests/support/smf_builder.h"

namespace tz {
namespace {

using test::SmfBuilder;

struct ReadResult {
    bool ok = false;
    int32_t division = 0;
    std::vector<TrackEvent> list;
    std::array<std::string, 2> texts;
};

ReadResult readList(const std::vector<uint8_t>& file) {
    MidiSong song;
    SmfReaderState state;
    ReadResult r;
    r.ok = readTrackEventList(file, song, state, r.division) == Error::None;
    r.list = state.trackEvents;
    r.texts = song.texts;
    return r;
}

// The list without its head event.
std::vector<TrackEvent> events(const ReadResult& r) {
    EXPECT_TRUE(r.ok);
    if (r.list.empty()) return {};
    EXPECT_EQ(r.list[0].opcode, EventOpcode::None);
    EXPECT_EQ(r.list[0].time, 0);
    return std::vector<TrackEvent>(r.list.begin() + 1, r.list.end());
}

void expectEvent(const TrackEvent& e, int64_t time, int channel, EventOpcode opcode, int a, int b) {
    EXPECT_EQ(e.time, time);
    EXPECT_EQ(e.channel, channel);
    EXPECT_EQ(e.opcode, opcode);
    EXPECT_EQ(e.a, a);
    EXPECT_EQ(e.b, b);
}

TEST(MidiReader, ChannelMessagesAndRunningStatus) {
    SmfBuilder smf(0, 480);
    smf.track()
        .event(0, {0x90, 0x3C, 0x40})
        .event(0, {0x3E, 0x40})            // running status: NoteOn
        .noteOn(10, 1, 60, 0)              // velocity 0 stays NoteOn
        .noteOff(5, 2, 61, 33)
        .keyPressure(0, 3, 62, 44)
        .channelPressure(1, 4, 99)         // ignored, its byte consumed
        .event(0, {0x55})                  // running channel pressure: ignored too
        .program(0, 5, 7)
        .pitchBend(2, 6, 0x2000 + 5)
        .event(0, {0xE6, 0xFF, 0x80});     // data bytes keep their low 7 bits
    auto e = events(readList(smf.bytes()));
    ASSERT_EQ(e.size(), 8u);
    expectEvent(e[0], 0, 0, EventOpcode::NoteOn, 0x3C, 0x40);
    expectEvent(e[1], 0, 0, EventOpcode::NoteOn, 0x3E, 0x40);
    expectEvent(e[2], 10, 1, EventOpcode::NoteOn, 60, 0);
    expectEvent(e[3], 15, 2, EventOpcode::NoteOff, 61, 33);
    expectEvent(e[4], 15, 3, EventOpcode::KeyPressure, 62, 44);
    expectEvent(e[5], 16, 5, EventOpcode::ProgramChange, 7, 0);
    expectEvent(e[6], 18, 6, EventOpcode::PitchBend, 5, 0x40);
    expectEvent(e[7], 18, 6, EventOpcode::PitchBend, 0x7F, 0);
}

TEST(MidiReader, RunningStatusCarriesAcrossTracksButNotFiles) {
    SmfBuilder first(1, 96);
    first.track().event(0, {0x93, 60, 100});
    first.track().event(4, {61, 90});  // continues 0x93 from the first track
    auto e = events(readList(first.bytes()));
    ASSERT_EQ(e.size(), 2u);
    expectEvent(e[1], 4, 3, EventOpcode::NoteOn, 61, 90);

    // A file starting with a data byte begins from a cleared running status
    // (note off on channel 0), whatever was read before.
    SmfBuilder second(0, 96);
    second.track().event(0, {62, 10});
    for (int i = 0; i < 2; ++i) {
        auto s = events(readList(second.bytes()));
        ASSERT_EQ(s.size(), 1u);
        expectEvent(s[0], 0, 0, EventOpcode::NoteOff, 62, 10);
    }
}

TEST(MidiReader, SystemStatusesAndSysexAreSkipped) {
    SmfBuilder smf(0, 96);
    smf.track()
        .noteOn(0, 0, 60, 1)
        .sysex(3, {0x7E, 0x7F, 0x09, 0x01, 0xF7})
        .event(0, {0x61, 0x62})               // running status survives the sysex
        .sysex(1, {0x01, 0x02}, 0xF7)
        .event(0, {0xF8, 0x10})               // system status consumes one byte
        .event(0, {0x11})                     // ...and data bytes under it are ignored
        .meta(2, 0x7F, {1, 2, 3, 4})          // unknown meta: skipped
        .noteOn(0, 1, 64, 2);
    auto e = events(readList(smf.bytes()));
    ASSERT_EQ(e.size(), 3u);
    expectEvent(e[1], 3, 0, EventOpcode::NoteOn, 0x61, 0x62);
    expectEvent(e[2], 6, 1, EventOpcode::NoteOn, 64, 2);
}

TEST(MidiReader, Controllers) {
    SmfBuilder smf(0, 96);
    smf.track()
        .controller(0, 1, 0, 8)
        .controller(0, 1, 32, 0)
        .controller(0, 1, 32, 5)  // ignored
        .controller(0, 1, 7, 100)
        .controller(0, 1, 10, 20)
        .controller(0, 1, 11, 30)
        .controller(0, 1, 64, 127)
        .controller(0, 1, 120, 0)
        .controller(0, 1, 121, 1)
        .controller(0, 1, 123, 2)
        .controller(0, 1, 1, 64)    // modulation: ignored
        .controller(0, 1, 91, 40);  // reverb: ignored
    auto e = events(readList(smf.bytes()));
    using enum EventOpcode;
    const std::pair<EventOpcode, int> expected[] = {{BankSelect, 8},   {BankSelect, 0},       {ChannelVolume, 100},
                                                    {Panning, 20},     {Expression, 30},      {SustainPedal, 127},
                                                    {AllSoundsOff, 0}, {ResetControllers, 1}, {AllNotesOff, 2}};
    ASSERT_EQ(e.size(), std::size(expected));
    for (size_t i = 0; i < e.size(); ++i) expectEvent(e[i], 0, 1, expected[i].first, expected[i].second, 0);
}

TEST(MidiReader, RegisteredParameters) {
    SmfBuilder smf(0, 96);
    smf.track()
        .rpn(0, 0, 0, 0, 12)       // bend range 12
        .rpn(1, 0, 127, 127, 5)    // null parameter: bend range 2
        .nrpn(1, 0, 0, 0, 12)      // non-registered: nothing
        .rpn(1, 0, 0, 1, 64)       // fine tuning: nothing
        .controller(1, 2, 6, 7)    // channel 2 never selected: parameter 0/0
        .controller(0, 0, 101, 0)  // registered again; lsb still 1 from the fine tuning
        .controller(0, 0, 6, 9)    // parameter 0/1: nothing
        .controller(0, 0, 100, 0)
        .controller(0, 0, 6, 24);
    auto e = events(readList(smf.bytes()));
    ASSERT_EQ(e.size(), 4u);
    expectEvent(e[0], 0, 0, EventOpcode::BendRange, 12, 0);
    expectEvent(e[1], 1, 0, EventOpcode::BendRange, 2, 0);
    expectEvent(e[2], 4, 2, EventOpcode::BendRange, 7, 0);
    expectEvent(e[3], 4, 0, EventOpcode::BendRange, 24, 0);

    // The NRPN flag is shared by all channels and forgotten between files.
    SmfBuilder nrpnFirst(1, 96);
    nrpnFirst.track().controller(0, 0, 99, 1);
    nrpnFirst.track().controller(0, 5, 6, 3);  // nrpn selected (by channel 0): ignored
    EXPECT_TRUE(events(readList(nrpnFirst.bytes())).empty());
    SmfBuilder fresh(0, 96);
    fresh.track().controller(0, 5, 6, 3);
    auto f = events(readList(fresh.bytes()));
    ASSERT_EQ(f.size(), 1u);
    expectEvent(f[0], 0, 5, EventOpcode::BendRange, 3, 0);
}

TEST(MidiReader, Format1MergeOrder) {
    SmfBuilder smf(1, 480);
    smf.track().noteOn(0, 0, 1, 1).noteOn(480, 0, 2, 1).noteOn(0, 0, 3, 1).noteOn(480, 0, 4, 1);
    smf.track().noteOn(0, 1, 11, 1).noteOn(480, 1, 12, 1).noteOn(0, 1, 13, 1).noteOn(100, 1, 14, 1);
    smf.track().tempo(480, 400000).noteOn(0, 2, 21, 1);
    auto e = events(readList(smf.bytes()));
    // At equal times the later track comes first; a track keeps its own order.
    const int64_t times[] = {0, 0, 480, 480, 480, 480, 480, 480, 580, 960};
    const int notes[] = {11, 1, -1, 21, 12, 13, 2, 3, 14, 4};
    ASSERT_EQ(e.size(), std::size(times));
    for (size_t i = 0; i < e.size(); ++i) {
        EXPECT_EQ(e[i].time, times[i]) << i;
        if (notes[i] < 0) {
            EXPECT_EQ(e[i].opcode, EventOpcode::Tempo) << i;
            EXPECT_EQ(e[i].tempo, 400000u) << i;
        } else {
            EXPECT_EQ(e[i].a, notes[i]) << i;
        }
    }
}

TEST(MidiReader, Format2TracksFollowEachOther) {
    SmfBuilder smf(2, 480);
    smf.track().noteOn(0, 0, 60, 1).noteOff(960, 0, 60);
    // The end-of-track delta does not move the next track's start.
    smf.track().noteOn(0, 0, 61, 1).noteOff(480, 0, 61).end(5000);
    smf.track().program(0, 0, 3);
    auto e = events(readList(smf.bytes()));
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[1].time, 960);
    EXPECT_EQ(e[2].time, 960);
    EXPECT_EQ(e[3].time, 1440);
    expectEvent(e[4], 1440, 0, EventOpcode::ProgramChange, 3, 0);
}

// Many tracks of random timing against the plain rule: every event goes in
// front of the first event at the same or a later time, searching forward
// from the previous event of its own track (from the list's last event for
// the first event of a format 2 track).
TEST(MidiReader, MergeMatchesInsertionRule) {
    std::mt19937 random(12345);
    const uint32_t deltas[] = {0, 0, 0, 1, 2, 5, 480};
    for (int format = 1; format <= 2; ++format) {
        for (int round = 0; round < 60; ++round) {
            const int trackCount = 1 + int(random() % 12);
            SmfBuilder smf(format, 96);
            struct Ref {
                int64_t time;
                int id;
            };
            std::list<Ref> reference{{0, -1}};
            int id = 0;
            for (int t = 0; t < trackCount; ++t) {
                auto& track = smf.track();
                auto cursor = reference.begin();
                int64_t time = 0;
                if (format == 2) {
                    cursor = std::prev(reference.end());
                    time = cursor->time;
                }
                const int length = int(random() % 9);
                for (int i = 0; i < length; ++i, ++id) {
                    const uint32_t delta = deltas[random() % std::size(deltas)];
                    time += delta;
                    track.noteOn(delta, t % 16, id & 0x7F, (id >> 7) + 1);
                    while (std::next(cursor) != reference.end() && std::next(cursor)->time < time) ++cursor;
                    cursor = reference.insert(std::next(cursor), Ref{time, id});
                }
            }
            auto r = readList(smf.bytes());
            ASSERT_TRUE(r.ok);
            ASSERT_EQ(r.list.size(), reference.size());
            size_t i = 0;
            for (const Ref& ref : reference) {
                const TrackEvent& e = r.list[i++];
                EXPECT_EQ(e.time, ref.time) << "format " << format << " round " << round;
                if (ref.id >= 0) {
                    EXPECT_EQ((e.b - 1) << 7 | e.a, ref.id) << "format " << format << " round " << round;
                }
            }
        }
    }
}

TEST(MidiReader, HeaderVariants) {
    // A longer header has its extra bytes skipped.
    SmfBuilder longHeader(0, 480);
    longHeader.headerLength(10).track().noteOn(0, 0, 60, 1);
    EXPECT_EQ(events(readList(longHeader.bytes())).size(), 1u);

    // Format 0 reads one track whatever the count says; the rest is ignored.
    SmfBuilder format0(0, 480);
    format0.declaredTrackCount(3).trailer({'j', 'u', 'n', 'k'}).track().noteOn(0, 0, 60, 1);
    EXPECT_EQ(events(readList(format0.bytes())).size(), 1u);

    // No tracks, or a count with the top bit set: only the head.
    SmfBuilder none(1, 480);
    auto r = readList(none.bytes());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.list.size(), 1u);
    SmfBuilder negative(1, 480);
    negative.declaredTrackCount(0x8001).track().noteOn(0, 0, 60, 1);
    r = readList(negative.bytes());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.list.size(), 1u);

    // SMPTE: 25 frames per second x 40 ticks per frame.
    SmfBuilder smpte(0, 0xE728);
    smpte.track();
    EXPECT_EQ(readList(smpte.bytes()).division, 1000);
}

TEST(MidiReader, TextEvents) {
    SmfBuilder smf(1, 96);
    smf.track().text(0, 1, "first").text(0, 2, "old (c)").text(0, 3, "track name");
    smf.track().text(5, 2, "new\t(c)\x01\xE9").text(0, 15, "ignored");
    auto r = readList(smf.bytes());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.list.size(), 1u);
    EXPECT_EQ(r.texts[0], "first");
    EXPECT_EQ(r.texts[1], "new.(c).\xE9");
}

TEST(MidiReader, RmiFiles) {
    SmfBuilder smf(1, 480);
    smf.track().noteOn(0, 0, 60, 1).noteOff(480, 0, 60);
    const std::vector<uint8_t> midi = smf.bytes();
    const auto bare = events(readList(midi));

    // Chunks before "data" are skipped, an odd one with its pad byte.
    auto wrapped = test::wrapRmi(midi, {{"LIST", {'I', 'N', 'F', 'O', 'x'}}, {"junk", {}}});
    auto r = readList(wrapped);
    ASSERT_TRUE(r.ok);
    auto e = events(r);
    ASSERT_EQ(e.size(), bare.size());
    for (size_t i = 0; i < e.size(); ++i) expectEvent(e[i], bare[i].time, bare[i].channel, bare[i].opcode, bare[i].a, bare[i].b);

    // The MIDI data end with the data chunk: what follows is not read.
    std::vector<uint8_t> cut(midi.begin(), midi.end() - 4);  // no end-of-track
    auto cutWrapped = test::wrapRmi(cut, {{"pad ", {1}}});
    cutWrapped.insert(cutWrapped.end(), {0x00, 0xFF, 0x2F, 0x00});
    EXPECT_FALSE(readList(cutWrapped).ok);

    EXPECT_FALSE(readList(test::wrapRmi(midi, {}, "WAVE")).ok);
    std::vector<uint8_t> noData{'R', 'I', 'F', 'F', 12, 0, 0, 0, 'R', 'M', 'I', 'D', 'L', 'I', 'S', 'T', 0, 0, 0, 0};
    noData.insert(noData.end(), midi.begin(), midi.end());  // outside the form
    EXPECT_FALSE(readList(noData).ok);

    // A data chunk that claims more than the file holds ends with the file.
    auto overlong = test::wrapRmi(midi);
    overlong[4] = overlong[5] = 0xFF;
    overlong[16] = overlong[17] = 0xFF;
    EXPECT_EQ(events(readList(overlong)).size(), bare.size());
}

TEST(MidiReader, BrokenFilesFail) {
    auto fails = [](const std::vector<uint8_t>& bytes) { return !readList(bytes).ok; };
    SmfBuilder good(1, 480);
    good.track().tempo(0, 500000).text(0, 1, "name").noteOn(0, 0, 60, 1).sysex(1, {1, 2, 3});
    good.track().controller(0, 1, 7, 100).noteOn(200, 1, 60, 90).noteOff(0x3FFF, 1, 60);
    const auto bytes = good.bytes();
    ASSERT_FALSE(fails(bytes));

    // Every truncation of a valid file fails (and ends). Only the length byte
    // of the last end-of-track event may be missing: it reads as 0.
    EXPECT_FALSE(fails(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1)));
    for (size_t n = 0; n + 1 < bytes.size(); ++n) {
        EXPECT_TRUE(fails(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n))) << n;
    }

    auto header = [](std::initializer_list<uint8_t> b) { return std::vector<uint8_t>(b); };
    EXPECT_TRUE(fails(header({'M', 'T', 'h', 'X', 0, 0, 0, 6, 0, 0, 0, 0, 0, 96})));
    EXPECT_TRUE(fails(header({'M', 'T', 'h', 'd', 0, 0, 0, 5, 0, 1, 0, 0, 0, 96})));   // length 5
    EXPECT_TRUE(fails(header({'M', 'T', 'h', 'd', 0x80, 0, 0, 6, 0, 1, 0, 0, 0, 96})));  // negative length
    EXPECT_TRUE(fails(header({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 3, 0, 0, 0, 96})));   // format 3
    EXPECT_TRUE(fails(header({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 0, 0, 0})));    // division 0
    EXPECT_TRUE(fails(header({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 0, 0xE7, 0})));  // 25 x 0

    // An unknown chunk where a track is expected.
    SmfBuilder extra(1, 96);
    extra.track().noteOn(0, 0, 60, 1);
    extra.declaredTrackCount(2).trailer({'X', 'T', 'r', 'k', 0, 0, 0, 0});
    EXPECT_TRUE(fails(extra.bytes()));

    // Data inside the chunk after the end-of-track event is taken as the next chunk.
    SmfBuilder leftover(1, 96);
    leftover.track().noteOn(0, 0, 60, 1).end().noteOff(0, 0, 60).declaredLength(16);
    leftover.track().noteOn(0, 0, 61, 1);
    EXPECT_TRUE(fails(leftover.bytes()));

    // Lengths far beyond the data: no allocation to match, no read past the end.
    for (int kind = 0; kind < 4; ++kind) {
        SmfBuilder huge(0, 96);
        auto& t = huge.track().noteOn(0, 0, 60, 1).omitEndOfTrack();
        if (kind == 0) t.event(0, {0xF0, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2});
        if (kind == 1) t.metaWithLength(0, 0x01, 0xFFFFFFF0, {'a', 'b'});
        if (kind == 2) t.metaWithLength(0, 0x7F, 0x7FFFFFFF, {1});
        // A quantity that never ends before the data do.
        if (kind == 3) t.raw(std::vector<uint8_t>(100000, 0x81));
        EXPECT_TRUE(fails(huge.bytes())) << kind;
    }
}

TEST(MidiReader, TicksBeyond32Bits) {
    SmfBuilder smf(1, 96);
    auto& first = smf.track();
    for (int i = 0; i < 20; ++i) first.noteOn(0x0FFFFFFF, 0, 60, 1);  // max four-byte quantity
    smf.track().noteOn(0x7FFFFFFF, 1, 61, 1);  // a five-byte quantity
    auto e = events(readList(smf.bytes()));
    ASSERT_EQ(e.size(), 21u);
    EXPECT_EQ(e.back().time, 20 * int64_t(0x0FFFFFFF));
    for (size_t i = 1; i < e.size(); ++i) EXPECT_LE(e[i - 1].time, e[i].time);
    EXPECT_EQ(e[8].time, 0x7FFFFFFF);
    EXPECT_EQ(e[8].channel, 1);
}

TEST(MidiReader, FilesReadOnTwoThreads) {
    // Reader state belongs to each read: concurrent reads do not disturb
    // each other's running status or parameter selection.
    SmfBuilder a(0, 96);
    auto& ta = a.track();
    for (int i = 0; i < 2000; ++i) ta.event(1, {0x91, 60, 1}).event(0, {0x3E, 2}).rpn(0, 1, 0, 0, 4);
    SmfBuilder b(0, 96);
    auto& tb = b.track();
    for (int i = 0; i < 2000; ++i) tb.controller(1, 2, 99, 0).event(0, {0xA2, 5, 6}).event(0, {0x07, 8});
    const auto fileA = a.bytes(), fileB = b.bytes();
    auto check = [](const std::vector<uint8_t>& file, int expectedChannel, size_t expectedCount, bool& good) {
        good = true;
        for (int round = 0; round < 20; ++round) {
            auto r = readList(file);
            good = good && r.ok && r.list.size() == expectedCount + 1;
            for (size_t i = 1; good && i < r.list.size(); ++i) good = r.list[i].channel == expectedChannel;
        }
    };
    bool goodA = false, goodB = false;
    std::thread ta2([&] { check(fileA, 1, 6000, goodA); });
    std::thread tb2([&] { check(fileB, 2, 4000, goodB); });
    ta2.join();
    tb2.join();
    EXPECT_TRUE(goodA);
    EXPECT_TRUE(goodB);
}

}  // namespace
}  // namespace tz
