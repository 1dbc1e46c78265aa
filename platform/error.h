// Why something could not be done: one reason per case a user can cause,
// each with a short message. Readers and the song player return a reason;
// the host boundary answers only false or -1, and the tools print the
// message with the file it belongs to.
#pragma once
#include <cstdint>

namespace tz {

enum class Error : uint8_t {
    None = 0,
    // The song file.
    SongUnreadable,      // cannot be opened or read
    SongTooLarge,        // larger than a MIDI file can sensibly be
    NotMidi,             // neither a Standard MIDI File nor an RMI file
    RmiWithoutMidi,      // an RMI file holding no MIDI data
    MidiHeaderShort,     // the header chunk is cut short
    MidiFormatUnknown,   // a format other than 0, 1 or 2
    MidiDivisionZero,    // no ticks per quarter note
    MidiTrackMissing,    // a chunk where a track should be is not one
    MidiTrackTruncated,  // a track runs past the end of the file
    SongTooLong,         // would play for longer than the engine counts
    // The bank.
    NoBank,              // no bank is configured and the system has none
    BankUnreadable,      // the bank file cannot be opened or read
    NotABank,            // RIFF, but neither a DLS bank nor a SoundFont
    BankDamaged,         // a bank whose structure cannot be read
    BankChanged,         // the bank changed on disk since it was indexed
    // Anything.
    OutOfMemory,
};

// A short message, lower case, without the file's name.
constexpr const char* errorMessage(Error error) {
    switch (error) {
        case Error::None: return "no error";
        case Error::SongUnreadable: return "cannot be opened or read";
        case Error::SongTooLarge: return "is too large for a MIDI file";
        case Error::NotMidi: return "is not a MIDI file";
        case Error::RmiWithoutMidi: return "is an RMI file without MIDI data";
        case Error::MidiHeaderShort: return "is a damaged MIDI file: its header is cut short";
        case Error::MidiFormatUnknown: return "is a MIDI file of an unknown format (not 0, 1 or 2)";
        case Error::MidiDivisionZero: return "is a damaged MIDI file: its time division is 0";
        case Error::MidiTrackMissing: return "is a damaged MIDI file: a track chunk is missing";
        case Error::MidiTrackTruncated: return "is a damaged MIDI file: a track runs past the end of the file";
        case Error::SongTooLong: return "is too long: it would play for more than 13 hours";
        case Error::NoBank: return "no General-MIDI bank: none is configured and the system has none";
        case Error::BankUnreadable: return "cannot be opened or read";
        case Error::NotABank: return "is not a DLS bank or SoundFont";
        case Error::BankDamaged: return "is a damaged bank";
        case Error::BankChanged: return "changed on disk while it was in use";
        case Error::OutOfMemory: return "out of memory";
    }
    return "unknown error";
}

// Which file a reason is about.
constexpr bool isSongError(Error error) {
    return error >= Error::SongUnreadable && error <= Error::SongTooLong;
}
constexpr bool isBankError(Error error) { return error >= Error::BankUnreadable && error <= Error::BankChanged; }

}  // namespace tz
