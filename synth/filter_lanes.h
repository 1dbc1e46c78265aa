// The standard sound's low-pass filter, run for several voices at once: one
// lane per voice, every lane a two-pole filter of its own over the same
// frames. A filter is recursive from frame to frame, so a single voice gives
// a wide loop nothing to do side by side; voices do.
#pragma once
#include <cstdint>

#include "records/standard_voice.h"

namespace tz {

// The voices filtered side by side, and the most frames a run takes (one
// control block: the coefficients hold still over it).
constexpr int kFilterLanes = 8;
constexpr int kFilterLaneFrames = 64;

// The coefficients of a low-pass in fixed point, from the normalised ones
// (b1 is twice b0 and b2 is b0, as for every low-pass of this form).
void setFilterCoefficients(FilterState& filter, double b0, double a1, double a2);

// Filters n (at most kFilterLaneFrames) frames of every lane j < count from
// in[j] into out[j], and steps filters[j]. All paths give the same bits.
void runFilterLanes(FilterState* const* filters, const int16_t* const* in, int16_t* const* out, int count,
                    int32_t n);

}  // namespace tz
