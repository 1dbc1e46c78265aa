// tzmidi: a small host for the tz_midi plug-in. It loads the library at run
// time and, apart from the bank converter, uses only what a host sees.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/byte_writer.h"
#include "platform/paths.h"
#include "tools/bank/bank_command.h"
#include "tools/bank/console.h"
#include "tools/bank_dir.h"
#include "tools/host_loader.h"


namespace tz {
namespace {

const char* kUsage =
    "usage: tzmidi COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  render IN.mid -o OUT.wav [--bank FILE.dls] [--seek SECONDS] [--read-size BYTES] [--quiet]\n"
    "      render the song to a 16-bit stereo 44.1 kHz WAV file\n"
    "  info IN.mid [--bank FILE.dls]\n"
    "      print the output format and the song's length\n"
    "  bank IN.sf2 -o OUT.dls [--quiet]\n"
    "      convert a SoundFont 2 bank into a DLS bank\n"
    "\n"
    "options:\n"
    "  --plugin PATH   the plug-in library to load (default: the one next to tzmidi)\n"
    "  --bank FILE     the DLS bank to play with (default: the system's bank, else\n"
    "                  the default bank, see TZMIDI_DEFAULT_BANK)\n"
    "  --help          show this text\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "tzmidi: %s\n", message.c_str());
    return 1;
}

struct Options {
    std::string command;
    std::string input;
    std::string output;
    std::string plugin;
    std::string bank;
    double seek = -1.0;
    long readSize = 4096;
    bool quiet = false;
};

bool parseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(value);
}

bool parseArgs(const std::vector<std::string>& args, Options& o, std::string& error) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = "option " + a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        if (a == "-o" || a == "--output") {
            if (!value(o.output)) return false;
        } else if (a == "--plugin") {
            if (!value(o.plugin)) return false;
        } else if (a == "--bank") {
            if (!value(o.bank)) return false;
        } else if (a == "--seek") {
            std::string s;
            if (!value(s)) return false;
            if (!parseNumber(s, o.seek) || o.seek < 0) {
                error = "--seek needs a number of seconds, not '" + s + "'";
                return false;
            }
        } else if (a == "--read-size") {
            std::string s;
            double v;
            if (!value(s)) return false;
            if (!parseNumber(s, v) || v < 1 || v > 1 << 26 || v != std::floor(v)) {
                error = "--read-size needs a whole number of bytes from 1 to 67108864, not '" + s + "'";
                return false;
            }
            o.readSize = long(v);
        } else if (a == "--quiet" || a == "-q") {
            o.quiet = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            error = "unknown option " + a;
            return false;
        } else if (o.input.empty()) {
            o.input = a;
        } else {
            error = "unexpected argument '" + a + "'";
            return false;
        }
    }
    if (o.input.empty()) {
        error = "no input file given";
        return false;
    }
    return true;
}

// Why a file the plug-in refused cannot be played, as far as a host can tell.
std::string diagnoseInput(const std::string& path) {
    std::FILE* f = openFileUtf16(utf8ToUtf16(path));
    if (!f) return "cannot open '" + path + "': " + std::strerror(errno);
    unsigned char head[12] = {};
    size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    if (n >= 4 && std::memcmp(head, "MThd", 4) == 0) return "'" + path + "' is a damaged or unsupported MIDI file";
    if (n >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "RMID", 4) == 0)
        return "'" + path + "' is a damaged RMI file";
    return "'" + path + "' is not a MIDI file";
}

// The 44-byte header of a 16-bit stereo 44.1 kHz WAV file.
Bytes wavHeader(uint32_t dataBytes) {
    Bytes h;
    putTag(h, "RIFF");
    putU32le(h, 36 + dataBytes);
    putTag(h, "WAVE");
    putTag(h, "fmt ");
    putU32le(h, 16);
    putU16le(h, 1);          // PCM
    putU16le(h, 2);          // channels
    putU32le(h, 44100);      // rate
    putU32le(h, 44100 * 4);  // bytes per second
    putU16le(h, 4);          // block align
    putU16le(h, 16);         // bits
    putTag(h, "data");
    putU32le(h, dataBytes);
    return h;
}

void writeWavHeader(std::FILE* f, uint32_t dataBytes) {
    const Bytes h = wavHeader(dataBytes);
    std::fwrite(h.data(), 1, h.size(), f);
}

class Progress {
public:
    Progress(bool enabled, double totalSeconds) : enabled_(enabled), total_(totalSeconds) {}
    void update(double doneSeconds, bool force = false) {
        if (!enabled_) return;
        auto now = std::chrono::steady_clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        double elapsed = std::chrono::duration<double>(now - start_).count();
        double fraction = total_ > 0 ? std::min(1.0, doneSeconds / total_) : 1.0;
        std::string bar = progressBar(fraction, 30, '-');
        double speed = elapsed > 0 ? doneSeconds / elapsed : 0.0;
        std::fprintf(stderr, "\r[%s] %5.1f%%  %.1fs elapsed  %.0fx real time ", bar.c_str(), fraction * 100.0,
                     elapsed, speed);
        std::fflush(stderr);
    }
    void finish(double doneSeconds) {
        if (!enabled_) return;
        update(doneSeconds, true);
        std::fputc('\n', stderr);
    }
    double elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    bool enabled_;
    double total_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_{};
};

