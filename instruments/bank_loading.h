// Loading the instruments a song's events marked.
#pragma once
#include <cstdint>

namespace tz {

struct MidiSong;

// Loads every slot marked NeedsLoading; returns the number of marked slots
// left without an instrument.
int32_t loadMarkedInstruments(MidiSong& song);

}  // namespace tz
