// What a voice of the standard sound carries beyond the classic voice: its
// two envelopes and two LFOs, the parts of its pitch, level, pan, filter and
// sends that hold still while it sounds, how far the moving sources reach
// into them, and its filter. Stepped once per control block; the per-frame
// loops see only the step, the gains and the filter's coefficients.
#pragma once
#include <cstdint>

namespace tz {

enum class EnvelopeStage : uint8_t { Delay, Attack, Hold, Decay, Sustain, Release, Done };

// One DLS envelope, in control blocks. The volume envelope's value is an
// amplitude 0..1 during the attack and an attenuation in dB (0..96) from the
// hold on; the modulation envelope's is 0..1 throughout.
struct EnvelopeState {
    EnvelopeStage stage = EnvelopeStage::Done;
    int32_t blocksLeft = 0;    // of the delay or the hold
    double value = 0.0;
    double attackStep = 0.0;   // per block
    double decayStep = 0.0;    // per block: dB (volume) or level (modulation)
    double releaseStep = 0.0;
    double sustain = 0.0;      // dB (volume) or level (modulation)
    int32_t hold = 0;          // blocks of the hold
};

// A triangle LFO: silent for its delay, then from 0 up to 1, down to -1 and
// back, a cycle per period.
struct LfoState {
    int32_t delayBlocks = 0;
    double phase = 0.0;      // cycles, 0..1
    double phaseStep = 0.0;  // per block
};

// A two-pole low-pass in 32-bit fixed point: coefficients with
// kFilterFractionBits (b1 = 2 b0 and b2 = b0, as for any low-pass of this
// form), the last inputs and outputs with kFilterStateBits below the sample.
constexpr int kFilterFractionBits = 28;
constexpr int kFilterStateBits = 8;
struct FilterState {
    int32_t b0 = 0, a1 = 0, a2 = 0;
    int32_t x1 = 0, x2 = 0, y1 = 0, y2 = 0;
};

struct StandardVoice {
    bool active = false;  // the voice plays as the standard sound
    EnvelopeState volume;
    EnvelopeState modulation;
    LfoState modLfo;
    LfoState vibLfo;
    // The destinations' still parts (key, velocity, the channel's
    // controllers, the region): pitch in cents against the wave's unity
    // note, attenuation in dB, pan -0.5..0.5, cutoff in absolute cents, Q
    // and the sends.
    double pitchCents = 0.0;
    double attenuationDb = 0.0;
    double pan = 0.0;
    double cutoffCents = 0.0;
    double resonanceDb = 0.0;
    double reverbSend = 0.0;  // 0..1
    double chorusSend = 0.0;
    // How far the moving sources reach: cents, dB or cents at full swing.
    double modLfoToPitch = 0.0;
    double modLfoToGainDb = 0.0;
    double modLfoToCutoff = 0.0;
    double vibLfoToPitch = 0.0;
    double modEnvToPitch = 0.0;
    double modEnvToCutoff = 0.0;
    double stepFactor = 0.0;  // the resampling step, 12 fraction bits, at 0 cents
    double panLeft = 0.0;     // constant-power pan factors
    double panRight = 0.0;
    double amplitude = 0.0;   // the linear level of the last control block
    bool gainsKnown = false;  // the gains below are those of this attenuation and amplitude
    double gainsAttenuation = 0.0;
    double gainsAmplitude = 0.0;
    // The voice's gains into the reverb and chorus sums, left and right.
    int32_t reverbLeft = 0, reverbRight = 0;
    int32_t chorusLeft = 0, chorusRight = 0;
    bool pitchMoves = false;     // an LFO or the modulation envelope reaches the pitch
    bool filtered = false;       // the filter is closed enough to run
    bool filterMoves = false;    // an LFO or the modulation envelope reaches the cutoff
    int32_t filterIndex = -1;    // the cutoff step the coefficients were made for
    double filterResonanceDb = -1.0;  // the resonance the next two were made for
    double filterAlphaScale = 0.0;
    double filterGain = 0.0;
    FilterState filter;
    int64_t startTime = 0;       // the song frame the note began at, for stealing the oldest
    uint16_t keyGroup = 0;
};

}  // namespace tz
