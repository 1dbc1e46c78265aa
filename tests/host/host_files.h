// The files the host test plays: a short song, a file that is not MIDI, and a
// small General-MIDI style bank placed where the plug-in looks for the
// system bank (WORK_DIR/windows/SYSTEM32/drivers/GM.DLS).
#pragma once
#include <string>

namespace tzhost {

inline constexpr const char* kSongName = "song.mid";
inline constexpr const char* kNotMidiName = "not-midi.txt";
// The song: two seconds at 120 beats per minute, division 480.
inline constexpr double kSongSeconds = 2.0;

bool writeTestFiles(const std::string& workDir, std::string& error);

}  // namespace tzhost
