// `tzmidi info`: what the plug-in reports for a song, and what the file
// carries, as `name: value` lines.
#include <CLI/CLI.hpp>

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "tools/commands.h"
#include "tools/host_session.h"
#include "tools/song_facts.h"

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
    PluginHost host;
    std::string error;
    if (!host.start(o.host, error)) return fail(error);
    std::unique_ptr<Song> song = host.open(o.input, error);
    if (!song) return fail(error);
    const DemuxerFormat& format = song->format();
    std::printf("file: %s\n", o.input.c_str());
    std::printf("kind: %d\n", format.kind);
    std::printf("sample_rate: %u\n", format.sampleRate);
    std::printf("channels: %d\n", format.channelCount);
    std::printf("bits_per_sample: %d\n", format.bitsPerSample);
    std::printf("length: %.3f\n", song->lengthSeconds());
    const SongFacts facts = readSongFacts(o.input);
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
