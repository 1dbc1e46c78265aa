// What hostile files may cost: the memory a reader allocates stays within a
// small multiple of the input (plus fixed buffers), and time stays in
// proportion to the events a song holds, whatever its headers claim.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "instruments/config.h"
#include "instruments/dls_collection.h"
#include "platform/input_stream.h"
#include "records/midi_song.h"
#include "song/song_assembly.h"
#include "synth/render.h"
#include "tests/support/smf_builder.h"
#include "soundfont/dls_writer.h"

// Every allocation of this test program is counted, so a test can see the
// peak that one call reaches above what was live before it.
namespace {
std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};

void* countedAlloc(size_t size) {
    // Room in front of the block for its size.
    void* raw = std::malloc(size + 16);
    if (!raw) throw std::bad_alloc();
    *static_cast<size_t*>(raw) = size;
    size_t now = liveBytes += size;
    size_t peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
    return static_cast<char*>(raw) + 16;
}

void countedFree(void* p) noexcept {
    if (!p) return;
    void* raw = static_cast<char*>(p) - 16;
    liveBytes -= *static_cast<size_t*>(raw);
    std::free(raw);
}
}  // namespace

void* operator new(size_t size) { return countedAlloc(size); }
void* operator new[](size_t size) { return countedAlloc(size); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, size_t) noexcept { countedFree(p); }
void operator delete[](void* p, size_t) noexcept { countedFree(p); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return countedAlloc(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { countedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { countedFree(p); }

namespace tz {
namespace {

// Peak bytes allocated by f above what was live when it started.
template <class F>
size_t peakOf(F&& f) {
    size_t base = liveBytes.load();
    peakBytes = base;
    f();
    return peakBytes.load() - base;
}

class ResourceBounds : public ::testing::Test {
protected:
    std::unique_ptr<MidiSong> open(const std::vector<uint8_t>& bytes) {
        return readSong(SongOptions{}, bytes, defaultInstrumentConfiguration());
    }
};

// The fixed part of a song: its record, bank records and work buffers.
constexpr size_t kSongFixedBytes = 1 << 20;

TEST_F(ResourceBounds, MidiMemoryIsASmallMultipleOfTheFile) {
    // 512 KiB of two-byte events under running status: the densest file.
    test::SmfBuilder smf(1, 96);
    auto& t = smf.track().useRunningStatus();
    for (int i = 0; i < 87000; ++i) t.noteOn(0, 0, 60 + i % 12, 100).noteOn(1, 0, 60 + i % 12, 0);
    std::vector<uint8_t> bytes = smf.bytes();
    size_t peak = peakOf([&] { EXPECT_TRUE(open(bytes)); });
    EXPECT_LT(peak, 48 * bytes.size() + kSongFixedBytes) << bytes.size() << " bytes";
    RecordProperty("midi_peak_bytes", int(peak));
    RecordProperty("midi_file_bytes", int(bytes.size()));

    // Lengths that claim far more than the file holds cost nothing.
    test::SmfBuilder liar(0, 96);
    liar.track().metaWithLength(0, 1, 0x0FFFFFFF, {'a', 'b'}).noteOn(0, 0, 60, 100);
    std::vector<uint8_t> small = liar.bytes();
    EXPECT_LT(peakOf([&] { open(small); }), 64 * small.size() + kSongFixedBytes);
    // A header promising 65535 tracks.
    test::SmfBuilder many(1, 96);
    many.declaredTrackCount(65535);
    many.track().noteOn(0, 0, 60, 100);
    std::vector<uint8_t> few = many.bytes();
    EXPECT_LT(peakOf([&] { open(few); }), 64 * few.size() + kSongFixedBytes);
}

TEST_F(ResourceBounds, SeekAndOpenTimeFollowTheEventsNotTheClock) {
    // One note, then a rest of most of the 2^31-sample range: open and seeks
    // anywhere are immediate, as the work is a handful of events.
    test::SmfBuilder smf(0, 1);
    smf.track().tempo(0, 0xFFFFFF).noteOn(0, 0, 60, 100).noteOff(0, 0, 60).controller(2800, 0, 7, 100);
    std::vector<uint8_t> bytes = smf.bytes();
    auto start = std::chrono::steady_clock::now();
    std::unique_ptr<MidiSong> song = open(bytes);
    ASSERT_TRUE(song);
    EXPECT_GT(song->events.back().time, 1 << 30);
    startSong(*song);
    for (uint32_t ms : {0u, 1000000u, 20000000u, 0xFFFFFFFFu}) seekPlayback(*song, ms);
    uint8_t block[kBlockBytes];
    EXPECT_EQ(renderBlock(*song, block), 0);  // sought past the end
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 1.0);
}

TEST_F(ResourceBounds, DlsMemoryIsASmallMultipleOfTheFile) {
    // A real-looking bank with many regions over one wave.
    DlsBankDesc desc;
    DlsWaveDesc wave;
    wave.data = pcm16Bytes(std::vector<int16_t>(1000, 1000));
    desc.waves.push_back(wave);
    for (uint32_t p = 0; p < 128; ++p) {
        DlsInstrumentDesc inst;
        inst.program = p;
        for (uint16_t k = 0; k < 128; k += 4) {
            DlsRegionDesc r;
            r.keyLow = k;
            r.keyHigh = uint16_t(k + 3);
            inst.regions.push_back(r);
        }
        desc.instruments.push_back(inst);
    }
    std::vector<uint8_t> bytes = writeDlsBank(desc);
    size_t peak = peakOf([&] { EXPECT_TRUE(indexDlsCollection(bytes)); });
    // The collection's own copy of the bytes, the image, the tree and the index.
    EXPECT_LT(peak, 16 * bytes.size()) << bytes.size() << " bytes";

    // Counts that claim billions of records in a tiny file.
    std::vector<uint8_t> colh = {0xFF, 0xFF, 0xFF, 0xFF};
    std::vector<uint8_t> ptbl = {8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    std::vector<uint8_t> body = {'D', 'L', 'S', ' '};
    for (const auto& chunk : {riffChunk("colh", colh), riffChunk("ptbl", ptbl),
                              riffList("LIST", "lins", riffList("LIST", "ins ", riffChunk("insh", {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0})))})
        body.insert(body.end(), chunk.begin(), chunk.end());
    std::vector<uint8_t> liar = riffChunk("RIFF", body);
    size_t small = peakOf([&] { indexDlsCollection(liar); });
    EXPECT_LT(small, 64 * liar.size() + (2 << 20));
}

}  // namespace
}  // namespace tz
