#include "tools/bank/bank_command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tools/bank/console.h"
#include "tools/bank/dls_writer.h"
#include "tools/bank/sf2_reader.h"
#include "tools/bank/sf2_to_dls.h"

namespace tz {

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: tzmidi bank IN.sf2 -o OUT.dls [--gain DB] [--quiet]\n"
                 "  Converts a SoundFont 2 bank into a DLS bank.\n"
                 "  --gain DB  level of every sample in dB, -60..60 (default %.1f)\n"
                 "  --quiet    print nothing but errors\n",
                 kDefaultBankGainDb);
}

// A one-line bar redrawn in place on the terminal.
class ProgressBar {
public:
    explicit ProgressBar(bool enabled) : enabled_(enabled) {}
    ~ProgressBar() { finish(); }

    void update(const char* what, size_t done, size_t total) {
        if (!enabled_ || total == 0) return;
        int percent = int(done * 100 / total);
        if (percent == lastPercent_) return;
        lastPercent_ = percent;
        constexpr int kWidth = 40;
        std::string bar = progressBar(percent / 100.0, kWidth, '.');
        std::fprintf(stderr, "\r%-12s [%s] %3d%%", what, bar.c_str(), percent);
        std::fflush(stderr);
        shown_ = true;
    }
    void status(const char* what) {
        if (!enabled_) return;
        std::fprintf(stderr, "\r%-60s", what);
        std::fflush(stderr);
        shown_ = true;
        lastPercent_ = -1;
    }
    void finish() {
        if (!shown_) return;
        std::fprintf(stderr, "\r%-60s\r", "");
        std::fflush(stderr);
        shown_ = false;
    }

private:
    bool enabled_;
    bool shown_ = false;
    int lastPercent_ = -1;
};

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    std::FILE* f = openFileUtf8(path, "wb");
    if (!f) {
        error = path + ": cannot create file";
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
        std::remove(path.c_str());
        error = path + ": cannot write file";
    }
    return ok;
}

std::string megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

int runBankCommand(int argc, char** argv) {
    std::string input, output;
    bool quiet = false;
    double gainDb = kDefaultBankGainDb;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--quiet" || arg == "-q") {
            quiet = true;
        } else if (arg == "-o" || arg == "--output") {
            if (i + 1 >= argc) {
                usage();
                return 2;
            }
            output = argv[++i];
        } else if (arg == "--gain") {
            char* end = nullptr;
            if (i + 1 < argc) gainDb = std::strtod(argv[++i], &end);
            if (!end || end == argv[i] || *end != 0 || !(gainDb >= -60.0 && gainDb <= 60.0)) {
                std::fprintf(stderr, "tzmidi bank: --gain needs a number of decibels from -60 to 60\n");
                usage();
                return 2;
            }
        } else if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "tzmidi bank: unknown option '%s'\n", arg.c_str());
            usage();
            return 2;
        } else if (input.empty()) {
            input = arg;
        } else {
            std::fprintf(stderr, "tzmidi bank: more than one input file\n");
            usage();
            return 2;
        }
    }
    if (input.empty() || output.empty()) {
        usage();
        return 2;
    }

    auto started = std::chrono::steady_clock::now();
    ProgressBar progress(!quiet && stderrIsTerminal());
    progress.status("Reading SoundFont...");
    Sf2Bank bank;
    std::string error;
    if (!loadSf2File(input, bank, error)) {
        progress.finish();
        std::fprintf(stderr, "tzmidi bank: %s\n", error.c_str());
        return 1;
    }

    DlsBankDesc dls;
    Sf2ConvertStats stats;
    Sf2ConvertOptions options;
    options.gainDb = gainDb;
    options.progress = [&](size_t done, size_t total) { progress.update("Converting", done, total); };
    if (!convertSf2ToDls(bank, dls, stats, error, options)) {
        progress.finish();
        std::fprintf(stderr, "tzmidi bank: %s: %s\n", input.c_str(), error.c_str());
        return 1;
    }
    bank = Sf2Bank{};  // the SoundFont's bytes are no longer needed

    progress.status("Writing DLS...");
    std::vector<uint8_t> bytes = writeDlsBank(dls);
    dls = DlsBankDesc{};
    if (!writeFile(output, bytes, error)) {
        progress.finish();
        std::fprintf(stderr, "tzmidi bank: %s\n", error.c_str());
        return 1;
    }
    progress.finish();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (!quiet) {
        for (const std::string& note : stats.notes) std::fprintf(stderr, "note: %s\n", note.c_str());
        std::printf("%s -> %s\n", input.c_str(), output.c_str());
        std::printf("  instruments: %u melodic, %u drum kits\n", stats.melodicInstruments, stats.drumKits);
        std::printf("  regions:     %u\n", stats.regions);
        std::printf("  waves:       %u (%s of sample data)\n", stats.waves, megabytes(stats.waveBytes).c_str());
        std::printf("  skipped:     %u presets, %u zones; %u stereo sides and %u layers merged, %u waves cut, %u loops dropped\n",
                    stats.skippedPresets, stats.skippedZones, stats.stereoSidesDropped, stats.layersDropped,
                    stats.truncatedWaves,
                    stats.droppedLoops);
        std::printf("  output:      %zu bytes (%s) in %.2f s\n", bytes.size(), megabytes(bytes.size()).c_str(), seconds);
    }
    return 0;
}

}  // namespace tz
