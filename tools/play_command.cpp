// `tzmidi play`: songs to the default audio device through SDL's audio
// queue, read from the plug-in a little ahead of the device, with keys to
// pause, seek and skip on a terminal.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "midi/song_facts.h"
#include "platform/utf8.h"
#include "tools/commands.h"
#include "tools/host_session.h"
#include "tools/terminal.h"

#ifdef TZ_HAVE_SDL
#define SDL_MAIN_HANDLED
#include <SDL.h>
#endif

namespace tz {

namespace {

struct PlayOptions {
    std::vector<std::string> inputs;
    HostOptions host;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "tzmidi play: %s\n", message.c_str());
    return kExitFailed;
}

#ifdef TZ_HAVE_SDL

// How far reading runs ahead of the device. The plug-in renders hundreds of
// times faster than real time, so a fraction of a second is plenty, and a
// seek empties it at once.
constexpr uint32_t kAheadBytes = uint32_t(kBytesPerSecond / 2);
constexpr int32_t kReadBytes = 8192;
constexpr int kTickMilliseconds = 10;

class AudioDevice {
public:
    AudioDevice() = default;
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;
    ~AudioDevice() {
        if (device_) SDL_CloseAudioDevice(device_);
        if (initialised_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }

    bool open(std::string& error) {
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, "tzmidi");
        SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "MIDI songs");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            error = SDL_GetError();
            return false;
        }
        initialised_ = true;
        SDL_AudioSpec want{};
        want.freq = kSampleRate;
        want.format = AUDIO_S16LSB;
        want.channels = 2;
        want.samples = 2048;
        SDL_AudioSpec have{};
        // SDL converts when the device wants another format: the queue
        // always holds the plug-in's PCM.
        device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
        if (device_ == 0) {
            error = SDL_GetError();
            return false;
        }
        deviceSeconds_ = double(have.samples) / double(have.freq > 0 ? have.freq : kSampleRate);
        return true;
    }

    void queue(const uint8_t* pcm, uint32_t bytes) {
        SDL_QueueAudio(device_, pcm, bytes);
        sent_ += bytes;
    }
    uint32_t queued() const { return SDL_GetQueuedAudioSize(device_); }
    // Bytes the device has taken since the queue was last emptied.
    uint64_t taken() const { return sent_ - std::min<uint64_t>(sent_, queued()); }
    uint64_t sent() const { return sent_; }
    void clear() {
        SDL_ClearQueuedAudio(device_);
        sent_ = 0;
    }
    void pause(bool on) { SDL_PauseAudioDevice(device_, on ? 1 : 0); }
    // Waits until the device has played everything queued (or a signal came).
    void drain() {
        while (queued() > 0 && !StopSignals::caught()) SDL_Delay(kTickMilliseconds);
        if (!StopSignals::caught()) SDL_Delay(Uint32(deviceSeconds_ * 1000.0) + 50);
    }

private:
    bool initialised_ = false;
    SDL_AudioDeviceID device_ = 0;
    uint64_t sent_ = 0;
    double deviceSeconds_ = 0.0;
};

enum class Outcome { Ended, Next, Previous, Quit };

class Player {
public:
    Player(AudioDevice& device, RawTerminal* terminal, bool display)
        : device_(device), terminal_(terminal), line_(display, stdout) {}

    // Prints the song's header, then feeds the device until the song has
    // been read to its end, or a key says otherwise. The end of one song stays
    // queued while the next is opened, so songs follow without a gap.
    Outcome play(Song& song, const std::string& path, size_t index, size_t count) {
        const double length = song.lengthSeconds();
        header(path, length, index, count);
        double base = 0.0;                    // where the song was when the queue was last emptied
        uint64_t startMark = device_.sent();  // the queue's bytes before this song's first
        bool readToEnd = false;
        for (;;) {
            if (StopSignals::caught()) return Outcome::Quit;
            // Keep the device fed.
            while (!readToEnd && device_.queued() < kAheadBytes) {
                const int32_t got = song.read(buffer_, kReadBytes);
                if (got <= 0) {
                    readToEnd = true;
                    break;
                }
                device_.queue(buffer_, uint32_t(std::min(got, kReadBytes)));
            }
            // A paused song stays on screen even once it has all been read.
            if (readToEnd && !paused_) return Outcome::Ended;
            if (!started_) {
                device_.pause(false);
                started_ = true;
            }
            const uint64_t taken = device_.taken();
            double position = base + double(taken > startMark ? taken - startMark : 0) / kBytesPerSecond;
            showPosition(position, length, false);

            std::vector<PlayerKey> keys;
            if (terminal_) {
                decoder_.feed(terminal_->waitForTyping(kTickMilliseconds), keys);
            } else {
                SDL_Delay(kTickMilliseconds);
            }
            for (PlayerKey key : keys) {
                double step = 0;
                switch (key) {
                case PlayerKey::Quit: line_.clear(); return Outcome::Quit;
                case PlayerKey::Next: device_.clear(); return Outcome::Next;
                case PlayerKey::Previous: device_.clear(); return Outcome::Previous;
                case PlayerKey::Pause:
                    paused_ = !paused_;
                    device_.pause(paused_);
                    showPosition(position, length, true);
                    continue;
                case PlayerKey::Back10: step = -10; break;
                case PlayerKey::Forward10: step = 10; break;
                case PlayerKey::Back60: step = -60; break;
                case PlayerKey::Forward60: step = 60; break;
                }
                // A seek to the end ends the song.
                device_.clear();
                startMark = 0;
                readToEnd = false;
                base = position = song.seek(std::clamp(position + step, 0.0, length));
                showPosition(position, length, true);
            }
        }
    }

