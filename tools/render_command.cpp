// `tzmidi render`: songs to audio files, one named by -o (or a WAV stream on
// standard output), or many into a folder.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "midi/song_facts.h"
#include "platform/utf8.h"
#include "tools/audio_file.h"
#include "tools/commands.h"
#include "tools/host_session.h"

namespace tz {

namespace {

struct RenderOptions {
    std::vector<std::string> inputs;
    std::string output;
    std::string outputDir;
    std::string format;
    HostOptions host;
    double seek = -1.0;
    long readSize = 4096;
    bool quiet = false;
    AudioFileType type = AudioFileType::Wav;  // settled once the line is parsed
};

int fail(const std::string& message) {
    std::fprintf(stderr, "tzmidi render: %s\n", message.c_str());
    return kExitFailed;
}

// The options that need one another, checked once all are parsed.
void settleOutput(RenderOptions& o) {
    if (!o.output.empty() && o.inputs.size() > 1)
        throw CLI::ValidationError("--output", "names one file; render several songs with -d OUTDIR");
    if (!o.format.empty()) {
        o.type = *audioFileTypeNamed(o.format);
    } else if (!o.output.empty() && o.output != "-") {
        std::optional<AudioFileType> type = audioFileTypeOf(o.output);
        if (!type)
            throw CLI::ValidationError("--output", "cannot tell the type of '" + o.output +
                                                       "': end its name in .wav, .flac, .ogg or .opus, or give --format");
        o.type = *type;
    }
    if (o.output == "-" && o.type != AudioFileType::Wav)
        throw CLI::ValidationError("--output", "standard output takes only WAV");
}

std::string speed(double seconds, double elapsed) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1fs elapsed  %.0fx real time", elapsed, elapsed > 0 ? seconds / elapsed : 0.0);
    return text;
}

AudioTags tagsOf(const std::string& input, AudioFileType type) {
    if (type == AudioFileType::Wav) return {};
    SongFacts facts = readSongFacts(input);
    return {facts.title, facts.copyright};
}

// Hands everything the plug-in delivers, after the optional seek, to a new
// file. Returns false, with the reason in error, when the file could not be
// made or completed; a file left incomplete is deleted.
bool renderSong(PluginHost& host, const std::string& input, const std::string& output, const RenderOptions& o,
                const std::function<void(double done, double total)>& progress, double& seconds, std::string& error) {
    std::unique_ptr<Song> song = host.open(input, error);
    if (!song) return false;
    const double start = o.seek >= 0 ? song->seek(o.seek) : 0.0;
    std::unique_ptr<AudioWriter> out = createAudioWriter(output, o.type, tagsOf(input, o.type), error);
    if (!out) return false;
    const double total = song->lengthSeconds() - start;
    std::vector<uint8_t> buffer(size_t(o.readSize));
    uint64_t bytes = 0;
    for (;;) {
        const int32_t got = song->read(buffer.data(), int32_t(buffer.size()));
        if (got < 0) break;
        if (got == 0 || size_t(got) > buffer.size()) {
            error = "the plug-in delivered " + std::to_string(got) + " bytes for a read of " +
                    std::to_string(buffer.size());
            out->discard();
            return false;
        }
        if (!out->write(buffer.data(), size_t(got))) {
            error = out->error();
            out->discard();
            return false;
        }
        bytes += uint64_t(got);
        progress(double(bytes) / kBytesPerSecond, total);
    }
    seconds = double(bytes) / kBytesPerSecond;
    if (!out->finish()) {
        error = out->error();
        out->discard();
        return false;
    }
    return true;
}

int renderOne(const RenderOptions& o) {
    if (std::string why = unavailableReason(o.type); !why.empty()) return fail(why);
    PluginHost host;
    std::string error;
    if (!host.start(o.host, error)) return fail(error);
    const std::string& input = o.inputs.front();
    const std::string label = baseName(input);
    ProgressLine progress(!o.quiet && stderrIsTerminal());
    double seconds = 0;
    const bool ok = renderSong(host, input, o.output, o, [&](double done, double total) {
        progress.show(label, total > 0 ? done / total : 1.0, speed(done, progress.elapsed()));
    }, seconds, error);
    progress.clear();
    if (!ok) return fail(error);
    if (!o.quiet) {
        const double elapsed = progress.elapsed();
        std::fprintf(stderr, "wrote %s: %.3f s of audio in %.3f s (%.0fx real time)\n",
                     o.output == "-" ? "standard output" : o.output.c_str(), seconds, elapsed,
                     elapsed > 0 ? seconds / elapsed : 0.0);
    }
    return 0;
}

std::string lowercase(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Every song into the folder as NAME.EXT; a song that fails is reported and
// the others still rendered.
int renderMany(const RenderOptions& o) {
    if (std::string why = unavailableReason(o.type); !why.empty()) return fail(why);
    std::error_code code;
    std::filesystem::create_directories(std::filesystem::path(std::u8string(o.outputDir.begin(), o.outputDir.end())),
                                        code);
    if (code) return fail("cannot create the folder '" + o.outputDir + "': " + code.message());
    PluginHost host;
    std::string error;
    if (!host.start(o.host, error)) return fail(error);

    ProgressLine progress(!o.quiet && stderrIsTerminal());
    const size_t count = o.inputs.size();
    std::string folder = o.outputDir;
    if (folder.back() != '/' && folder.back() != '\\') folder += '/';
    std::set<std::string> taken;  // output names, in lower case for file systems that ignore case
    size_t failed = 0;
    double audio = 0;
    for (size_t i = 0; i < count; ++i) {
        const std::string& input = o.inputs[i];
        std::string name = baseName(input);
        if (size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0) name.resize(dot);
        const std::string output = folder + name + "." + extensionOf(o.type);
        const std::string label = "[" + std::to_string(i + 1) + "/" + std::to_string(count) + "] " + baseName(input);
        double seconds = 0;
        bool ok = taken.insert(lowercase(output)).second;
        if (!ok) {
            error = "'" + input + "' is not rendered: an earlier song was rendered to '" + output + "'";
        } else {
            ok = renderSong(host, input, output, o, [&](double done, double total) {
                const double part = total > 0 ? std::min(done / total, 1.0) : 1.0;
                progress.show(label, (double(i) + part) / double(count), speed(audio + done, progress.elapsed()));
            }, seconds, error);
        }
        if (!ok) {
            ++failed;
            progress.print(stderr, "tzmidi render: " + error);
        }
        audio += seconds;
    }
    progress.clear();
    if (!o.quiet)
        std::fprintf(stderr, "rendered %zu of %zu songs to %s: %.1f s of audio in %.1f s\n", count - failed, count,
                     o.outputDir.c_str(), audio, progress.elapsed());
    return failed > 0 ? kExitFailed : 0;
}

}  // namespace

Command addRenderCommand(CLI::App& app) {
    auto o = std::make_shared<RenderOptions>();
    CLI::App* cmd = app.add_subcommand(
        "render", "render songs to audio files (" + writableTypes() + "), or a WAV stream to standard output");
    cmd->add_option("IN.mid", o->inputs, "the MIDI or RMI files to render")->required();
    CLI::Option_group* where = cmd->add_option_group("Output", "one of these");
    where->add_option("-o,--output", o->output,
                      "the file to write, its type by its extension; - writes a WAV stream to standard output")
        ->option_text("OUT");
    where->add_option("-d,--output-dir", o->outputDir, "write each song as OUTDIR/NAME.EXT (made when missing)")
        ->option_text("OUTDIR");
    where->require_option(1);
    cmd->add_option("--format", o->format, "wav, flac, ogg or opus (with -d the default is wav)")
        ->check(CLI::IsMember({"wav", "flac", "ogg", "opus"}, CLI::ignore_case))
        ->option_text("TYPE");
    addHostOptions(*cmd, o->host);
    cmd->add_option("--seek", o->seek, "start this many seconds into the song")
        ->check(CLI::Validator(checkSeconds, "SECONDS"))
        ->option_text("SECONDS");
    cmd->add_option("--read-size", o->readSize, "bytes asked of the plug-in per read (default 4096)")
        ->check(CLI::Range(1L, 1L << 26))
        ->option_text("BYTES");
    cmd->add_flag("-q,--quiet", o->quiet, "print nothing but errors");
    cmd->callback([o] { settleOutput(*o); });
    return {cmd, [o] { return o->output.empty() ? renderMany(*o) : renderOne(*o); }};
}

}  // namespace tz
