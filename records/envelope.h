// The engine's volume envelope, as samples describe it and voices run it.
//
// A sample holds six stages, each a rate and a target level. Levels run from
// 0 to kEnvelopeFullLevel and are held with kEnvelopeFractionBits fraction
// bits, so the value of a level is level << 22. The mixer turns a level into
// a gain through envelopeVolumeTable, whose 128 entries take the value's top
// seven bits (value >> 23, half a level's resolution): entry i is
// 2^(((i / 127) - 1) * kEnvelopeRangeOctaves), so the scale spans six
// octaves of gain, about 36 dB, linear in decibels.
#pragma once
#include <cstdint>

namespace tz {

constexpr int kEnvelopeFractionBits = 22;
constexpr int32_t kEnvelopeFullLevel = 255;
// value >> kEnvelopeTableShift indexes envelopeVolumeTable.
constexpr int kEnvelopeTableShift = kEnvelopeFractionBits + 1;
constexpr int kEnvelopeTableLast = 127;
constexpr double kEnvelopeRangeOctaves = 6.0;

constexpr int32_t envelopeValue(int32_t level) { return level << kEnvelopeFractionBits; }
static_assert(envelopeValue(kEnvelopeFullLevel) >> kEnvelopeTableShift == kEnvelopeTableLast);

}  // namespace tz