    void report(const std::string& message) { line_.print(stderr, "tzmidi play: " + message); }
    void finish() { line_.clear(); }

private:
    void showPosition(double position, double length, bool now) {
        line_.show(clockTime(position) + " / " + clockTime(length), length > 0 ? position / length : 0.0,
                   paused_ ? "paused" : "", now);
    }

    void header(const std::string& path, double length, size_t index, size_t count) {
        const SongFacts facts = readSongFacts(path);
        std::string text = "Playing " + std::to_string(index + 1) + "/" + std::to_string(count) + ": " +
                           printableText(baseName(path)) + " (" + clockTime(length) + ")";
        line_.print(stdout, text);
        if (!facts.title.empty()) line_.print(stdout, "  title:     " + facts.title);
        if (!facts.copyright.empty()) line_.print(stdout, "  copyright: " + facts.copyright);
    }

    AudioDevice& device_;
    RawTerminal* terminal_;
    ProgressLine line_;
    KeyDecoder decoder_;
    uint8_t buffer_[kReadBytes];
    bool started_ = false;
    bool paused_ = false;
};

int playSongs(const PlayOptions& o) {
    AudioDevice device;
    std::string error;
    if (!device.open(error)) return fail("no audio device could be opened (" + error + ")");
    PluginHost host;
    if (!host.start(o.host, error)) return fail(error);

    std::optional<RawTerminal> terminal;
    if (keysFromTerminal()) {
        terminal.emplace();
        std::printf("Keys: space pause, \u2190/\u2192 seek 10 s, \u2191/\u2193 seek 60 s, n next, p previous, q quit\n");
    }
    Player player(device, terminal ? &*terminal : nullptr, stdoutIsTerminal());
    const size_t count = o.inputs.size();
    size_t index = 0;
    bool backwards = false;
    size_t failed = 0;
    Outcome outcome = Outcome::Ended;
    while (index < count && outcome != Outcome::Quit) {
        std::unique_ptr<Song> song = host.open(o.inputs[index], error);
        if (!song) {
            player.report(error);
            ++failed;
            // Past a song that cannot be played, in the direction of travel.
            if (backwards && index > 0) {
                --index;
            } else {
                backwards = false;
                ++index;
            }
            continue;
        }
        outcome = player.play(*song, o.inputs[index], index, count);
        backwards = outcome == Outcome::Previous;
        if (backwards) {
            index = index > 0 ? index - 1 : 0;
        } else {
            ++index;
        }
    }
    if (outcome != Outcome::Quit) device.drain();
    player.finish();
    return failed > 0 ? kExitFailed : 0;
}

#endif

int play(const PlayOptions& o) {
#ifdef TZ_HAVE_SDL
    int status;
    {
        StopSignals signals;
        status = playSongs(o);
    }
    // Device closed and terminal put back: a signal may now end the process.
    StopSignals::endByCaughtSignal();
    return status;
#else
    (void)o;
    return fail("this tzmidi has no audio output: it was built without SDL2. Render to a file instead.");
#endif
}

}  // namespace

std::string playerDescription() {
#ifdef TZ_HAVE_SDL
    SDL_version version;
    SDL_GetVersion(&version);
    return "SDL " + std::to_string(version.major) + "." + std::to_string(version.minor) + "." +
           std::to_string(version.patch);
#else
    return "not in this build (no SDL2)";
#endif
}

Command addPlayCommand(CLI::App& app) {
    auto o = std::make_shared<PlayOptions>();
    CLI::App* cmd = app.add_subcommand(
        "play", "play songs on the default audio device; on a terminal: space pause, left/right seek 10 s, "
                "up/down seek 60 s, n next, p previous, q quit");
    cmd->add_option("IN.mid", o->inputs, "the MIDI or RMI files to play, one after the other")->required();
    addHostOptions(*cmd, o->host);
    return {cmd, [o] { return play(*o); }};
}

}  // namespace tz
