// What a listener wants to know about a MIDI file besides its sound: the
// title and copyright it carries, and how many tracks and notes it holds.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "midi/smf_reader.h"

namespace tz {

struct SongFacts {
    bool readable = false;  // false: not a MIDI file the engine reads
    std::string title;      // the first track's sequence name
    std::string copyright;  // the first track's copyright notices, joined
    int32_t tracks = 0;     // tracks the engine plays
    uint64_t notes = 0;     // note-on events with a velocity
};

// The facts of a file whose sorted event list the reader has made.
SongFacts songFacts(std::span<const uint8_t> file, const std::vector<TrackEvent>& trackEvents);
SongFacts readSongFacts(std::span<const uint8_t> file);
// Reads the file (UTF-8 path) first; unreadable when it cannot.
SongFacts readSongFacts(const std::string& path);

}  // namespace tz
