#include "song/settings.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <optional>

#include "platform/byte_source.h"
#include "platform/input_stream.h"
#include "platform/paths.h"

namespace tz {

namespace {

constexpr size_t kShownLineChars = 120;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string lowerCase(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return out;
}

// A value without a trailing comment ('#' after a space) and without the
// quotes around it.
std::string_view bareValue(std::string_view value) {
    for (size_t i = 1; i < value.size(); ++i)
        if (value[i] == '#' && (value[i - 1] == ' ' || value[i - 1] == '\t')) {
            value = value.substr(0, i);
            break;
        }
    value = trim(value);
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
        value = value.substr(1, value.size() - 2);
    return value;
}

// A file path as a key takes it: references expanded, taken against the
// settings file's folder, and openable.
bool parseFilePath(std::string_view value, const std::string& baseDirectory, std::u16string& out, std::string& why) {
    if (value.empty()) {
        why = "needs a file";
        return false;
    }
    std::u16string expanded = expandUserPath(utf8ToUtf16(value));
    std::string path = resolvePath(baseDirectory, utf16ToUtf8(expanded));
    std::u16string wide = utf8ToUtf16(path);
    if (!FileSource::open(wide)) {
        why = "cannot open '" + path + "'";
        return false;
    }
    out = std::move(wide);
    return true;
}

bool parseNumber(std::string_view value, double low, double high, double& out, std::string& why) {
    double v = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), v);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() || !(v >= low && v <= high)) {
        char range[64];
        std::snprintf(range, sizeof range, "must be a number from %g to %g", low, high);
        why = range;
        return false;
    }
    out = v;
    return true;
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

struct KeyRule {
    SettingKey key;
    const char* name;
    bool (*parse)(std::string_view value, const std::string& baseDirectory, Settings& settings, std::string& why);
    std::string (*show)(const Settings& settings);
    bool (*isDefault)(const Settings& settings);
};

constexpr KeyRule kRules[kSettingKeyCount] = {
    {SettingKey::Bank, "bank",
     [](std::string_view v, const std::string& base, Settings& s, std::string& why) {
         return parseFilePath(v, base, s.bank, why);
     },
     [](const Settings& s) { return s.bank.empty() ? std::string("(the system's bank)") : utf16ToUtf8(s.bank); },
     [](const Settings& s) { return s.bank.empty(); }},
    {SettingKey::Patches, "patches",
     [](std::string_view v, const std::string& base, Settings& s, std::string& why) {
         return parseFilePath(v, base, s.patches, why);
     },
     [](const Settings& s) { return s.patches.empty() ? std::string("(none)") : utf16ToUtf8(s.patches); },
     [](const Settings& s) { return s.patches.empty(); }},
    {SettingKey::Sound, "sound",
     [](std::string_view v, const std::string&, Settings& s, std::string& why) {
         const std::string lower = lowerCase(v);
         if (lower == "classic") s.sound = SoundProfile::Classic;
         else if (lower == "standard") s.sound = SoundProfile::Standard;
         else return why = "must be classic or standard", false;
         return true;
     },
     [](const Settings& s) { return std::string(s.sound == SoundProfile::Standard ? "standard" : "classic"); },
     [](const Settings& s) { return s.sound == SoundProfile::Classic; }},
    {SettingKey::Voices, "voices",
     [](std::string_view v, const std::string&, Settings& s, std::string& why) {
         double n = 0;
         if (!parseNumber(v, kMinVoices, kMaxVoiceSetting, n, why) || n != double(int32_t(n)))
             return why = "must be a whole number from 16 to 256", false;
         s.voices = int32_t(n);
         return true;
     },
     [](const Settings& s) { return s.voices == 0 ? std::string("(32 classic, 64 standard)") : std::to_string(s.voices); },
     [](const Settings& s) { return s.voices == 0; }},
    {SettingKey::Tail, "tail",
     [](std::string_view v, const std::string&, Settings& s, std::string& why) {
         return parseNumber(v, 0.0, kMaxTailSeconds, s.tail, why);
     },
     [](const Settings& s) { return number(s.tail); },
     [](const Settings& s) { return s.tail == kDefaultTailSeconds; }},
    {SettingKey::Reverb, "reverb",
     [](std::string_view v, const std::string&, Settings& s, std::string& why) {
         return parseNumber(v, 0.0, 1.0, s.reverb, why);
     },
     [](const Settings& s) { return s.reverb < 0 ? std::string("(default)") : number(s.reverb); },
     [](const Settings& s) { return s.reverb < 0; }},
    {SettingKey::Chorus, "chorus",
     [](std::string_view v, const std::string&, Settings& s, std::string& why) {
         return parseNumber(v, 0.0, 1.0, s.chorus, why);
     },
     [](const Settings& s) { return s.chorus < 0 ? std::string("(default)") : number(s.chorus); },
     [](const Settings& s) { return s.chorus < 0; }},
};