int run(const std::vector<std::string>& all) {
    if (all.size() < 2 || all[1] == "--help" || all[1] == "-h" || all[1] == "help") {
        std::fputs(kUsage, all.size() < 2 ? stderr : stdout);
        return all.size() < 2 ? 2 : 0;
    }
    std::vector<std::string> args(all.begin() + 1, all.end());
    for (const auto& a : args)
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    Options o;
    o.command = args[0];
    if (o.command == "bank") {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        return runBankCommand(int(args.size()), argv.data());
    }
    if (o.command != "render" && o.command != "info") return fail("unknown command '" + o.command + "' (see tzmidi --help)");
    std::string error;
    if (!parseArgs(args, o, error)) return fail(error);
    if (o.command == "render" && o.output.empty()) return fail("render needs an output file: -o OUT.wav");

    if (std::FILE* f = openFileUtf16(utf8ToUtf16(o.input))) {
        std::fclose(f);
    } else {
        return fail(diagnoseInput(o.input));
    }

    // Where the plug-in will look for its bank.
    BankDirectory bankDir;
    std::string bank = o.bank;
    if (bank.empty() && !systemBankExists()) bank = defaultBankPath();
    if (!bank.empty()) {
        if (std::FILE* f = openFileUtf16(utf8ToUtf16(bank))) {
            std::fclose(f);
        } else if (o.bank.empty()) {
            return fail("no General-MIDI bank: the system has none and the default bank '" + bank +
                        "' is missing (make it with scripts/make-default-bank.sh, or pass --bank FILE.dls)");
        } else {
            return fail("cannot open the bank '" + bank + "': " + std::strerror(errno));
        }
        if (!bankDir.provide(bank, error)) return fail(error);
    }

    std::string pluginPath = o.plugin.empty() ? defaultPluginPath() : o.plugin;
    LoadedPlugin loaded = loadPlugin(pluginPath);
    if (!loaded.plugin) return fail(loaded.error);
    int result = 0;
    auto* demuxerPlugin = static_cast<IDemuxerPlugin*>(loaded.plugin);
    IDemuxer* demuxer = demuxerPlugin->createDemuxer();
    if (!demuxer) {
        unloadPlugin(loaded);
        return fail("the plug-in could not create a demuxer");
    }
    HostSource source(utf8ToUtf16(o.input));
    if (!demuxer->open(&source)) {
        result = fail(diagnoseInput(o.input) + (bank.empty() ? " (or no General-MIDI bank was found)" : ""));
    } else if (o.command == "info") {
        const DemuxerFormat* format = demuxer->format();
        std::printf("file: %s\n", o.input.c_str());
        std::printf("kind: %d\n", format->kind);
        std::printf("sample_rate: %u\n", format->sampleRate);
        std::printf("channels: %d\n", format->channelCount);
        std::printf("bits_per_sample: %d\n", format->bitsPerSample);
        std::printf("length: %.3f\n", format->lengthSeconds);
    } else {
        double length = demuxer->format()->lengthSeconds;
        double start = 0.0;
        if (o.seek >= 0) {
            start = o.seek;
            demuxer->seek(&start);
        }
        std::FILE* out = openFileUtf8(o.output, "wb");
        if (!out) {
            result = fail("cannot write '" + o.output + "': " + std::strerror(errno));
        } else {
            writeWavHeader(out, 0);
            std::vector<uint8_t> buffer(size_t(o.readSize));
            uint64_t total = 0;
            Progress progress(!o.quiet && stderrIsTerminal(), length - start);
            for (;;) {
                int32_t got = demuxer->read(buffer.data(), int32_t(buffer.size()));
                if (got < 0) break;
                if (got == 0) {
                    result = fail("the plug-in delivered 0 bytes for a read of " + std::to_string(buffer.size()));
                    break;
                }
                if (std::fwrite(buffer.data(), 1, size_t(got), out) != size_t(got)) {
                    result = fail("cannot write '" + o.output + "': " + std::strerror(errno));
                    break;
                }
                total += uint64_t(got);
                progress.update(double(total) / (44100.0 * 4));
            }
            double seconds = double(total) / (44100.0 * 4);
            progress.finish(seconds);
            if (total > 0xFFFFFFFFull - 36) total = 0xFFFFFFFFull - 36;
            std::fseek(out, 0, SEEK_SET);
            writeWavHeader(out, uint32_t(total));
            if (std::fclose(out) != 0 && result == 0) result = fail("cannot finish '" + o.output + "'");
            if (result == 0 && !o.quiet) {
                double elapsed = progress.elapsed();
                std::fprintf(stderr, "wrote %s: %.3f s of audio in %.3f s (%.0fx real time)\n", o.output.c_str(),
                             seconds, elapsed, elapsed > 0 ? seconds / elapsed : 0.0);
            }
        }
    }
    demuxer->release();
    unloadPlugin(loaded);
    return result;
}

}  // namespace
}  // namespace tz

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(tz::utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    return tz::run(args);
}
#else
int main(int argc, char** argv) { return tz::run(std::vector<std::string>(argv, argv + argc)); }
#endif
