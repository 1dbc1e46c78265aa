// Song assembly: the steps of an open between the song player and the
// layers below. It reads the MIDI file into a song, loads the instruments
// the song's notes need from the bank and the patches, and starts playback.
#pragma once
#include <memory>
#include <span>

#include "records/midi_song.h"

namespace tz {

class ByteSource;
struct InstrumentConfiguration;
struct SongFacts;
enum class Error : uint8_t;

// Reads a MIDI file held in memory into a song with a bank for every
// template of `configuration`, the instruments its notes need marked in
// them (loadSongInstruments loads them). Null, with the reason in `why`,
// when the data are not a readable MIDI file. Fills `facts` when given.
std::unique_ptr<MidiSong> readSong(const SongOptions& options, std::span<const uint8_t> file,
                                   std::shared_ptr<const InstrumentConfiguration> configuration,
                                   Error* why = nullptr, SongFacts* facts = nullptr);
// Loads the instruments marked in the song's banks: from its DLS collection
// (its waves read from `bankFile`, that file as opened with the index, for a
// collection indexed from a file), else from the patches its configuration
// names. False when wave data the collection located could not be read (the
// bank changed on disk) or memory ran out; what did load stays.
bool loadSongInstruments(MidiSong& song, const ByteSource* bankFile = nullptr);
// Sets a new song's output parameters, buffers and engine settings from the
// options (the part of reading a song before the file is read).
void prepareSong(MidiSong& song, const SongOptions& options);

// Starts a freshly read song: playback at full level, channels at their
// start values, every voice free, the position at the start.
void startSong(MidiSong& song);

}  // namespace tz
