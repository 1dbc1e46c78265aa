// The song player as every caller uses it: the bank and patches its
// settings choose, and a reason for each failure a user can cause.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "song/song_player.h"
#include "tests/support/files.h"
#include "tests/support/patch_builder.h"
#include "tests/support/player.h"
#include "tests/support/sf2_builder.h"
#include "tests/support/smf_builder.h"
#include "tests/support/test_bank.h"

namespace tz {
namespace {

namespace fs = std::filesystem;

// Program 0 (which the small bank has) and program 100 (which it lacks),
// then a drum.
std::vector<uint8_t> twoProgramSong() {
    test::SmfBuilder smf(0, 480);
    smf.track()
        .program(0, 0, 0)
        .noteOn(0, 0, 60, 100)
        .noteOff(480, 0, 60)
        .program(0, 1, 100)
        .noteOn(0, 1, 62, 100)
        .noteOff(480, 1, 62);
    return smf.bytes();
}

const Instrument* slot(const SongPlayer& player, int program) {
    return player.song().melodicBanks[0]->instruments[size_t(program)].instrument.get();
}

class SongPlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) / ("song_player_" + std::to_string(::getpid()));
        fs::create_directories(dir_ / "pats");
        // A patch whose values tell it apart from the bank's waves.
        test::PatchSpec patch;
        patch.samples = {test::patchSample16(std::vector<int16_t>(2000, 4321))};
        patch.samples[0].sampleRate = 11025;
        ASSERT_TRUE(test::writePatch(dir_ / "pats" / "tone.pat", patch));
        const std::string cfg = "dir pats\nbank 0\n0 tone.pat amp=100\n100 tone amp=100\n";
        ASSERT_TRUE(test::writeFileBytes(dir_ / "patches.cfg", std::vector<uint8_t>(cfg.begin(), cfg.end())));
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(SongPlayerTest, BankInstrumentsComeFirstAndPatchesFillWhatTheBankLacks) {
    std::unique_ptr<SongPlayer> player =
        test::openSong(twoProgramSong(), test::bankSettings(test::smallGmBankFile(), dir_ / "patches.cfg"));
    ASSERT_TRUE(player);
    ASSERT_TRUE(player->loadInstruments());
    ASSERT_TRUE(slot(*player, 0) && slot(*player, 100));
    EXPECT_NE(slot(*player, 0)->samples[0].sampleRate, 11025);  // the bank's
    EXPECT_EQ(slot(*player, 100)->samples[0].sampleRate, 11025);
    EXPECT_EQ(slot(*player, 100)->samples[0].data[0], 4321);

    // Without a bank anywhere, the patches alone play the song.
    player = test::openSong(twoProgramSong(), test::bankSettings(dir_ / "no-bank.dls", dir_ / "patches.cfg"));
    ASSERT_TRUE(player);
    const std::vector<uint8_t> pcm = test::readAll(*player);
    EXPECT_EQ(pcm.size(), size_t(44100) * 4);
    EXPECT_TRUE(std::any_of(pcm.begin(), pcm.end(), [](uint8_t b) { return b != 0; }));
    EXPECT_EQ(slot(*player, 0)->samples[0].sampleRate, 11025);
}

TEST_F(SongPlayerTest, EachFailureSaysWhichFileAndWhy) {
    const Settings withBank = test::bankSettings(test::smallGmBankFile());
    Error why = Error::None;
    EXPECT_FALSE(SongPlayer::open(std::string_view((dir_ / "missing.mid").string()), withBank, &why));
    EXPECT_EQ(why, Error::SongUnreadable);
    std::vector<uint8_t> song = twoProgramSong();
    song.resize(song.size() - 6);  // the track loses its end
    EXPECT_FALSE(SongPlayer::openMemory(song, withBank, &why));
    EXPECT_EQ(why, Error::MidiTrackTruncated);
    EXPECT_FALSE(SongPlayer::openMemory(std::vector<uint8_t>{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 0},
                                        withBank, &why));
    EXPECT_EQ(why, Error::MidiDivisionZero);

    // A RIFF file that is no bank, and no bank at all.
    const std::vector<uint8_t> wav{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    ASSERT_TRUE(test::writeFileBytes(dir_ / "sound.wav", wav));
    EXPECT_FALSE(SongPlayer::openMemory(twoProgramSong(), test::bankSettings(dir_ / "sound.wav"), &why));
    EXPECT_EQ(why, Error::NotABank);
    EXPECT_FALSE(SongPlayer::openMemory(twoProgramSong(), Settings{}, &why));
    EXPECT_EQ(why, Error::NoBank);
}

TEST_F(SongPlayerTest, ASoundFontCutShortWhileASongIsOpenLeavesItSilentNotBroken) {
    const fs::path sf2 = dir_ / "bank.sf2";
    ASSERT_TRUE(test::writeFileBytes(sf2, test::smallSoundFont()));
    std::unique_ptr<SongPlayer> whole = test::openSong(twoProgramSong(), test::bankSettings(sf2));
    ASSERT_TRUE(whole);
    const std::vector<uint8_t> reference = test::readAll(*whole);
    EXPECT_TRUE(std::any_of(reference.begin(), reference.end(), [](uint8_t b) { return b != 0; }));

    whole.reset();  // its waves go with it

    // Opened (indexed), then cut to its header before the first read.
    std::unique_ptr<SongPlayer> cut = test::openSong(twoProgramSong(), test::bankSettings(sf2));
    ASSERT_TRUE(cut);
    fs::resize_file(sf2, 64);
    EXPECT_FALSE(cut->loadInstruments());
    EXPECT_EQ(cut->loadError(), Error::BankChanged);
    EXPECT_EQ(test::readAll(*cut).size(), reference.size());
    // The next open finds no SoundFont there.
    Error why = Error::None;
    EXPECT_FALSE(SongPlayer::openMemory(twoProgramSong(), test::bankSettings(sf2), &why));
    EXPECT_EQ(why, Error::BankDamaged);
}

}  // namespace
}  // namespace tz
