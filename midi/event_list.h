// Event-list building: turns the time-sorted tick list into the song's
// playback events stamped in output samples.
#pragma once
#include <cstdint>
#include <vector>

#include "midi/smf_reader.h"

namespace tz {

struct MidiSong;

// Microseconds per quarter note until the first tempo event.
constexpr uint32_t kDefaultTempo = 500000;

// Songs must end before this many output samples.
constexpr int64_t kMaxSongSamples = int64_t(1) << 31;

// Output samples per tick as 16.16 fixed point, truncated:
// rate x tempo x 0.065536 / division, in double precision.
int64_t tickLength(int32_t rate, uint32_t tempo, int32_t division);

// Converts `list` (head event first, sorted by tick) into song.events ending
// with EndOfSong, at the song's length, and marks the instruments notes will
// need. Time runs from the first NoteOn on. Returns false (events left empty) when the
// division or output rate is not positive or the song would end at or beyond
// kMaxSongSamples.
bool buildEventList(MidiSong& song, const std::vector<TrackEvent>& list, int32_t division);

}  // namespace tz
