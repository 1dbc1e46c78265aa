// The parsed DLS bank: an index of instruments, regions, articulations and
// waves over the bank's bytes, all but the waves' sample data, which stay in
// the file and are read when a song needs them. Every count, offset and index
// is checked here, where it is read; the records hold only what lies inside
// the chunk it came from. Read-only once indexed, so songs on several threads
// share it; only the shared converted waves change, under their own lock.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "instruments/riff_tree.h"
#include "platform/byte_source.h"

namespace tz {

constexpr uint32_t kDlsDrumBit = 0x80000000u;

// Connection destinations of the DLS standard that articulation reading uses.
constexpr uint16_t kDlsDestPan = 0x0004;
constexpr uint16_t kDlsDestAttackTime = 0x0206;
constexpr uint16_t kDlsDestDecayTime = 0x0207;
constexpr uint16_t kDlsDestReleaseTime = 0x0209;
constexpr uint16_t kDlsDestSustainLevel = 0x020A;
constexpr uint16_t kDlsDestHoldTime = 0x020C;
// Timecents value that means "no time at all".
constexpr int32_t kDlsTimeZero = int32_t(0x80000000u);
constexpr size_t kDlsConnectionSize = 12;  // one connection block
constexpr size_t kDlsLoopSize = 16;        // one wave-sample loop record
// The type of a region's "LIST" that holds an "art1" for the classic sound
// alone, beside the articulation every player reads: banks `tzmidi bank`
// makes keep there the blocks tuned for the classic sound's envelope.
inline constexpr char kDlsClassicArticulationList[5] = "tzca";

// An "art1"/"art2" chunk: the connection blocks that lie within it.
struct DlsArticulation {
    bool present = false;
    bool level2 = false;  // an "art2" chunk: its transform words carry both shapes
    std::span<const uint8_t> connections;  // connectionCount blocks of 12 bytes
    uint32_t connectionCount = 0;
};

struct DlsLoop {
    uint32_t type = 0;
    uint32_t start = 0;   // in samples
    uint32_t length = 0;  // in samples
};

// A "wsmp" chunk.
struct DlsWaveSample {
    bool present = false;
    uint16_t unityNote = 0;
    int16_t fineTune = 0;
    int32_t attenuation = 0;
    uint32_t loopCount = 0;  // loop records that lie within the chunk
    DlsLoop loop;            // the first of them, when loopCount > 0
};

struct DlsRegion {
    bool hasHeader = false;  // "rgnh"
    uint16_t keyLow = 0;
    uint16_t keyHigh = 0;
    uint16_t velocityLow = 0;
    uint16_t velocityHigh = 0;
    uint16_t options = 0;   // fusOptions: bit 0, a repeated key does not cut its earlier note
    uint16_t keyGroup = 0;  // usKeyGroup: the exclusive class, 0 for none
    bool hasWaveLink = false;  // "wlnk"
    uint32_t waveIndex = 0;
    DlsWaveSample waveSample;
    DlsArticulation articulation;
    DlsArticulation classicArticulation;  // from a kDlsClassicArticulationList list
};

struct DlsInstrument {
    std::string_view name;   // INFO/INAM, up to its terminator
    bool hasHeader = false;  // "insh"
    uint32_t regionCount = 0;  // cRegions of the header
    uint32_t bank = 0;         // ulBank
    uint32_t program = 0;      // ulInstrument
    std::vector<DlsRegion> regions;  // the region lists read, at most regionCount
    DlsArticulation articulation;
};

struct DlsWave {
    bool hasFormat = false;  // "fmt " with at least the sample rate
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t bitsPerSample = 16;  // 16 when the format is too short to say
    bool hasData = false;
    uint64_t dataPosition = 0;  // the "data" chunk's bytes: where they lie in the file
    uint32_t dataLength = 0;
    DlsWaveSample waveSample;
};

// Converted waves, by pool index, shared by every song loaded from one
// collection for as long as any of them holds one: a song that needs a wave
// another song holds takes that copy instead of reading its own. Used while
// songs are loaded, never while they play.
class DlsSharedWaves {
public:
    void resize(size_t waveCount) { waves_.resize(waveCount); }
    // The wave as a song still holds it; null when none does.
    std::shared_ptr<int16_t[]> find(uint32_t index) const;
    // Offers a wave just converted and returns the copy to use: the offered
    // one, or one that another thread offered meanwhile.
    std::shared_ptr<int16_t[]> offer(uint32_t index, std::shared_ptr<int16_t[]> data) const;

private:
    mutable std::mutex mutex_;
    mutable std::vector<std::weak_ptr<int16_t[]>> waves_;
};

struct DlsCollection {
    std::vector<uint8_t> image;  // the bank's bytes less the sample data; every span points into it
    // The whole bank when it was indexed from memory: its waves are read from
    // here. Null when they are read from the bank file.
    std::unique_ptr<const ByteSource> ownBytes;
    uint32_t instrumentCount = 0;    // cInstruments of "colh"
    std::vector<DlsInstrument> instruments;  // those read, at most instrumentCount
    uint32_t cueCount = 0;                   // cues within "ptbl"
    std::vector<DlsWave> waves;              // those read, at most cueCount
    std::string_view name;
    std::string_view artist;
    std::string_view rights;
    std::string_view comment;
    DlsSharedWaves sharedWaves;  // one slot per record of `waves`
};

// Indexes a DLS bank, reading everything from the source but the waves'
// sample data. Null when it cannot be read as RIFF. Any RIFF file is
// accepted; what is missing is found missing when an instrument is converted.
std::unique_ptr<DlsCollection> indexDlsCollection(const ByteSource& file);
// Indexes a bank held in memory; the collection keeps the bytes.
std::unique_ptr<DlsCollection> indexDlsCollection(std::vector<uint8_t> file);

// Reads the first `count` bytes of a wave's data: from the collection's own
// bytes, else from `file`, the bank file it was indexed from as it is open
// now. False when `count` exceeds the data or the bytes cannot be read (the
// file has changed since).
bool readDlsWaveData(const DlsCollection& dls, const DlsWave& wave, const ByteSource* file, void* out, size_t count);

// Parses a connection block (0 <= index < count of its articulation).
struct DlsConnection {
    uint16_t source = 0;
    uint16_t control = 0;
    uint16_t destination = 0;
    uint16_t transform = 0;
    int32_t scale = 0;
};
DlsConnection dlsConnection(const DlsArticulation& articulation, uint32_t index);

}  // namespace tz
