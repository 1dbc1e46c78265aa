// Chorus for the standard sound: four copies of the chorus send bus, each
// read from one delay line at a delay that a slow sine sweeps, two copies on
// each side of the output.
//
// The bus and the mix are described in effect_bus.h; the mix is stereo.
//
// The design: the bus's left plus right goes into one delay line; four taps
// read it with linear interpolation at kChorusDelayMs plus or minus
// kChorusDepthMs, swept by one sine of kChorusRateHz at phases 0, 90, 180 and
// 270 degrees; the left output is the taps at 0 and 90 degrees, the right
// the taps at 180 and 270, so that whenever a copy on one side is pitched up
// its counterpart on the other is pitched down, and the sides differ.
//
// The sweep is a function of the song's frame position (its phase, and the
// 128-frame segments over which each tap's delay moves in a straight line,
// are counted from the song's first frame), so the output does not depend on
// how the song is cut into chunks, and a seek that clears the chorus with
// the new position continues it as playing to that point would. Arithmetic:
// single-precision float for the values, 32-bit fixed point for the read
// positions; nothing allocated after initChorus.
#pragma once
#include <cstdint>
#include <vector>

#include "synth/effect_bus.h"

namespace tz {

constexpr int kChorusTaps = 4;
// The level of `chorus = LEVEL` when the setting is absent: a full send of
// a held note then comes back midway, in dB, between FluidSynth's chorus and
// SpessaSynth's (bench/effects_report.cpp); level 1 is about FluidSynth's.
constexpr float kDefaultChorusLevel = 0.85f;
// Frames over which a tap's delay moves in a straight line.
constexpr int32_t kChorusSegment = 128;
// The sweep: about 12 cents of pitch either way at 0.45 Hz, between
// FluidSynth's chorus (15 cents at 0.29 Hz) and SpessaSynth's (8 cents at
// 0.38 Hz) as the effects report measures them.
constexpr double kChorusDelayMs = 13.0;
constexpr double kChorusDepthMs = 2.4;
constexpr double kChorusRateHz = 0.45;

struct Chorus {
    float level = 0.0f;  // 0: off, nothing allocated
    int32_t rate = 0;
    // The ring holds the bus's left plus right, scaled; its first
    // kChorusMirror values follow its end once more, so that a tap reads
    // both of its values from one place, wrapped or not.
    int32_t ringSize = 0;  // a power of two
    uint32_t position = 0;  // the song's frame, modulo 2^32
    uint32_t phaseStep = 0;  // of the sine per frame, 2^32 a cycle
    // Delays in 1/65536 frames: the centre and the swing either side.
    float centreDelay = 0.0f;
    float depth = 0.0f;
    // Frames since a value other than 0 went into the line; from ringSize on
    // it holds zeros.
    int32_t quietFrames = 0;
    float returnGain = 0.0f;  // mix units per unit of a tap, times the level
    std::vector<float> ring;  // ringSize + kChorusMirror values
    std::vector<float> sine;  // fx::sineTable()
};

// Sets the chorus up for the output rate with a level of 0..1 (clamped; NaN
// is 0), allocating its line, cleared at frame 0. Level 0 leaves it off and
// allocates nothing. False, and the chorus off, for a rate outside
// kMinEffectRate..kMaxEffectRate.
bool initChorus(Chorus& chorus, int32_t rate, float level);
// Silence in the line, the sweep where it stands at the song's frame
// `position`; no allocation. A seek calls it with the new position, and so
// does a song whose playback starts at a frame other than 0 (initChorus
// leaves the chorus at frame 0).
void clearChorus(Chorus& chorus, int64_t position);
inline bool chorusActive(const Chorus& chorus) { return chorus.level > 0.0f; }
// Adds the chorus of `frames` frames of the stereo bus (nullptr: silence)
// into the stereo mix. Does nothing when the chorus is off.
void runChorus(Chorus& chorus, const int64_t* bus, int64_t* mix, int32_t frames);

}  // namespace tz
