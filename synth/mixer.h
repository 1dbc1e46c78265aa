// Voice mixing: gains from the amplitudes, tremolo and envelope, and the
// routines that add a voice's frames into the sums of its group.
#pragma once
#include <cstdint>
#include <span>

namespace tz {

struct MidiSong;
struct Voice;

// Voices whose frames are summed in 32 bits before the sums join the 64-bit
// mix buffer: as many as can never pass the 32-bit range.
constexpr int kVoicesPerGroup = 8;

// What mixing a voice takes from its song: the buffer its frames are
// resampled into, the output rate its vibrato steps are formed for, the
// frames of a control block and the layout of the sums.
struct MixContext {
    std::span<int16_t> resampleBuffer;
    int32_t outputRate = 0;
    int32_t controlRatio = 0;
    bool mono = false;
};
// The song's context for mixing its voices.
MixContext mixContext(MidiSong& song);

// Adds the voice's next frameCount frames into the 32-bit sums of its group
// (interleaved stereo, or mono), starting at its first frame.
void mixVoice(Voice& voice, const MixContext& context, int32_t* mix, int32_t frameCount);
// Adds count 32-bit group sums into the 64-bit mix buffer, or stores them
// there when first, and leaves the group sums at 0.
void addGroupToMix(int64_t* mix, int32_t* group, int32_t count, bool first);
// Sets the voice's gains from its amplitudes, tremolo factor and envelope
// level, as the mixer does at the start of every control block.
void updateGains(Voice& voice);

// Adds n frames times the gains into the sums: mono (left gain alone) or
// interleaved stereo, with the loops of the SIMD path in use.
void addFrames(int32_t* mix, const int16_t* in, int32_t n, int32_t left, int32_t right, bool mono);
// The integer gain of a linear amplitude (4096 for 1.0), bounded to what the
// loops take.
int32_t gainOfAmplitude(float amplitude);

}  // namespace tz
