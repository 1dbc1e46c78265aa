// Reverb for the standard sound: a feedback delay network of eight lines
// with a turning mix, fed through four series all-pass diffusers, on the
// reverb send bus, at half the output rate.
//
// The bus and the mix are described in effect_bus.h; the mix is stereo.
//
// The design. The network runs at half the output rate (22050 Hz at
// 44.1 kHz, as hardware reverbs long have; its tail holds little above
// 8 kHz anyway): each pair of frames of the bus, left plus right, makes one
// input frame, and each output frame pair is the network's previous output
// and the mean of it and the current one. The input goes through four
// Schroeder all-passes (the input diffusers of Dattorro's plate) into each of
// eight delay lines of 42 to 98 ms, mutually prime; each line's output is
// damped by a three-tap low-pass and scaled for the decay time; two pairs of
// the outputs are turned by rotations turning a few times a second (a
// time-varying feedback matrix, which keeps the modes from ringing), and all
// are mixed by an 8x8 Hadamard matrix, scaled to be orthonormal, back into
// the lines. Two rows of that mix are the left and right outputs, which are
// uncorrelated. The damping of each line is proportional to its length, so
// that all decay alike: highs die away faster than lows, as in a room.
//
// Everything that moves (the pairing of frames, the steps of the loops, the
// rotations) is counted from the song's first frame, so the output does not
// depend on how the song is cut into chunks, and a seek that clears the
// reverb with the new position continues as playing to that point would
// once the tail of what came before has passed.
//
// Arithmetic: single-precision float within a frame, and 32-bit integers in
// the delay lines (truncated toward zero, saturated at +-2^27 units of 2^8
// mix units), so that a tail decays to exact zeros instead of lingering in
// denormals, and every build and SIMD path gives the same bits. Nothing is
// allocated after initReverb.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "synth/effect_bus.h"

namespace tz {

constexpr int kReverbLines = 8;
constexpr int kReverbDiffusers = 4;
constexpr int kReverbRotations = 2;
// The level of `reverb = LEVEL` when the setting is absent: a full send of
// a click then comes back midway, in dB, between FluidSynth's reverb and
// SpessaSynth's (bench/effects_report.cpp); level 1 is about SpessaSynth's.
constexpr float kDefaultReverbLevel = 0.75f;
// Network frames per step of the loops, at most.
constexpr int32_t kReverbMaxBlock = 64;
// Values after each ring that repeat its first ones.
constexpr int32_t kReverbMirror = kReverbMaxBlock + 2;

// A delay line or diffuser: a ring of `size` values (a power of two, and a
// whole number of steps) within Reverb::memory, followed by a copy of its
// first kReverbMirror values, so that a step reads any run it needs from one
// place, wrapped or not. Network frame m goes to index m modulo size.
struct ReverbDelay {
    int32_t start = 0;  // index of the ring's first value in memory
    int32_t delay = 0;  // network frames
    int32_t size = 0;
};

struct Reverb {
    float level = 0.0f;  // 0: off, nothing allocated
    int32_t rate = 0;    // the output's; the network runs at half of it
    // Network frames per step: a power of two below the shortest delay, so
    // that a step reads only what earlier steps wrote. Steps start at
    // multiples of it.
    int32_t block = 0;
    uint32_t position = 0;  // the song's output frame, modulo 2^32
    // An odd position: the first frame of the pair being made, left plus
    // right (wrapping, like the wide loads).
    int64_t pendingSum = 0;
    // The network's last output, in mix units: the next frame pair starts
    // with it.
    float lastLeft = 0.0f, lastRight = 0.0f;
    // Network frames since a value other than 0 was written into a ring;
    // from the longest ring's size on, every ring holds zeros.
    int32_t quietFrames = 0;
    int32_t longestRing = 0;
    // Output of a mixing row, in mix units: the level times the return gain.
    float returnGain = 0.0f;
    std::array<ReverbDelay, kReverbLines> lines{};
    // Per line, the decay gain times the damping taps, over sqrt(8): the
    // outer taps (one frame either side of the delay) and the centre one.
    std::array<float, kReverbLines> outerTap{};
    std::array<float, kReverbLines> centreTap{};
    std::array<ReverbDelay, kReverbDiffusers> diffusers{};
    std::array<float, kReverbDiffusers> diffuserGain{};
    // Per rotation, its angle's advance per network frame (2^32 a turn).
    std::array<uint32_t, kReverbRotations> rotationStep{};
    // The rotations' cosines and sines at the start of the block
    // `turnBlock` (in network frames) and of the next, when known.
    bool turnKnown = false;
    uint32_t turnBlock = 0;
    std::array<float, 4 * kReverbRotations> turn{};
    std::vector<int32_t> memory;
    std::vector<float> sine;  // fx::sineTable()
    // One step's input, and its output with the previous output first.
    std::vector<float> input, left, right;
};

// Sets the reverb up for the output rate with a level of 0..1 (clamped; NaN
// is 0), allocating its delay lines, cleared at frame 0. Level 0 leaves it
// off and allocates nothing. False, and the reverb off, for a rate outside
// kMinEffectRate..kMaxEffectRate.
bool initReverb(Reverb& reverb, int32_t rate, float level);
// Silence in every line, at the song's output frame `position`: as a fresh
// record that has played that far in silence. No allocation. A seek calls
// it with the new position, and so does a song whose playback starts at a
// frame other than 0 (initReverb leaves the reverb at frame 0).
void clearReverb(Reverb& reverb, int64_t position);
inline bool reverbActive(const Reverb& reverb) { return reverb.level > 0.0f; }
// Adds the reverb of `frames` frames of the stereo bus (nullptr: silence)
// into the stereo mix. Does nothing when the reverb is off.
void runReverb(Reverb& reverb, const int64_t* bus, int64_t* mix, int32_t frames);

}  // namespace tz
