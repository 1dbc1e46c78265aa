#include "tools/host_session.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/byte_source.h"
#include "platform/paths.h"
#include "song/bank_cache.h"
#include "song/song_player.h"

namespace tz {

namespace {

bool canOpen(const std::string& path) { return FileSource::open(utf8ToUtf16(path)) != nullptr; }

bool systemBankExists() {
    std::u16string path = systemBankPath();
    return !path.empty() && path[0] != u'%' && FileSource::open(path) != nullptr;
}

}  // namespace

std::vector<std::string> defaultBankPaths() {
    if (const char* env = std::getenv("TZMIDI_DEFAULT_BANK"); env && *env) return {env};
#ifdef _WIN32
    if (const char* local = std::getenv("LOCALAPPDATA"); local && *local)
        return {std::string(local) + "\\tz_midi\\gm.dls"};
    return {"gm.dls"};
#else
    std::vector<std::string> paths;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data)
        paths.push_back(std::string(data) + "/tz_midi/gm.dls");
    else if (const char* home = std::getenv("HOME"); home && *home)
        paths.push_back(std::string(home) + "/.local/share/tz_midi/gm.dls");
    paths.push_back("/usr/share/sounds/sf2/default-GM.sf2");
    return paths;
#endif
}

void addHostOptions(CLI::App& cmd, HostOptions& o) {
    cmd.add_option("--bank", o.bank,
                   "the bank to play with, a SoundFont or a DLS bank (default: the settings' bank, else the "
                   "system's, else the default bank: $TZMIDI_DEFAULT_BANK, ~/.local/share/tz_midi/gm.dls or "
                   "/usr/share/sounds/sf2/default-GM.sf2)")
        ->option_text("FILE");
    cmd.add_option("--patches", o.patches,
                   "a patch configuration naming GUS patches (such as freepats.cfg) to play with, with or "
                   "without a bank")
        ->option_text("FILE.cfg");
    cmd.add_option("--plugin", o.plugin, "the plug-in library to load (default: the one next to tzmidi)")
        ->option_text("PATH");
    cmd.add_option("--sound", o.sound,
                   "classic (the plug-in's default, byte for byte) or standard (the bank as the DLS and "
                   "General-MIDI standards play it; tzmidi's default)")
        ->check(CLI::IsMember({"classic", "standard"}))
        ->option_text("SOUND");
    cmd.add_option("--reverb", o.reverb, "the standard sound's reverb, 0 (off) to 1")
        ->check(CLI::Range(0.0, 1.0))
        ->option_text("LEVEL");
    cmd.add_option("--chorus", o.chorus, "the standard sound's chorus, 0 (off) to 1")
        ->check(CLI::Range(0.0, 1.0))
        ->option_text("LEVEL");
    cmd.add_option("--voices", o.voices, "voices that sound at once, 16 to 256 (default 32 classic, 64 standard)")
        ->check(CLI::Range(16, 256))
        ->option_text("N");
    cmd.add_option("--tail", o.tail, "seconds the standard sound rings on after the song's last event (0 to 5)")
        ->check(CLI::Range(0.0, 5.0))
        ->option_text("SECONDS");
}

