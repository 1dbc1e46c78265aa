// The per-song record every part of the engine works on: output parameters,
// banks, channels, voices and the playback events.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "records/channel_voice.h"
#include "records/instrument.h"

namespace tz {

struct DlsCollection;

// Sample format codes: bits per sample in the low byte, kFormatCodeSigned
// for signed samples, kFormatCodeBigEndian for the high byte first.
constexpr uint16_t kFormatCodeBits = 0x00FF;
constexpr uint16_t kFormatCodeBigEndian = 0x1000;
constexpr uint16_t kFormatCodeSigned = 0x8000;
// What the host is given: signed 16-bit, low byte first.
constexpr uint16_t kFormatSigned16 = kFormatCodeSigned | 16;

struct SongOptions {
    int32_t rate = 44100;
    uint16_t format = kFormatSigned16;
    uint8_t channels = 2;
    uint16_t bufferFrames = 1024;
};

enum class EventOpcode : uint8_t {
    None = 0,
    NoteOn = 1,
    NoteOff = 2,
    KeyPressure = 3,
    ChannelVolume = 4,
    Panning = 5,
    SustainPedal = 6,
    Expression = 7,
    PitchBend = 8,
    ProgramChange = 9,
    Tempo = 10,
    BendRange = 11,
    AllSoundsOff = 12,
    ResetControllers = 13,
    AllNotesOff = 14,
    BankSelect = 15,
    EndOfSong = 99,
};

struct MidiEvent {
    int32_t time = 0;  // output samples from the start of the song
    uint8_t channel = 0;
    EventOpcode opcode = EventOpcode::None;
    uint8_t a = 0;
    uint8_t b = 0;
};

// formatFlags bits
constexpr int32_t kFormatMono = 1;
constexpr int32_t kFormatSigned = 2;
constexpr int32_t kFormat16Bit = 4;

constexpr int kMaxVoices = 48;

// Converts `count` mixed values (interleaved when stereo) to output samples.
// The mix buffer holds the exact sum of the voices in 64 bits, so any number
// of loud voices clips in the conversion instead of wrapping.
using ConvertOutputFn = void (*)(void* destination, const int64_t* mix, int32_t count);

struct MidiSong {
    int32_t playing = 0;
    int32_t outputRate = 0;
    int32_t formatFlags = 0;
    int32_t bytesPerFrame = 0;
    float masterVolume = 0.0f;
    int32_t amplification = 0;
    const DlsCollection* dlsCollection = nullptr;  // not owned
    std::array<std::unique_ptr<ToneBank>, 128> melodicBanks;
    std::array<std::unique_ptr<ToneBank>, 128> drumSets;
    std::unique_ptr<Instrument> defaultInstrument;
    int32_t defaultProgram = 0;
    ConvertOutputFn convertOutput = nullptr;
    int32_t bufferFrames = 0;
    std::vector<int16_t> resampleBuffer;  // bufferFrames values
    std::vector<int64_t> mixBuffer;       // 2 x bufferFrames values
    // 2 x bufferFrames values: the 32-bit sums of a group of voices on their
    // way into mixBuffer; all 0 between chunks.
    std::vector<int32_t> groupMix;
    int32_t samplesPerTick = 0;
    int32_t samplesPerTickFraction = 0;
    Channel channels[16] = {};
    Voice voices[kMaxVoices] = {};
    int32_t voiceCount = 0;
    uint32_t drumChannelMask = 0;
    int32_t controlRatio = 0;
    int32_t lostNoteCount = 0;
    int32_t stolenNoteCount = 0;
    int32_t lengthSamples = 0;
    std::vector<MidiEvent> events;  // leading None ... EndOfSong
    size_t currentEvent = 0;        // index of the next event to dispatch
    int32_t currentTime = 0;
    std::array<std::string, 8> texts;  // 0: last text meta (type 1), 1: last copyright (type 2)
};

// Channels whose notes play drum kits (channels 10 and 16 by default).
inline bool isDrumChannel(const MidiSong& song, int channel) {
    return ((song.drumChannelMask >> channel) & 1u) != 0;
}

}  // namespace tz
