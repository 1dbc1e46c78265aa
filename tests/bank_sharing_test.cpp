// Songs sharing one bank file: the index kept for the process, the waves
// shared between songs, and a bank that changes on disk while songs play.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <latch>
#include <set>
#include <thread>
#include <vector>

#include "instruments/dls_collection.h"
#include "instruments/dls_convert.h"
#include "platform/byte_source.h"
#include "platform/paths.h"
#include "records/midi_song.h"
#include "song/bank_cache.h"
#include "song/song_player.h"
#include "soundfont/sf2_index.h"
#include "tests/support/files.h"
#include "tests/support/player.h"
#include "tests/support/sf2_builder.h"
#include "tests/support/smf_builder.h"
#include "tests/support/test_bank.h"

namespace tz {
namespace {

namespace fs = std::filesystem;
using test::SmfBuilder;

// Half a second on one instrument, a chord across its two regions and a drum.
// Song A plays program 0 (wave 0 twice) and drum 36 (wave 2); song B program
// 8 (waves 0 and 1) and drum 52 (wave 3): wave 0 is common to both.
std::vector<uint8_t> songBytes(int program, int high, int low, int drum) {
    SmfBuilder smf(0, 480);
    smf.track()
        .program(0, 0, program)
        .noteOn(0, 0, high, 100)
        .noteOn(0, 0, low, 90)
        .noteOn(0, 9, drum, 120)
        .noteOff(480, 0, high)
        .noteOff(0, 0, low)
        .noteOff(0, 9, drum);
    return smf.bytes();
}
const std::vector<uint8_t> kSongA = songBytes(0, 60, 48, 36);
const std::vector<uint8_t> kSongB = songBytes(8, 64, 50, 52);

// A song as the plug-in holds it, its instruments loaded.
using Playing = std::unique_ptr<SongPlayer>;

Playing open(const fs::path& bank, const std::vector<uint8_t>& midi) {
    Playing playing = test::openSong(midi, test::bankSettings(bank));
    if (playing && !playing->loadInstruments()) playing.reset();
    return playing;
}

// Up to `blocks` blocks, or all that remain.
std::vector<uint8_t> render(SongPlayer& song, int blocks = 1 << 30) {
    return test::readAll(song, 4096, size_t(blocks) * 4096);
}

std::vector<uint8_t> renderAlone(const fs::path& bank, const std::vector<uint8_t>& midi) {
    Playing p = open(bank, midi);
    return p ? render(*p) : std::vector<uint8_t>{};
}

std::set<const int16_t*> sampleData(const MidiSong& song) {
    std::set<const int16_t*> data;
    for (const auto* banks : {&song.melodicBanks, &song.drumSets})
        for (const auto& bank : *banks)
            if (bank)
                for (const InstrumentSlot& slot : bank->instruments)
                    if (slot.instrument)
                        for (const Sample& s : slot.instrument->samples) data.insert(s.data.get());
    return data;
}

class BankSharing : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(TZ_BINARY_DIR) / ("bank-sharing-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        bank_ = dir_ / "GM.DLS";
        original_ = test::smallGmBank();
        ASSERT_TRUE(test::writeFileBytes(bank_, original_));
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    fs::path bank_;
    std::vector<uint8_t> original_;
};

TEST_F(BankSharing, SongsAliveTogetherShareWavesAndSoundAsEachAlone) {
    const std::vector<uint8_t> aloneA = renderAlone(bank_, kSongA);
    const std::vector<uint8_t> aloneB = renderAlone(bank_, kSongB);
    ASSERT_FALSE(aloneA.empty());
    ASSERT_NE(aloneA, aloneB);

    Playing a = open(bank_, kSongA);
    Playing b = open(bank_, kSongB);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->song().bank, b->song().bank);  // one index
    // The second song brings only the waves the first does not hold.
    const std::set<const int16_t*> inA = sampleData(a->song()), inB = sampleData(b->song());
    std::set<const int16_t*> both = inA;
    both.insert(inB.begin(), inB.end());
    EXPECT_EQ(inA.size(), 2u);
    EXPECT_EQ(inB.size(), 3u);
    EXPECT_EQ(both.size(), 4u);

