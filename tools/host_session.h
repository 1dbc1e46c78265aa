// What every tzmidi command that plays songs shares: the choice of bank, the
// plug-in loaded at run time, and songs opened through its demuxers exactly
// as a host opens them.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "tools/bank_dir.h"
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
    std::string plugin;  // empty: the plug-in next to tzmidi, else the installed one
    std::string bank;    // empty: the system's bank, else the default bank
};

// Adds --plugin and --bank to a command.
void addHostOptions(CLI::App& cmd, HostOptions& o);

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

    // Makes the chosen bank available and loads the plug-in. Once per
    // process: the plug-in looks for the bank when it first opens a song.
    bool start(const HostOptions& o, std::string& error);

    // Opens a MIDI file (UTF-8 path). Null, with the reason in error, when it
    // cannot be opened or the plug-in refuses it. Songs must be let go before
    // the host.
    std::unique_ptr<Song> open(const std::string& path, std::string& error);

private:
    BankDirectory bankDir_;
    LoadedPlugin loaded_;
    bool usingSystemBank_ = false;
};

// File name without its folder ("song.mid").
std::string baseName(const std::string& path);

}  // namespace tz
