// Song assembly: what an open does between the host boundary and the engine.
// It reads the MIDI file into a song, loads the instruments the song's notes
// need from the bank, and starts playback.
#pragma once
#include <memory>

#include "records/midi_song.h"

namespace tz {

class ByteSource;
struct InputStream;
struct DlsCollection;

// Reads the whole MIDI stream into a song playing from `collection`, with
// the instruments its notes need marked in its banks (loadSongInstruments
// loads them). Null when the stream is not a readable MIDI file. The
// collection must outlive the song.
std::unique_ptr<MidiSong> readSong(const SongOptions& options, InputStream* stream,
                                   const DlsCollection* collection);
// Loads the instruments marked in the song's banks, the waves of a
// collection indexed from a file read from `bankFile` (that file as opened
// with the index). False when wave data the collection located could not be
// read (the bank changed on disk) or memory ran out; what did load stays.
bool loadSongInstruments(MidiSong& song, const ByteSource* bankFile = nullptr);
// Both in one: null also where loading the instruments fails.
std::unique_ptr<MidiSong> createSong(const SongOptions& options, InputStream* stream,
                                     const DlsCollection* collection, const ByteSource* bankFile = nullptr);
// Sets a new song's output parameters, buffers and engine settings from the
// options (the part of createSong before the file is read).
void prepareSong(MidiSong& song, const SongOptions& options);
// Songs are owned by unique_ptr; freeSong exists for symmetry with callers
// that hold a raw pointer.
void freeSong(std::unique_ptr<MidiSong>& song);

// Starts a freshly created song: playback at full level, channels at their
// start values, every voice free, the position at the start.
void startSong(MidiSong& song);

}  // namespace tz
