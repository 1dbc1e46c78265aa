// Song creation: options, buffers, banks, texts, failures, real songs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "instruments/config.h"
#include "platform/error.h"
#include "records/midi_song.h"
#include "song/song_assembly.h"
#include "synth/output_convert.h"
#include "tests/support/files.h"
#include "tests/support/smf_builder.h"
#include "tests/support/smf_timing.h"
#include "tests/support/test_data.h"

namespace tz {
namespace {

using test::SmfBuilder;

class MidiSongTest : public ::testing::Test {
protected:
    static std::unique_ptr<MidiSong> create(const std::vector<uint8_t>& bytes, const SongOptions& options = {},
                                            Error* why = nullptr) {
        return readSong(options, bytes, defaultInstrumentConfiguration(), why);
    }
    static std::vector<uint8_t> simpleFile() {
        SmfBuilder smf(1, 480);
        smf.track().text(0, 1, "Song\ttitle").text(0, 2, "(c) nobody");
        smf.track().noteOn(0, 0, 60, 100).noteOff(480, 0, 60);
        return smf.bytes();
    }
};

TEST_F(MidiSongTest, DemuxerOptions) {
    auto song = create(simpleFile(), SongOptions{44100, 0x8010, 2, 1024, {}});
    ASSERT_TRUE(song);
    EXPECT_EQ(song->format.code, 0x8010);
    EXPECT_FALSE(song->format.mono());
    EXPECT_EQ(song->bytesPerFrame, 4);
    EXPECT_EQ(song->controlRatio, 44);
    EXPECT_EQ(song->convertOutput, selectOutputConversion({0x8010}));
    EXPECT_EQ(song->outputRate, 44100);
    EXPECT_EQ(song->bufferFrames, 1024);
    EXPECT_EQ(song->resampleBuffer.size(), 1024u);
    EXPECT_EQ(song->mixBuffer.size(), 2048u);
    EXPECT_EQ(song->amplification, 70);
    EXPECT_EQ(song->voiceCount, 32);
    EXPECT_EQ(song->drumChannelMask, 0x8200u);
    EXPECT_EQ(song->defaultProgram, 0);
    EXPECT_EQ(song->playing, 0);
    EXPECT_EQ(song->bank, nullptr);

    // Only the templates that exist become banks.
    int melodic = 0, drums = 0;
    for (size_t n = 0; n < 128; ++n) {
        melodic += song->melodicBanks[n] != nullptr;
        drums += song->drumSets[n] != nullptr;
    }
    EXPECT_EQ(melodic, 1);
    EXPECT_EQ(drums, 1);
    ASSERT_TRUE(song->melodicBanks[0]);
    EXPECT_EQ(song->melodicBanks[0]->entries, defaultInstrumentConfiguration()->melodicTemplates[0]->entries);

    // The events, length and texts of the file.
    ASSERT_EQ(song->events.size(), 4u);
    EXPECT_EQ(song->events[2].opcode, EventOpcode::NoteOff);
    EXPECT_EQ(song->events.back().time, 22050);
    EXPECT_EQ(song->currentEvent, 0u);
    EXPECT_EQ(song->texts[0], "Song.title");
    EXPECT_EQ(song->texts[1], "(c) nobody");
    for (const Voice& v : song->voices) EXPECT_EQ(v.state, VoiceState::Free);
}

TEST_F(MidiSongTest, OtherFormats) {
    struct Case {
        SongOptions options;
        bool mono;
        int32_t bytesPerFrame, controlRatio;
    };
    const Case cases[] = {
        {{44100, 0x0008, 1, 512, {}}, true, 1, 44},
        {{44100, 0x8008, 2, 512, {}}, false, 2, 44},
        {{500, 0x8010, 2, 16, {}}, false, 4, 1},
        {{300000, 0x8010, 1, 16, {}}, true, 2, 255},
        {{999, 0x9010, 2, 16, {}}, false, 4, 1},
        {{1000, 0x1234, 2, 16, {}}, false, 2, 1},
        {{1, 0x0010, 3, 1, {}}, false, 4, 1},
    };
    for (const Case& c : cases) {
        auto song = create(simpleFile(), c.options);
        ASSERT_TRUE(song);
        EXPECT_EQ(song->format.mono(), c.mono) << c.options.format.code;
        EXPECT_EQ(song->bytesPerFrame, c.bytesPerFrame) << c.options.format.code;
        EXPECT_EQ(song->controlRatio, c.controlRatio) << c.options.rate;
        EXPECT_EQ(song->convertOutput, selectOutputConversion(c.options.format));
        EXPECT_EQ(song->mixBuffer.size(), 2u * c.options.bufferFrames);
    }
}

TEST_F(MidiSongTest, CreationFails) {
    const std::vector<uint8_t> notMidi{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    Error why = Error::None;
    EXPECT_FALSE(create(notMidi, {}, &why));
    EXPECT_EQ(why, Error::NotMidi);
    EXPECT_FALSE(create({}, {}, &why));
    EXPECT_EQ(why, Error::NotMidi);
    // No rate to count time in, or no room to mix in.
    EXPECT_FALSE(create(simpleFile(), SongOptions{0, 0x8010, 2, 1024, {}}));
    EXPECT_FALSE(create(simpleFile(), SongOptions{-44100, 0x8010, 2, 1024, {}}));
    EXPECT_FALSE(create(simpleFile(), SongOptions{44100, 0x8010, 2, 0, {}}));
}

TEST_F(MidiSongTest, ReadsRmiFiles) {
    auto song = create(test::wrapRmi(simpleFile(), {{"LIST", {'I', 'N', 'F', 'O', 'I'}}}));
    ASSERT_TRUE(song);
    EXPECT_EQ(song->events.back().time, 22050);
}

TEST_F(MidiSongTest, RealSongLengths) {
    const std::vector<std::filesystem::path> paths = test::openMsxSongs();
    if (paths.empty()) TZ_SKIP_WITHOUT_DATA("openttd-openmsx is not installed");
    for (const std::filesystem::path& path : paths) {
        std::vector<uint8_t> bytes = test::readFileBytes(path);
        auto song = create(bytes);
        ASSERT_TRUE(song) << path;
        // An independent reading of the file's tempo map.
        const test::SongTiming expected = test::readSongTiming(bytes);
        ASSERT_TRUE(expected.ok) << path;
        EXPECT_GT(song->events.back().time, 44100) << path;
        EXPECT_NEAR(song->events.back().time / 44100.0, expected.lengthSeconds, 0.005) << path;
        EXPECT_EQ(song->events.back().opcode, EventOpcode::EndOfSong);
        for (size_t i = 1; i < song->events.size(); ++i) {
            ASSERT_LE(song->events[i - 1].time, song->events[i].time) << path;
        }
    }
}

}  // namespace
}  // namespace tz
