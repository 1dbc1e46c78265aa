#include "tools/bank/bank_command.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tools/bank/console.h"
#include "soundfont/dls_writer.h"
#include "soundfont/sf2_reader.h"
#include "soundfont/sf2_to_dls.h"

namespace tz {

namespace {

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

void addBankOptions(CLI::App& cmd, BankOptions& o) {
    cmd.add_option("IN.sf2", o.input, "the SoundFont 2 bank to convert")->required();
    cmd.add_option("-o,--output", o.output, "the DLS bank to write (required)")->required()->option_text("OUT.dls");
    char gainHelp[80];
    std::snprintf(gainHelp, sizeof gainHelp, "level of every sample in dB, -60..60 (default %g)", kDefaultBankGainDb);
    cmd.add_option("--gain", o.gainDb, gainHelp)->check(CLI::Range(-60.0, 60.0))->option_text("DB");
    cmd.add_flag("--tuning-in-wsmp", o.tuningInWaveSample,
                 "keep each sample's own rate and values, with tuning and level in the wave sample headers "
                 "(a bank as other converters write it, for testing)");
    cmd.add_flag("-q,--quiet", o.quiet, "print nothing but errors");
}

Command addBankCommand(CLI::App& app) {
    auto o = std::make_shared<BankOptions>();
    CLI::App* cmd = app.add_subcommand("bank", "convert a SoundFont 2 bank into a DLS bank");
    addBankOptions(*cmd, *o);
    return {cmd, [o] { return convertBank(*o); }};
}

int runBankCommand(int argc, char** argv) {
    CLI::App app("Converts a SoundFont 2 bank into a DLS bank.", "tzmidi bank");
    describeExitStatus(app);
    BankOptions o;
    addBankOptions(app, o);
    const int status = parseCommandLine(app, argc, argv);
    return status >= 0 ? status : convertBank(o);
}

int convertBank(const BankOptions& o) {
    const std::string& input = o.input;
    const std::string& output = o.output;
    const bool quiet = o.quiet;
    ProgressLine progress(!quiet && stderrIsTerminal());
    progress.show("Reading SoundFont...", -1, {}, true);
    Sf2Bank bank;
    std::string error;
    if (!loadSf2File(input, bank, error)) {
        progress.clear();
        std::fprintf(stderr, "tzmidi bank: %s\n", error.c_str());
        return kExitFailed;
    }

    DlsBankDesc dls;
    Sf2ConvertStats stats;
    Sf2ConvertOptions options;
    options.gainDb = o.gainDb;
    options.tuningInWaveSample = o.tuningInWaveSample;
    options.progress = [&](size_t done, size_t total) {
        if (total > 0) progress.show("Converting", double(done) / double(total));
    };
    if (!convertSf2ToDls(bank, dls, stats, error, options)) {
        progress.clear();
        std::fprintf(stderr, "tzmidi bank: %s: %s\n", input.c_str(), error.c_str());
        return kExitFailed;
    }
    bank = Sf2Bank{};  // the SoundFont's bytes are no longer needed

    progress.show("Writing DLS...", -1, {}, true);
    std::vector<uint8_t> bytes = writeDlsBank(dls);
    dls = DlsBankDesc{};
    if (!writeFile(output, bytes, error)) {
        progress.clear();
        std::fprintf(stderr, "tzmidi bank: %s\n", error.c_str());
        return kExitFailed;
    }
    progress.clear();
    const double seconds = progress.elapsed();

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
