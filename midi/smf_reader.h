// Standard MIDI File reader: turns a MIDI file (formats 0, 1 and 2, bare or
// wrapped in an RMID RIFF form) into one list of tick-stamped events sorted by
// time, then hands it to event-list building.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "records/midi_song.h"

namespace tz {

struct InputStream;
struct MidiSong;
enum class Error : uint8_t;

// One event of the time-sorted list. Ticks are counted in 64 bits so that no
// file can make them wrap.
struct TrackEvent {
    int64_t time = 0;  // absolute time in ticks
    uint8_t channel = 0;
    EventOpcode opcode = EventOpcode::None;
    uint8_t a = 0;
    uint8_t b = 0;
    uint32_t tempo = 0;  // Tempo events: microseconds per quarter note (24 bits)
};
// The tempo lies in what was padding: the list keeps 16 bytes an event.
static_assert(sizeof(TrackEvent) <= 16);

// Everything the reader keeps while one file is read. Running status and the
// registered-parameter memory start from zero with every file and carry
// across the tracks of that file.
struct SmfReaderState {
    // The time-sorted list; element 0 is the head event (tick 0, None).
    std::vector<TrackEvent> trackEvents;
    int64_t trackTime = 0;  // ticks reached in the track being read
    uint8_t runningStatusType = 0;
    uint8_t runningStatusChannel = 0;
    // The parameter number each channel selected last. Registered (RPN,
    // controllers 101/100) and non-registered (NRPN, 99/98) selections
    // write the same two bytes, NRPN crosswise: controller 98, the NRPN's
    // low byte, lands in rpnMsb and 99 in rpnLsb. Data entry only reads
    // them while nrpnSelected (one flag for all channels) is 0, i.e. an
    // RPN selection came last, so the crossing matters only where an RPN
    // selection sets one byte after an NRPN selection set the other.
    std::array<uint8_t, 16> rpnMsb{};
    std::array<uint8_t, 16> rpnLsb{};
    uint8_t nrpnSelected = 0;
    // Also keep what only the standard sound plays: the modulation wheel,
    // the reverb and chorus sends, channel pressure and system resets.
    bool standardEvents = false;
};

// Largest MIDI file (or RMID file) accepted from a stream.
constexpr size_t kMaxMidiFileBytes = size_t(64) << 20;

// The Standard MIDI File inside `file`: the file itself, or for an RMID
// RIFF form the contents of its first top-level "data" chunk (cut to the
// form). Empty for any other RIFF form or an RMID form without data.
std::span<const uint8_t> midiFileData(std::span<const uint8_t> file);

// Reads the sorted event list of a MIDI file held in memory. Text meta events
// of types 1 and 2 are stored in the song's texts. On success returns
// Error::None and leaves the division (ticks per quarter note, > 0) in
// `division`; otherwise the reason the file cannot be read.
Error readTrackEventList(std::span<const uint8_t> file, MidiSong& song, SmfReaderState& state,
                        int32_t& division);

// Reads the whole stream as a MIDI file and builds the song's event array
// (and the marks of the instruments its notes need). Returns false when the
// data are not a readable MIDI file, with the reason in `why`; the song's
// events are then empty.
bool readMidiFile(MidiSong& song, InputStream* stream, Error* why = nullptr);
bool readMidiFile(MidiSong& song, std::span<const uint8_t> file, Error* why = nullptr);

}  // namespace tz
