// What every tzmidi command that plays songs shares: the settings the
// plug-in plays with (its settings file, and what the command line changes,
// handed to it through a settings file of tzmidi's own), the plug-in loaded
// at run time, and songs opened through its demuxers exactly as a host
// opens them.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "song/settings.h"
#include "tools/host_loader.h"

namespace CLI {
class App;
}

namespace tz {

// PCM as the plug-in delivers it: 16-bit stereo at 44.1 kHz.
inline constexpr int kSampleRate = 44100;
inline constexpr int kBytesPerFrame = 4;
inline constexpr double kBytesPerSecond = double(kSampleRate) * kBytesPerFrame;

struct HostOptions {
    std::string plugin;   // empty: the plug-in next to tzmidi, else the installed one
    std::string bank;     // empty: the settings' bank, the system's, else the default bank
    std::string patches;  // empty: the settings' patch configuration
    std::string sound;    // classic or standard; empty: the settings', else listenerSound
    double reverb = -1.0;  // 0..1; negative: the settings'
    double chorus = -1.0;
    int32_t voices = 0;    // 0: the settings'
    double tail = -1.0;    // seconds; negative: the settings'
    // The sound when neither the command line nor the settings file names
    // one: the standard sound for a listener's commands (play, render, info),
    // the plug-in's own default (classic) for settings.
    SoundProfile listenerSound = SoundProfile::Standard;
};

// Adds --plugin, --bank, --patches and the sound's options to a command.
void addHostOptions(CLI::App& cmd, HostOptions& o);

// The banks tzmidi plays with when neither the command line, the settings
// nor the system name one, in the order they are tried: $TZMIDI_DEFAULT_BANK
// alone when set; else the per-user bank ($HOME/.local/share/tz_midi/gm.dls,
// or %LOCALAPPDATA%\tz_midi\gm.dls) and, on Linux, the system's
// General-MIDI SoundFont (/usr/share/sounds/sf2/default-GM.sf2).
std::vector<std::string> defaultBankPaths();

// The settings the plug-in plays with for this command: its settings file's,
// then what the command line sets, then the default bank where neither
// names a bank and the system has none. `origins` says where each key's
// value comes from.
struct HostSettings {
    std::string pluginPath;
    SettingsLocation location;
    SettingsFile file;
    Settings settings;
    std::array<std::string, kSettingKeyCount> origins;
    bool changed = false;  // differs from what the settings file gives
    // Why songs cannot open: no bank anywhere and no patches (empty: fine).
    std::string noBank;
};
// False, with the reason in error, when a file the command line names
// cannot be used.
bool hostSettings(const HostOptions& o, HostSettings& out, std::string& error);

// The sentence tzmidi prints for a song the plug-in could not open: the
// file the reason belongs to, and the reason.
std::string describeOpenError(const std::string& songPath, const Settings& settings, Error error);

// A song opened by one of the plug-in's demuxers.
class Song {
public:
    Song(IDemuxer* demuxer, std::u16string path);
    Song(const Song&) = delete;
    Song& operator=(const Song&) = delete;
    ~Song();

    bool open();
    double lengthSeconds() const { return length_; }
    const DemuxerFormat& format() const { return *demuxer_->format(); }
    // Bytes delivered into buffer (at most size), or -1 at the end of the song.
    int32_t read(uint8_t* buffer, int32_t size) { return demuxer_->read(buffer, size); }
    // Seeks and returns the position the plug-in reached.
    double seek(double seconds);

private:
    IDemuxer* demuxer_;
    HostSource source_;
    double length_ = 0.0;
};

class PluginHost {
public:
    PluginHost() = default;
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;
    ~PluginHost();

    // Settles the settings, hands them to the plug-in and loads it.
    bool start(const HostOptions& o, std::string& error);
    const HostSettings& settings() const { return settings_; }

    // Opens a MIDI file (UTF-8 path). Null, with the reason in error, when it
    // cannot be opened or the plug-in refuses it. Songs must be let go before
    // the host.
    std::unique_ptr<Song> open(const std::string& path, std::string& error);

private:
    HostSettings settings_;
    std::string settingsDirectory_;  // tzmidi's own settings file lies here
    LoadedPlugin loaded_;
};

// File name without its folder ("song.mid").
std::string baseName(const std::string& path);

}  // namespace tz