    // Played in turns, block by block, each gives its bytes alone.
    std::vector<uint8_t> outA, outB;
    for (;;) {
        std::vector<uint8_t> blockA = render(*a, 1), blockB = render(*b, 1);
        if (blockA.empty() && blockB.empty()) break;
        outA.insert(outA.end(), blockA.begin(), blockA.end());
        outB.insert(outB.end(), blockB.begin(), blockB.end());
    }
    EXPECT_EQ(outA, aloneA);
    EXPECT_EQ(outB, aloneB);

    // The shared waves live as long as a song holds them, and no longer.
    std::weak_ptr<int16_t[]> common = b->song().melodicBanks[0]->instruments[8].instrument->samples[0].data;
    a.reset();
    EXPECT_FALSE(common.expired());
    b.reset();
    EXPECT_TRUE(common.expired());
}

TEST_F(BankSharing, AChangedOrReplacedBankIsIndexedAfresh) {
    const std::vector<uint8_t> referenceA = renderAlone(bank_, kSongA);
    Playing before = open(bank_, kSongA);
    ASSERT_TRUE(before);
    const std::vector<uint8_t> firstHalf = render(*before, 5);

    // Another bank of the same size, put in place by renaming over the file:
    // wave 0 inverted.
    std::vector<uint8_t> inverted = original_;
    const DlsWave wave = indexDlsCollection(original_)->waves[0];
    for (uint64_t i = wave.dataPosition; i + 1 < wave.dataPosition + wave.dataLength; i += 2) {
        const uint16_t v = uint16_t(-int16_t(inverted[i] | inverted[i + 1] << 8));
        inverted[i] = uint8_t(v);
        inverted[i + 1] = uint8_t(v >> 8);
    }
    ASSERT_TRUE(test::writeFileBytes(dir_ / "new.dls", inverted));
    fs::rename(dir_ / "new.dls", bank_);
    Playing after = open(bank_, kSongA);
    ASSERT_TRUE(after);
    EXPECT_NE(after->song().bank, before->song().bank);
    EXPECT_NE(render(*after), referenceA);

    // The original bytes written back into the same file, with a new time.
    const auto written = fs::last_write_time(bank_);
    ASSERT_TRUE(test::writeFileBytes(bank_, original_));
    fs::last_write_time(bank_, written + std::chrono::seconds(2));
    Playing again = open(bank_, kSongA);
    ASSERT_TRUE(again);
    EXPECT_EQ(render(*again), referenceA);

    // The song opened first played on what it had loaded all along.
    std::vector<uint8_t> whole = firstHalf, rest = render(*before);
    whole.insert(whole.end(), rest.begin(), rest.end());
    EXPECT_EQ(whole, referenceA);
}

TEST_F(BankSharing, ABankTruncatedOrDeletedWhileSongsPlay) {
    const std::vector<uint8_t> reference = renderAlone(bank_, kSongA);

    // Truncated under a playing song: the song plays on unchanged, the next
    // open fails, and the bank written back opens again.
    Playing playing = open(bank_, kSongA);
    ASSERT_TRUE(playing);
    std::vector<uint8_t> out = render(*playing, 5);
    fs::resize_file(bank_, 16);
    std::vector<uint8_t> rest = render(*playing);
    out.insert(out.end(), rest.begin(), rest.end());
    EXPECT_EQ(out, reference);
    EXPECT_FALSE(open(bank_, kSongB));
    EXPECT_FALSE(openBank(utf8ToUtf16(bank_.string())));

    // Truncated between the open and the wave reads of the first read: the
    // song says the bank changed, and plays on without the lost waves.
    playing.reset();
    ASSERT_TRUE(test::writeFileBytes(bank_, original_));
    Playing racing = test::openSong(kSongA, test::bankSettings(bank_));
    ASSERT_TRUE(racing);
    fs::resize_file(bank_, indexDlsCollection(original_)->waves[0].dataPosition);
    EXPECT_FALSE(racing->loadInstruments());
    EXPECT_EQ(racing->loadError(), Error::BankChanged);
    EXPECT_NE(render(*racing), reference);
    racing.reset();

    // Deleted under a playing song.
    ASSERT_TRUE(test::writeFileBytes(bank_, original_));
    playing = open(bank_, kSongA);
    ASSERT_TRUE(playing);
    fs::remove(bank_);
    EXPECT_EQ(render(*playing), reference);
    EXPECT_FALSE(open(bank_, kSongA));
}

TEST_F(BankSharing, ManyThreadsOpenAndRenderOnOneBank) {
    const std::vector<uint8_t> references[2] = {renderAlone(bank_, kSongA), renderAlone(bank_, kSongB)};
    // A new time: the threads' first opens all index the bank at once.
    fs::last_write_time(bank_, fs::last_write_time(bank_) + std::chrono::seconds(2));
    constexpr int kThreads = 4, kRounds = 6;
    std::vector<int> mismatches(kThreads, 0);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            // Each thread keeps its last song alive while it opens the next,
            // so waves are taken from songs of other threads as they go.
            Playing kept;
            for (int round = 0; round < kRounds; ++round) {
                const int which = (t + round) % 2;
                Playing p = open(bank_, which ? kSongB : kSongA);
                if (!p || render(*p) != references[which]) ++mismatches[size_t(t)];
                kept = std::move(p);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

// Songs on several threads loading from one SoundFont index, each with the
// file as it opened it: the presets are converted once and the songs alive
// together hold one copy of each wave, let go when the last song goes.
TEST_F(BankSharing, SongsOnManyThreadsShareTheConvertedPresetsOfASoundFont) {
    const fs::path path = dir_ / "bank.sf2";
    ASSERT_TRUE(test::writeFileBytes(path, test::smallSoundFont()));
    std::unique_ptr<FileSource> indexed = FileSource::open(utf8ToUtf16(path.string()));
    ASSERT_TRUE(indexed);
    std::shared_ptr<const SoundFontIndex> index = indexSoundFont(*indexed);
    ASSERT_TRUE(index);

    struct Request {
        bool drum;
        int bank, program;
    };
    const Request requests[] = {{false, 0, 0}, {false, 0, 5}, {true, 0, 36}, {true, 0, 38}};
    struct Loaded {
        std::unique_ptr<MidiSong> song = std::make_unique<MidiSong>();
        std::vector<std::unique_ptr<Instrument>> instruments;
        bool readFailed = false;
    };
    constexpr int kThreads = 4;
    std::vector<Loaded> loaded(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Loaded& mine = loaded[size_t(t)];
            mine.song->outputRate = 44100;
            mine.song->controlRatio = 44;
            std::unique_ptr<FileSource> file = FileSource::open(utf8ToUtf16(path.string()));
            DlsWaveAccess access;
            access.file = file.get();
            start.arrive_and_wait();
            for (int n = 0; n < 4; ++n) {
                const Request& r = requests[size_t(t + n) % 4];
                mine.instruments.push_back(loadSoundFontInstrument(*mine.song, *index, r.drum, r.bank, r.program, access));
            }
            mine.readFailed = access.readFailed;
        });
    }
    for (std::thread& thread : threads) thread.join();

    std::set<const int16_t*> waves;
    for (const Loaded& l : loaded) {
        EXPECT_FALSE(l.readFailed);
        for (const auto& instrument : l.instruments) {
            ASSERT_TRUE(instrument);
            for (const Sample& s : instrument->samples) waves.insert(s.data.get());
        }
    }
    // Programs 0 and 5 play one wave each, the two drum notes one wave
    // between them: three in all, whichever thread made them.
    EXPECT_EQ(waves.size(), 3u);
    std::weak_ptr<int16_t[]> wave = loaded[0].instruments[0]->samples[0].data;
    loaded.clear();
    EXPECT_TRUE(wave.expired());
}

}  // namespace
}  // namespace tz
