// An independent reading of a Standard MIDI File's timing, written for the
// tests from the file format alone: where the notes sound and how long the
// song lasts, in seconds, through the merged tempo map.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tz::test {

struct NoteSpan {
    double on = 0.0;   // seconds from the first note
    double off = 0.0;  // when the key is released (the song's end if never)
    int channel = 0;
    int note = 0;
};

struct SongTiming {
    bool ok = false;
    // From the first note-on to the last event the player keeps (channel
    // messages it plays and tempo changes), in seconds.
    double lengthSeconds = 0.0;
    std::vector<NoteSpan> notes;
};

// Formats 0 and 1 (tracks merged by time).
SongTiming readSongTiming(const std::vector<uint8_t>& file);
SongTiming readSongTiming(const std::string& path);

}  // namespace tz::test
