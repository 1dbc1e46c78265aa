// Instrument, sample and bank records: what a song plays from.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "records/articulation.h"

namespace tz {

// Sample mode bits (the GUS patch mode byte).
enum SampleMode : uint8_t {
    Mode16Bit = 0x01,
    ModeUnsigned = 0x02,
    ModeLooping = 0x04,
    ModePingPong = 0x08,
    ModeReverse = 0x10,
    ModeSustain = 0x20,
    ModeEnvelope = 0x40,
};

// Positions, lengths and loop points carry 12 fraction bits.
constexpr int kFractionBits = 12;
constexpr int32_t kFractionOne = 1 << kFractionBits;
constexpr int32_t kFractionMask = kFractionOne - 1;
// A sample holds at most this many values, so that every position, length
// and loop point (12 fraction bits) fits a signed 32-bit integer. Longer
// waves are cut to it or refused.
constexpr int32_t kMaxSampleValues = (1 << (31 - kFractionBits)) - 1;
// Every sample's data are followed by this many copies of the last value
// (zeros for an empty sample) so interpolation may read one past the end.
constexpr int kGuardValues = 2;
// And then by this many zeros, never used, so that the wide interpolation
// loops may load a whole vector from the last value on.
constexpr int kReadAheadValues = 16;

// The values to allocate for a sample of `count` values: every sample's data
// have room for the guard and read-ahead values, which setGuardValues fills
// once the values are in place.
constexpr size_t sampleDataSize(int32_t count) {
    return size_t(count > 0 ? count : 0) + kGuardValues + kReadAheadValues;
}

struct Sample {
    int32_t loopStart = 0;      // 12 fraction bits
    int32_t loopEnd = 0;        // first position after the loop, 12 fraction bits
    int32_t dataLength = 0;     // value count << 12
    int32_t sampleRate = 0;     // Hz
    int32_t lowVelocity = 0;
    int32_t highVelocity = 127;
    int32_t lowFrequency = 0;   // milli-Hz
    int32_t highFrequency = 0;  // milli-Hz
    int32_t rootFrequency = 0;  // milli-Hz
    int32_t envelopeRate[6] = {};
    int32_t envelopeTarget[6] = {};
    float volume = 0.0f;
    // Signed 16-bit mono data: (dataLength >> 12) values followed by the guard
    // values. Shared between samples cut from the same source wave.
    std::shared_ptr<int16_t[]> data;
    int32_t tremoloSweepStep = 0;
    int32_t tremoloPhaseStep = 0;
    int32_t vibratoSweepStep = 0;
    int32_t vibratoPeriod = 0;
    uint8_t tremoloDepth = 0;
    uint8_t vibratoDepth = 0;
    uint8_t modes = 0;
    int8_t panning = 0;
    uint8_t fixedNote = 0;
    // The region's articulation as the standard sound plays it; null for
    // samples that have none (patches), which play as the classic sound does.
    std::shared_ptr<const Articulation> articulation;
};

struct Instrument {
    std::vector<Sample> samples;
    int32_t sampleCount() const { return int32_t(samples.size()); }
};

// Allocates data for `count` values plus the guard and read-ahead values, the
// guards set to the last value (zeros when count is 0). Fill the first
// `count` values, then call setGuardValues again if they changed.
std::shared_ptr<int16_t[]> allocateSampleData(int32_t count);
// Sets the guard values to the last value and the read-ahead values to 0.
void setGuardValues(int16_t* data, int32_t count);

struct ToneEntry {
    // A template's entries start zeroed: no patch name, all settings 0.
    std::string patchName;  // empty: no patch configured
    int32_t fixedNote = 0;
    int32_t amplification = 0;
    int32_t panning = 0;
    int32_t stripLoop = 0;
    int32_t stripEnvelope = 0;
    int32_t stripTail = 0;
};

// One instrument slot of a bank: empty, marked for loading, or holding an
// owned instrument.
struct InstrumentSlot {
    std::unique_ptr<Instrument> instrument;
    bool needsLoading = false;
    bool empty() const { return !instrument && !needsLoading; }
};

struct ToneBank {
    const ToneEntry* entries = nullptr;  // 128 entries, owned by the template
    std::array<InstrumentSlot, 128> instruments;
};

}  // namespace tz
