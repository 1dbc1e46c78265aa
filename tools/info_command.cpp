// `tzmidi info`: what the plug-in reports for a song, and what the file
// carries, as `name: value` lines. The song is opened by the song player
// behind the plug-in, with the settings the plug-in would use.
#include <CLI/CLI.hpp>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "song/song_player.h"
#include "tools/commands.h"
#include "tools/host_session.h"

namespace tz {

namespace {

struct InfoOptions {
    std::string input;
    HostOptions host;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "tzmidi info: %s\n", message.c_str());
    return kExitFailed;
}

int showInfo(const InfoOptions& o) {
    HostSettings settings;
    std::string error;
    if (!hostSettings(o.host, settings, error)) return fail(error);
    if (!settings.noBank.empty()) return fail(settings.noBank);
    Error why = Error::None;
    std::unique_ptr<SongPlayer> song = SongPlayer::open(std::string_view(o.input), settings.settings, &why);
    if (!song) return fail(describeOpenError(o.input, settings.settings, why));
    constexpr PlayerFormat format = SongPlayer::format();
    std::printf("file: %s\n", o.input.c_str());
    std::printf("kind: %d\n", 1);
    std::printf("sample_rate: %d\n", format.sampleRate);
    std::printf("channels: %d\n", format.channels);
    std::printf("bits_per_sample: %d\n", format.bitsPerSample);
    std::printf("length: %.3f\n", song->lengthSeconds());
    const SongFacts& facts = song->facts();
    if (!facts.title.empty()) std::printf("title: %s\n", facts.title.c_str());
    if (!facts.copyright.empty()) std::printf("copyright: %s\n", facts.copyright.c_str());
    if (facts.readable) {
        std::printf("tracks: %d\n", facts.tracks);
        std::printf("notes: %" PRIu64 "\n", facts.notes);
    }
    return 0;
}

}  // namespace

Command addInfoCommand(CLI::App& app) {
    auto o = std::make_shared<InfoOptions>();
    CLI::App* cmd = app.add_subcommand(
        "info", "print the output format, length, title, copyright, tracks and notes of a song, as name: value lines");
    cmd->add_option("IN.mid", o->input, "the MIDI or RMI file")->required();
    addHostOptions(*cmd, o->host);
    return {cmd, [o] { return showInfo(*o); }};
}

}  // namespace tz
