// What a listener wants to know about a MIDI file besides its sound: the
// title and copyright it carries, and how many tracks and notes it holds.
#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace tz {

struct SongFacts {
    bool readable = false;  // false: not a MIDI file the engine reads
    std::string title;      // the first track's sequence name
    std::string copyright;  // the first track's copyright notices, joined
    int32_t tracks = 0;     // tracks the engine plays
    uint64_t notes = 0;     // note-on events with a velocity
};

SongFacts readSongFacts(std::span<const uint8_t> file);
// Reads the file (UTF-8 path) first; unreadable when it cannot.
SongFacts readSongFacts(const std::string& path);

// A text from a file made fit for a terminal: kept as UTF-8 when it is,
// read as Latin-1 otherwise, control characters (escape sequences included)
// turned into spaces, runs of spaces folded, cut to `limit` characters.
std::string printableText(std::string_view raw, size_t limit = 200);

}  // namespace tz
