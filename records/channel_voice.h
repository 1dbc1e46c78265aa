// Playback state records: per-MIDI-channel controller state and voice slots.
#pragma once
#include <cstdint>

#include "records/standard_voice.h"

namespace tz {

struct Sample;

struct Channel {
    int32_t bank = 0;
    int32_t program = 0;
    int32_t volume = 0;
    int32_t sustain = 0;
    int32_t panning = 0;
    int32_t pitchBend = 0;
    int32_t expression = 0;
    int32_t bendRange = 0;
    float bendFactor = 0.0f;
    // Controllers only the standard sound plays.
    int32_t modulation = 0;   // controller 1
    int32_t reverbSend = 40;  // controller 91
    int32_t chorusSend = 0;   // controller 93
    int32_t pressure = 0;     // channel pressure
};

enum class VoiceState : uint8_t { Free = 0, Playing = 1, Sustained = 2, Releasing = 3, Dying = 4 };

enum class PanMode : int32_t { Panned = 0, LeftOnly = 1, RightOnly = 2, Centre = 3 };

struct Voice {
    VoiceState state = VoiceState::Free;
    uint8_t channel = 0;
    uint8_t note = 0;
    uint8_t velocity = 0;
    const Sample* sample = nullptr;
    int32_t baseFrequency = 0;
    int32_t frequency = 0;
    int32_t position = 0;
    int32_t step = 0;
    int32_t envLevel = 0;
    int32_t envTarget = 0;
    int32_t envStep = 0;
    int32_t tremoloSweepStep = 0;
    int32_t tremoloSweepLevel = 0;
    int32_t tremoloPhase = 0;
    int32_t tremoloPhaseStep = 0;
    int32_t vibratoSweepStep = 0;
    int32_t vibratoSweepLevel = 0;
    int32_t leftGain = 0;
    int32_t rightGain = 0;
    float leftScale = 0.0f;
    float rightScale = 0.0f;
    float tremoloFactor = 0.0f;
    int32_t vibratoStepCache[32] = {};
    int32_t vibratoPhase = 0;
    int32_t vibratoPeriod = 0;
    int32_t vibratoCountdown = 0;
    int32_t envStage = 0;
    int32_t blockCountdown = 0;
    int32_t pan = 0;
    PanMode panMode = PanMode::Panned;
    StandardVoice standard;
};

}  // namespace tz
