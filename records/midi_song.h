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

class InstrumentBank;
struct InstrumentConfiguration;

// The output sample format: a code with the bits per sample in its low byte,
// kSigned for signed samples and kBigEndian for the high byte first, and the
// channel count (1 is mono, any other count stereo). The code chooses the
// output conversion as a whole; a code it does not know gets unsigned 16-bit.
struct SampleFormat {
    static constexpr uint16_t kBits = 0x00FF;
    static constexpr uint16_t kBigEndian = 0x1000;
    static constexpr uint16_t kSigned = 0x8000;
    // What the host is given: signed 16-bit, low byte first.
    static constexpr uint16_t kSigned16 = kSigned | 16;

    uint16_t code = kSigned16;
    uint8_t channels = 2;

    constexpr int32_t bits() const { return code & kBits; }
    constexpr bool isSigned() const { return (code & kSigned) != 0; }
    constexpr bool bigEndian() const { return (code & kBigEndian) != 0; }
    constexpr bool mono() const { return channels == 1; }
};

struct SongOptions {
    int32_t rate = 44100;
    SampleFormat format;
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

constexpr int kMaxVoices = 48;

// Converts `count` mixed values (interleaved when stereo) to output samples.
// The mix buffer holds the exact sum of the voices in 64 bits, so any number
// of loud voices clips in the conversion instead of wrapping.
using ConvertOutputFn = void (*)(void* destination, const int64_t* mix, int32_t count);

struct MidiSong {
    int32_t playing = 0;
    int32_t outputRate = 0;
    SampleFormat format;
    int32_t bytesPerFrame = 0;
    float masterVolume = 0.0f;
    int32_t amplification = 0;
    // The bank the song's instruments come from first (a DLS collection or a
    // SoundFont), shared with the other songs on it. Null: patches only.
    std::shared_ptr<const InstrumentBank> bank;
    // The patch search path and the templates whose entries the banks share;
    // held for as long as the banks point into it.
    std::shared_ptr<const InstrumentConfiguration> configuration;
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
    Channel channels[16] = {};
    Voice voices[kMaxVoices] = {};
    int32_t voiceCount = 0;
    uint32_t drumChannelMask = 0;
    int32_t controlRatio = 0;
    int32_t lostNoteCount = 0;
    int32_t stolenNoteCount = 0;
    std::vector<MidiEvent> events;  // leading None ... EndOfSong, whose time is the song's length
    size_t currentEvent = 0;        // index of the next event to dispatch
    int32_t currentTime = 0;
    std::array<std::string, 2> texts;  // 0: last text meta (type 1), 1: last copyright (type 2)
};

// Channels whose notes play drum kits (channels 10 and 16 by default).
inline bool isDrumChannel(const MidiSong& song, int channel) {
    return ((song.drumChannelMask >> channel) & 1u) != 0;
}

}  // namespace tz
