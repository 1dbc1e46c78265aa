// Settings: what a listener may choose (the bank, the patches, ...), one
// field with one default per key, read from a small UTF-8 file of
// `key = value` lines with `#` comments:
//
//   # tz_midi.ini
//   bank = %USERPROFILE%\Music\Banks\FluidR3_GM.sf2
//   patches = /etc/freepats.cfg
//
// A line that cannot be used (unknown key, bad value, unreadable path) is
// reported and leaves its key at the default; nothing in a settings file can
// stop a song from playing. No file, or a file that sets nothing, means the
// defaults: exactly the plug-in's behaviour without settings.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "records/midi_song.h"

namespace tz {

// Defaults of the standard sound.
constexpr double kDefaultTailSeconds = 1.0;
constexpr double kMaxTailSeconds = 5.0;
constexpr int32_t kMinVoices = 16;
constexpr int32_t kMaxVoiceSetting = 256;

struct Settings {
    // The bank (a SoundFont or a DLS bank) to play from instead of the
    // system's; empty: the system's. Absolute, with environment references
    // expanded.
    std::u16string bank;
    // A patch configuration naming GUS patches for banks and drum sets;
    // empty: none.
    std::u16string patches;
    SoundProfile sound = SoundProfile::Classic;
    // Voices that sound at once; 0: the sound's own (32 classic, 64
    // standard).
    int32_t voices = 0;
    // The standard sound lets notes ring this long after the song's last
    // event; the classic sound ends there.
    double tail = kDefaultTailSeconds;
    // The standard sound's reverb and chorus, 0 (off) to 1; negative: the
    // default level.
    double reverb = -1.0;
    double chorus = -1.0;
};

enum class SettingKey : uint8_t { Bank, Patches, Sound, Voices, Tail, Reverb, Chorus };
constexpr int kSettingKeyCount = 7;

// The key's name as written in a file, and its value as a setting shows it.
const char* settingName(SettingKey key);
std::string settingValue(const Settings& settings, SettingKey key);

struct SettingsProblem {
    int32_t line = 0;  // 1-based; 0 for the file as a whole
    std::string text;  // the line as written, cut to a readable length
    std::string reason;
};

// What one settings file gives: the settings, which line set each key (0:
// the default), and each line that could not be used.
struct SettingsFile {
    std::string path;  // UTF-8; empty when there is no file
    Settings settings;
    std::array<int32_t, kSettingKeyCount> lines{};
    std::vector<SettingsProblem> problems;
};

// Larger settings files are not read.
constexpr size_t kMaxSettingsFileBytes = 64 * 1024;

// Parses the text of the settings file at `path` (which relative paths in
// it are taken against). Paths are checked to open as files.
SettingsFile parseSettings(std::string_view text, const std::string& path);
// Reads and parses a settings file (UTF-8 path); a file that cannot be read
// gives the defaults and a problem for line 0.
SettingsFile readSettingsFile(const std::string& path);

// Where the plug-in in `libraryDirectory` finds its settings: the file
// named by TZ_MIDI_SETTINGS when that is set; else tz_midi.ini in
// libraryDirectory when it exists; else the user's file
// (%APPDATA%\tz_midi\tz_midi.ini, or $XDG_CONFIG_HOME/tz_midi/tz_midi.ini or
// ~/.config/tz_midi/tz_midi.ini) when it exists. `how` says which of these it
// is; the path is empty when there is none.
struct SettingsLocation {
    std::string path;
    std::string how;
};
SettingsLocation locateSettings(const std::string& libraryDirectory);

// The settings the plug-in in `libraryDirectory` plays with: read once per
// process and again when the file (or which file) changes. Thread-safe.
std::shared_ptr<const SettingsFile> currentSettings(const std::string& libraryDirectory);
// currentSettings for the library that holds `address` (the plug-in passes
// the address of an object of its own).
std::shared_ptr<const SettingsFile> settingsOfModule(const void* address);

// The text of a settings file that sets `settings` (every key that is not
// at its default), as tools write one for the plug-in.
std::string writeSettings(const Settings& settings);

}  // namespace tz
