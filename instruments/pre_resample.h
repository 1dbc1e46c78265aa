// Conversion of fixed-note samples to the output rate at load time, so that
// they are later played value by value.
#pragma once

namespace tz {

struct MidiSong;
struct Sample;

// Converts a fixed-note, non-looping sample to the song's output rate (cubic
// interpolation) and marks it as such (sampleRate 0). Leaves samples too
// short or too long to convert as they are.
void preResampleSample(MidiSong& song, Sample& sample);

}  // namespace tz
