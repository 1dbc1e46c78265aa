#include "tools/host_session.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/paths.h"

namespace tz {

namespace {

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

// Opened the way the plug-in opens its files.
bool canOpen(const std::string& path) { return canOpenFileUtf16(utf8ToUtf16(path)); }

}  // namespace

void addHostOptions(CLI::App& cmd, HostOptions& o) {
    cmd.add_option("--bank", o.bank,
                   "the DLS bank to play with (default: the system's bank, else the default bank, "
                   "$TZMIDI_DEFAULT_BANK or ~/.local/share/tz_midi/gm.dls)")
        ->option_text("FILE.dls");
    cmd.add_option("--plugin", o.plugin, "the plug-in library to load (default: the one next to tzmidi)")
        ->option_text("PATH");
}

Song::Song(IDemuxer* demuxer, std::u16string path) : demuxer_(demuxer), source_(std::move(path)) {}

Song::~Song() { demuxer_->release(); }

bool Song::open() {
    if (!demuxer_->open(&source_)) return false;
    length_ = demuxer_->format()->lengthSeconds;
    return true;
}

double Song::seek(double seconds) {
    demuxer_->seek(&seconds);
    return seconds;
}

PluginHost::~PluginHost() { unloadPlugin(loaded_); }

bool PluginHost::start(const HostOptions& o, std::string& error) {
    std::string bank = o.bank;
    if (bank.empty() && !systemBankExists()) bank = defaultBankPath();
    usingSystemBank_ = bank.empty();
    if (!bank.empty()) {
        if (!canOpen(bank)) {
            if (o.bank.empty()) {
                error = "no General-MIDI bank: the system has none and the default bank '" + bank +
                        "' is missing (make it with scripts/make-default-bank.sh, or pass --bank FILE.dls)";
            } else {
                error = "cannot open the bank '" + bank + "': " + std::strerror(errno);
            }
            return false;
        }
        if (!bankDir_.provide(bank, error)) return false;
    }
    loaded_ = loadPlugin(o.plugin.empty() ? defaultPluginPath() : o.plugin);
    if (!loaded_.plugin) {
        error = loaded_.error;
        return false;
    }
    return true;
}

std::unique_ptr<Song> PluginHost::open(const std::string& path, std::string& error) {
    if (!canOpen(path)) {
        error = diagnoseInput(path);
        return nullptr;
    }
    IDemuxer* demuxer = static_cast<IDemuxerPlugin*>(loaded_.plugin)->createDemuxer();
    if (!demuxer) {
        error = "the plug-in could not create a demuxer";
        return nullptr;
    }
    auto song = std::make_unique<Song>(demuxer, utf8ToUtf16(path));
    if (!song->open()) {
        error = diagnoseInput(path) + (usingSystemBank_ ? " (or no General-MIDI bank was found)" : "");
        return nullptr;
    }
    return song;
}

std::string baseName(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace tz
