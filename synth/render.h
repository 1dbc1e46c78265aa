// The engine's clock: playback start, block rendering and seeking.
#pragma once
#include <cstdint>

namespace tz {

struct MidiSong;
struct PlaybackState;
struct SongData;

constexpr int32_t kBlockBytes = 4096;

// Full level for the song (master volume 1.0, amplification 100) and
// re-levels any sounding voice.
void startPlayback(MidiSong& song);
// Writes the next block (at most 4096 bytes) into out; returns the bytes
// written, fewer in the block where the song ends, 0 once it has ended.
int32_t renderBlock(MidiSong& song, uint8_t* out);
// Moves the play position to the given time; the song's playing flag is
// left as it is.
void seekPlayback(MidiSong& song, uint32_t milliseconds);
// Channels to their start values, every voice slot Free; nothing of the
// song's data changes.
void resetPlaybackState(PlaybackState& state, const SongData& song);

}  // namespace tz
