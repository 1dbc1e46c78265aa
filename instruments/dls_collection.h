// The parsed DLS bank: an index of instruments, regions, articulations and
// waves over the chunk tree's buffer. Every count, offset and index is
// checked here, where it is read; the records hold only what lies inside the
// chunk it came from. Read-only once loaded, so several songs may share it.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "instruments/riff_tree.h"

namespace tz {

struct InputStream;

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

// An "art1"/"art2" chunk: the connection blocks that lie within it.
struct DlsArticulation {
    bool present = false;
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
    bool hasWaveLink = false;  // "wlnk"
    uint32_t waveIndex = 0;
    DlsWaveSample waveSample;
    DlsArticulation articulation;
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
    std::span<const uint8_t> data;  // the "data" chunk
    DlsWaveSample waveSample;
};

struct DlsCollection {
    std::unique_ptr<RiffTree> root;  // owns the file image every span points into
    uint32_t instrumentCount = 0;    // cInstruments of "colh"
    std::vector<DlsInstrument> instruments;  // those read, at most instrumentCount
    uint32_t cueCount = 0;                   // cues within "ptbl"
    std::vector<DlsWave> waves;              // those read, at most cueCount
    std::string_view name;
    std::string_view artist;
    std::string_view rights;
    std::string_view comment;
};

// Reads a DLS bank from the stream; null when it cannot be read as RIFF.
// Any RIFF file is accepted; what is missing is found missing when an
// instrument is converted. Does not close the stream.
std::unique_ptr<DlsCollection> loadDlsCollection(InputStream* stream);
// The same over a chunk tree already read.
std::unique_ptr<DlsCollection> loadDlsCollection(std::unique_ptr<RiffTree> tree);

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
