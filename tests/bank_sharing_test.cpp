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

#include "instruments/config.h"
#include "instruments/dls_collection.h"
#include "platform/byte_source.h"
#include "platform/input_stream.h"
#include "platform/paths.h"
#include "records/midi_song.h"
#include "song/song_assembly.h"
#include "song/system_bank.h"
#include "synth/render.h"
#include "tests/support/files.h"
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

struct Configuration {
    Configuration() { acquireInstrumentConfiguration(); }
    ~Configuration() { releaseInstrumentConfiguration(); }
};

// A song as a demuxer holds it: the song and the index it was loaded from.
struct Playing {
    std::shared_ptr<const DlsCollection> collection;
    std::unique_ptr<MidiSong> song;
    explicit operator bool() const { return song != nullptr; }
};

// What the demuxer passes.
SongOptions songOptions() {
    SongOptions options;
    options.rate = 44100;
    options.format = SampleFormat{0x8010, 2};
    options.bufferFrames = 1024;
    return options;
}

Playing open(const fs::path& bank, const std::vector<uint8_t>& midi) {
    Playing playing;
    OpenBank opened = openBank(utf8ToUtf16(bank.string()));
    if (!opened) return playing;
    StreamPtr stream(createMemoryStream(midi.data(), midi.size()));
    playing.song = createSong(songOptions(), stream.get(), opened.collection.get(), opened.file.get());
    if (playing.song) startSong(*playing.song);
    playing.collection = opened.collection;
    return playing;
}

// Up to `blocks` blocks, or all that remain.
std::vector<uint8_t> render(MidiSong& song, int blocks = 1 << 30) {
    std::vector<uint8_t> out;
    uint8_t block[4096];
    for (int n = 0; n < blocks; ++n) {
        int32_t got = renderBlock(song, block);
        if (got <= 0) break;
        out.insert(out.end(), block, block + got);
    }
    return out;
}

std::vector<uint8_t> renderAlone(const fs::path& bank, const std::vector<uint8_t>& midi) {
    Playing p = open(bank, midi);
    return p ? render(*p.song) : std::vector<uint8_t>{};
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

    Configuration configuration_;
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
    EXPECT_EQ(a.collection, b.collection);  // one index
    // The second song brings only the waves the first does not hold.
    const std::set<const int16_t*> inA = sampleData(*a.song), inB = sampleData(*b.song);
    std::set<const int16_t*> both = inA;
    both.insert(inB.begin(), inB.end());
    EXPECT_EQ(inA.size(), 2u);
    EXPECT_EQ(inB.size(), 3u);
    EXPECT_EQ(both.size(), 4u);

    // Played in turns, block by block, each gives its bytes alone.
    std::vector<uint8_t> outA, outB;
    for (;;) {
        std::vector<uint8_t> blockA = render(*a.song, 1), blockB = render(*b.song, 1);
        if (blockA.empty() && blockB.empty()) break;
        outA.insert(outA.end(), blockA.begin(), blockA.end());
        outB.insert(outB.end(), blockB.begin(), blockB.end());
    }
    EXPECT_EQ(outA, aloneA);
    EXPECT_EQ(outB, aloneB);

    // The shared waves live as long as a song holds them, and no longer.
    std::weak_ptr<int16_t[]> common = b.song->melodicBanks[0]->instruments[8].instrument->samples[0].data;
    a = Playing{};
    EXPECT_FALSE(common.expired());
    b = Playing{};
    EXPECT_TRUE(common.expired());
}

TEST_F(BankSharing, AChangedOrReplacedBankIsIndexedAfresh) {
    const std::vector<uint8_t> referenceA = renderAlone(bank_, kSongA);
    Playing before = open(bank_, kSongA);
    ASSERT_TRUE(before);
    const std::vector<uint8_t> firstHalf = render(*before.song, 5);

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
    EXPECT_NE(after.collection, before.collection);
    EXPECT_NE(render(*after.song), referenceA);

    // The original bytes written back into the same file, with a new time.
    const auto written = fs::last_write_time(bank_);
    ASSERT_TRUE(test::writeFileBytes(bank_, original_));
    fs::last_write_time(bank_, written + std::chrono::seconds(2));
    Playing again = open(bank_, kSongA);
    ASSERT_TRUE(again);
    EXPECT_EQ(render(*again.song), referenceA);

    // The song opened first played on what it had loaded all along.
    std::vector<uint8_t> whole = firstHalf, rest = render(*before.song);
    whole.insert(whole.end(), rest.begin(), rest.end());
    EXPECT_EQ(whole, referenceA);
}

TEST_F(BankSharing, ABankTruncatedOrDeletedWhileSongsPlay) {
    const std::vector<uint8_t> reference = renderAlone(bank_, kSongA);

    // Truncated under a playing song: the song plays on unchanged, the next
    // open fails, and the bank written back opens again.
    Playing playing = open(bank_, kSongA);
    ASSERT_TRUE(playing);
    std::vector<uint8_t> out = render(*playing.song, 5);
    fs::resize_file(bank_, 16);
    std::vector<uint8_t> rest = render(*playing.song);
    out.insert(out.end(), rest.begin(), rest.end());
    EXPECT_EQ(out, reference);
    EXPECT_FALSE(open(bank_, kSongB));
    EXPECT_FALSE(openBank(utf8ToUtf16(bank_.string())));

    // Truncated between the index and the wave reads of one open: that open
    // fails instead of playing with instruments missing.
    playing = Playing{};
    ASSERT_TRUE(test::writeFileBytes(bank_, original_));
    OpenBank racing = openBank(utf8ToUtf16(bank_.string()));
    ASSERT_TRUE(racing);
    fs::resize_file(bank_, indexDlsCollection(original_)->waves[0].dataPosition);
    StreamPtr stream(createMemoryStream(kSongA.data(), kSongA.size()));
    EXPECT_FALSE(createSong(songOptions(), stream.get(), racing.collection.get(), racing.file.get()));

    // Deleted under a playing song.
    ASSERT_TRUE(test::writeFileBytes(bank_, original_));
    playing = open(bank_, kSongA);
    ASSERT_TRUE(playing);
    fs::remove(bank_);
    EXPECT_EQ(render(*playing.song), reference);
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
                if (!p || render(*p.song) != references[which]) ++mismatches[size_t(t)];
                kept = std::move(p);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

}  // namespace
}  // namespace tz
