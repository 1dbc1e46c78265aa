// The per-song records the engine works on: the song's data (output,
// settings, banks, events), apart from what playing changes (position,
// channels, voices) and from the render loop's work memory.
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
struct Reverb;
struct Chorus;

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

// The two sounds: the classic engine, and the standard one, which plays a
// bank as the DLS and General-MIDI standards define it.
enum class SoundProfile : uint8_t { Classic, Standard };

// What the engine does beyond the output format, chosen per song at open.
struct EngineSettings {
    SoundProfile sound = SoundProfile::Classic;
    int32_t voices = 0;       // voice slots; 0: the sound's own (32 classic, 64 standard)
    int32_t tailFrames = 0;   // the standard sound rings on this long after the last event
    float reverb = 0.0f;      // the standard sound's effects, 0 (off) to 1
    float chorus = 0.0f;
};

struct SongOptions {
    int32_t rate = 44100;
    SampleFormat format;
    uint16_t bufferFrames = 1024;
    EngineSettings engine;
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
    // Read for the standard sound alone; the classic sound ignores them.
    ModulationWheel = 16,  // controller 1
    ReverbSend = 17,       // controller 91
    ChorusSend = 18,       // controller 93
    ChannelPressure = 19,
    SystemReset = 20,  // a General-MIDI, GS or XG reset: every channel
    EndOfSong = 99,
};

struct MidiEvent {
    int32_t time = 0;  // output samples from the start of the song
    uint8_t channel = 0;
    EventOpcode opcode = EventOpcode::None;
    uint8_t a = 0;
    uint8_t b = 0;
};

// Voice slots a song has: 48 as the classic engine was built, and room for
// the standard sound's 256.
constexpr int kMaxVoices = 256;
constexpr int kClassicVoices = 32;
constexpr int kStandardVoices = 64;

// Converts `count` mixed values (interleaved when stereo) to output samples.
// The mix buffer holds the exact sum of the voices in 64 bits, so any number
// of loud voices clips in the conversion instead of wrapping.
using ConvertOutputFn = void (*)(void* destination, const int64_t* mix, int32_t count);

// What reading a song and loading its instruments make of it: the output
// it renders, the engine's settings for it, its banks and instruments, its
// events and texts. Playing never changes it.
struct SongData {
    int32_t outputRate = 0;
    SampleFormat format;
    int32_t bytesPerFrame = 0;
    ConvertOutputFn convertOutput = nullptr;
    int32_t bufferFrames = 0;  // frames per mix chunk
    int32_t controlRatio = 0;  // output frames per control block
    int32_t voiceCount = 0;    // voice slots in use, at most kMaxVoices
    uint32_t drumChannelMask = 0;
    EngineSettings engine;
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
    std::vector<MidiEvent> events;  // leading None ... EndOfSong, whose time is the song's length
    std::array<std::string, 2> texts;  // 0: last text meta (type 1), 1: last copyright (type 2)
};

// What playing changes: the position, the channels' controllers, the
// voices, the level. Starting, seeking and resetting set this, and only
// this.
struct PlaybackState {
    int32_t playing = 0;
    int32_t currentTime = 0;  // output frames from the start
    size_t currentEvent = 0;  // index of the next event to dispatch
    float masterVolume = 0.0f;
    int32_t amplification = 0;
    Channel channels[16] = {};
    Voice voices[kMaxVoices] = {};
    int32_t lostNoteCount = 0;
    int32_t stolenNoteCount = 0;
    int32_t stolenAudibleCount = 0;  // voices stolen while louder than -40 dB
    // The standard sound's effects, made at creation when they are on; their
    // delay lines are what playing changes.
    std::shared_ptr<Reverb> reverb;
    std::shared_ptr<Chorus> chorus;
};

// The render loop's work memory, sized at creation; what it holds between
// two chunks means nothing (the group sums are 0 then).
struct MixBuffers {
    std::vector<int16_t> resampleBuffer;  // bufferFrames values
    std::vector<int64_t> mixBuffer;       // 2 x bufferFrames values
    // 2 x bufferFrames values: the 32-bit sums of a group of voices on their
    // way into mixBuffer.
    std::vector<int32_t> groupMix;
    // The standard sound's: the filtered frames of a voice (bufferFrames
    // values), and the reverb's and chorus's sends, a group's 32-bit sums and
    // the chunk's 64-bit bus (2 x bufferFrames values each).
    std::vector<int16_t> filterBuffer;
    std::vector<int32_t> reverbGroup, chorusGroup;
    std::vector<int64_t> reverbBus, chorusBus;
};

// The per-song record every part of the engine works on.
struct MidiSong : SongData, PlaybackState, MixBuffers {};

// Channels whose notes play drum kits (channels 10 and 16 by default).
inline bool isDrumChannel(const SongData& song, int channel) {
    return ((song.drumChannelMask >> channel) & 1u) != 0;
}

}  // namespace tz
