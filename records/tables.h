// Constant pitch and level curves of the engine. Stored as exact constant
// data (hexadecimal floating point) so that every build of the library holds
// the same bits whatever its C library computes for pow.
#pragma once
#include <cstdint>

namespace tz {

// Milli-Hz per MIDI note: 440000 * 2^((n - 69) / 12), rounded.
extern const int32_t noteFrequencyTable[128];
// Gain per envelope level (see records/envelope.h): 2^(((i / 127) - 1) * 6).
extern const double envelopeVolumeTable[128];
// 2^(j / 3072): fractions of a semitone in 1/256 steps.
extern const double bendFineTable[256];
// 2^(k / 12): whole semitones.
extern const double bendSemitoneTable[128];

// The table factors of a non-negative pitch offset in 1/8192 semitone: its
// fraction of a semitone in 1/256 steps and its whole semitones (offsets
// beyond the table's range take its last entry).
struct PitchFactors {
    double fine;
    double semitones;
};
inline PitchFactors pitchOffsetFactors(uint64_t x) {
    return {bendFineTable[(x >> 5) & 255], bendSemitoneTable[x >> 13 < 127 ? x >> 13 : 127]};
}
// Frequency ratio of a non-negative pitch offset in 1/8192 semitone.
inline double pitchOffsetRatio(uint64_t x) {
    const PitchFactors f = pitchOffsetFactors(x);
    return f.fine * f.semitones;
}

}  // namespace tz