const KeyRule& rule(SettingKey key) { return kRules[size_t(key)]; }

const KeyRule* findRule(std::string_view name) {
    const std::string lower = lowerCase(name);
    for (const KeyRule& r : kRules)
        if (lower == r.name) return &r;
    return nullptr;
}

// Whether a file exists at a UTF-8 path, as the plug-in opens files.
bool fileExists(const std::string& path) { return !path.empty() && FileSource::open(utf8ToUtf16(path)) != nullptr; }

}  // namespace

const char* settingName(SettingKey key) { return rule(key).name; }

std::string settingValue(const Settings& settings, SettingKey key) { return rule(key).show(settings); }

SettingsFile parseSettings(std::string_view text, const std::string& path) {
    SettingsFile file;
    file.path = path;
    const std::string base = parentDirectory(path);
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    int32_t number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        ++number;
        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#' || line.front() == ';') continue;
        auto problem = [&](std::string reason) {
            file.problems.push_back({number, std::string(line.substr(0, kShownLineChars)), std::move(reason)});
        };
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            problem("not a 'key = value' line");
            continue;
        }
        const std::string_view name = trim(line.substr(0, eq));
        const KeyRule* r = findRule(name);
        if (!r) {
            problem("unknown key '" + std::string(name) + "'");
            continue;
        }
        Settings parsed = file.settings;
        std::string why;
        if (!r->parse(bareValue(line.substr(eq + 1)), base, parsed, why)) {
            problem(std::string(r->name) + " " + why + "; it keeps its default");
            continue;
        }
        file.settings = std::move(parsed);
        file.lines[size_t(r->key)] = number;
    }
    return file;
}

SettingsFile readSettingsFile(const std::string& path) {
    std::unique_ptr<FileSource> source = FileSource::open(utf8ToUtf16(path));
    std::string text;
    bool read = false;
    if (source && source->size() <= kMaxSettingsFileBytes) {
        text.resize(size_t(source->size()));
        read = source->read(0, text.data(), text.size());
    }
    if (!read) {
        SettingsFile file;
        file.path = path;
        file.problems.push_back({0, {}, source ? "is larger than 64 KB; it is not read" : "cannot be opened"});
        return file;
    }
    return parseSettings(text, path);
}

SettingsLocation locateSettings(const std::string& libraryDirectory) {
    if (std::optional<std::u16string> named = environmentVariable(u"TZ_MIDI_SETTINGS"); named && !named->empty())
        return {utf16ToUtf8(*named), "named by TZ_MIDI_SETTINGS"};
    if (!libraryDirectory.empty()) {
        std::string beside = resolvePath(libraryDirectory, "tz_midi.ini");
        if (fileExists(beside)) return {beside, "next to the plug-in"};
    }
    std::string user = userConfigDirectory();
    if (!user.empty()) {
        std::string own = resolvePath(resolvePath(user, "tz_midi"), "tz_midi.ini");
        if (fileExists(own)) return {own, "the user's settings"};
    }
    return {};
}

std::shared_ptr<const SettingsFile> currentSettings(const std::string& libraryDirectory) {
    static std::mutex mutex;
    static std::string cachedPath;
    static FileIdentity cachedIdentity;
    static std::shared_ptr<const SettingsFile> cached;

    const SettingsLocation where = locateSettings(libraryDirectory);
    std::optional<FileIdentity> identity;
    if (!where.path.empty())
        if (std::unique_ptr<FileSource> f = FileSource::open(utf8ToUtf16(where.path))) identity = f->identity();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cached && cachedPath == where.path && identity.value_or(FileIdentity{}) == cachedIdentity) return cached;
    }
    std::shared_ptr<const SettingsFile> fresh =
        where.path.empty() ? std::make_shared<SettingsFile>() : std::make_shared<SettingsFile>(readSettingsFile(where.path));
    std::lock_guard<std::mutex> lock(mutex);
    cachedPath = where.path;
    cachedIdentity = identity.value_or(FileIdentity{});
    cached = fresh;
    return fresh;
}

std::shared_ptr<const SettingsFile> settingsOfModule(const void* address) {
    static const std::string directory = moduleDirectory(address);
    return currentSettings(directory);
}

std::string writeSettings(const Settings& settings) {
    std::string text;
    for (const KeyRule& r : kRules) {
        if (r.isDefault(settings)) continue;
        text += r.name;
        // Quoted, so that a " #" in a path is not taken for a comment.
        text += " = \"";
        text += r.show(settings);
        text += "\"\n";
    }
    return text;
}

}  // namespace tz