bool hostSettings(const HostOptions& o, HostSettings& out, std::string& error) {
    out.pluginPath = o.plugin.empty() ? defaultPluginPath() : o.plugin;
    out.location = locateSettings(parentDirectory(absolutePath(out.pluginPath)));
    if (!out.location.path.empty()) out.file = readSettingsFile(out.location.path);
    out.settings = out.file.settings;
    for (int k = 0; k < kSettingKeyCount; ++k) {
        const int32_t line = out.file.lines[size_t(k)];
        out.origins[size_t(k)] = line > 0 ? out.location.path + ":" + std::to_string(line) : "default";
    }
    auto override = [&](SettingKey key, const std::string& path, std::u16string& field, const char* what) {
        if (path.empty()) return true;
        if (!canOpen(path)) {
            error = "cannot open the " + std::string(what) + " '" + path + "': " + std::strerror(errno);
            return false;
        }
        field = utf8ToUtf16(absolutePath(path));
        out.origins[size_t(key)] = std::string("--") + settingName(key);
        out.changed = true;
        return true;
    };
    if (!override(SettingKey::Bank, o.bank, out.settings.bank, "bank")) return false;
    if (!override(SettingKey::Patches, o.patches, out.settings.patches, "patch configuration")) return false;
    auto set = [&](SettingKey key, bool given, const char* origin) {
        if (!given) return false;
        out.origins[size_t(key)] = origin;
        out.changed = true;
        return true;
    };
    if (set(SettingKey::Sound, !o.sound.empty(), "--sound")) {
        out.settings.sound = o.sound == "standard" ? SoundProfile::Standard : SoundProfile::Classic;
    } else if (out.file.lines[size_t(SettingKey::Sound)] == 0 && o.listenerSound != out.settings.sound) {
        out.settings.sound = o.listenerSound;
        set(SettingKey::Sound, true, "tzmidi's default for listening");
    }
    if (set(SettingKey::Reverb, o.reverb >= 0, "--reverb")) out.settings.reverb = o.reverb;
    if (set(SettingKey::Chorus, o.chorus >= 0, "--chorus")) out.settings.chorus = o.chorus;
    if (set(SettingKey::Voices, o.voices > 0, "--voices")) out.settings.voices = o.voices;
    if (set(SettingKey::Tail, o.tail >= 0, "--tail")) out.settings.tail = o.tail;
    if (out.settings.bank.empty() && out.settings.patches.empty() && !systemBankExists()) {
        std::string tried;
        for (const std::string& bank : defaultBankPaths()) {
            if (canOpen(bank)) {
                out.settings.bank = utf8ToUtf16(absolutePath(bank));
                out.origins[size_t(SettingKey::Bank)] = "the default bank";
                out.changed = true;
                break;
            }
            tried += (tried.empty() ? "'" : ", '") + bank + "'";
        }
        if (out.settings.bank.empty())
            out.noBank = "no General-MIDI bank: the system has none and no default bank is there (" + tried +
                         "); pass --bank FILE.sf2 or FILE.dls, or name one in the settings";
    }
    return true;
}

std::string describeOpenError(const std::string& songPath, const Settings& settings, Error error) {
    if (error == Error::None) return "the plug-in could not open '" + songPath + "'";
    if (error == Error::SongUnreadable) {
        std::FILE* file = openFileUtf8(songPath, "rb");
        const std::string reason = file ? std::string("it cannot be read") : std::strerror(errno);
        if (file) std::fclose(file);
        return "cannot open '" + songPath + "': " + reason;
    }
    if (isSongError(error)) return "'" + songPath + "' " + errorMessage(error);
    if (isBankError(error)) {
        const std::u16string bank = settings.bank.empty() ? systemBankPath() : settings.bank;
        return "the bank '" + utf16ToUtf8(bank) + "' " + errorMessage(error);
    }
    return std::string(errorMessage(error)) + " (opening '" + songPath + "')";
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

PluginHost::~PluginHost() {
    unloadPlugin(loaded_);
    if (!settingsDirectory_.empty()) {
        std::remove(resolvePath(settingsDirectory_, "tz_midi.ini").c_str());
        std::remove(settingsDirectory_.c_str());
    }
}

bool PluginHost::start(const HostOptions& o, std::string& error) {
    if (!hostSettings(o, settings_, error)) return false;
    if (!settings_.noBank.empty()) {
        error = settings_.noBank;
        return false;
    }
    if (settings_.changed) {
        // The plug-in reads the settings file TZ_MIDI_SETTINGS names, in this
        // process only.
        settingsDirectory_ = createTemporaryDirectory("tzmidi-", error);
        if (settingsDirectory_.empty()) return false;
        const std::string file = resolvePath(settingsDirectory_, "tz_midi.ini");
        const std::string text = "# Written by tzmidi for the plug-in it loads.\n" + writeSettings(settings_.settings);
        std::FILE* out = openFileUtf8(file, "wb");
        const bool written = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
        if (out && std::fclose(out) != 0) error = "cannot write '" + file + "'";
        if (!written || !error.empty()) {
            error = "cannot write the settings file '" + file + "'";
            return false;
        }
        setEnvironmentVariable(u"TZ_MIDI_SETTINGS", utf8ToUtf16(file));
    }
    loaded_ = loadPlugin(settings_.pluginPath);
    if (!loaded_.plugin) {
        error = loaded_.error;
        return false;
    }
    return true;
}

std::unique_ptr<Song> PluginHost::open(const std::string& path, std::string& error) {
    IDemuxer* demuxer = static_cast<IDemuxerPlugin*>(loaded_.plugin)->createDemuxer();
    if (!demuxer) {
        error = "the plug-in could not create a demuxer";
        return nullptr;
    }
    auto song = std::make_unique<Song>(demuxer, utf8ToUtf16(path));
    if (!song->open()) {
        // The host boundary answers only false; the library itself tells why.
        Error why = Error::None;
        SongPlayer::open(std::string_view(path), settings_.settings, &why);
        error = describeOpenError(path, settings_.settings, why);
        return nullptr;
    }
    return song;
}

std::string baseName(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace tz
