#include "instruments/patch_config.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "platform/input_stream.h"
#include "platform/paths.h"

namespace tz {

namespace {

constexpr size_t kShownLineChars = 120;
constexpr int32_t kMaxAmplification = 800;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The line without its comment: '#' at the start of a word begins one.
std::string_view withoutComment(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i)
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return line.substr(0, i);
    return line;
}

// The first word of `rest`, which is left holding what follows it.
std::string_view nextWord(std::string_view& rest) {
    rest = trim(rest);
    size_t end = 0;
    while (end < rest.size() && rest[end] != ' ' && rest[end] != '\t') ++end;
    std::string_view word = rest.substr(0, end);
    rest = trim(rest.substr(end));
    return word;
}

bool parseInt(std::string_view text, int32_t low, int32_t high, int32_t& out) {
    if (text.empty()) return false;
    if (text.front() == '+') text.remove_prefix(1);
    int32_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) return false;
    out = value;
    return true;
}

struct Parser {
    InstrumentConfiguration& config;
    PatchConfigReport& report;
    const ConfigFileReader& reader;
    const std::string& path;
    int depth;
    int32_t lineNumber = 0;
    std::string_view lineText;
    // The bank or drum set program lines go to; none after a bad bank line.
    bool drum = false;
    int32_t bank = 0;
    bool bankValid = true;

    void problem(std::string reason) {
        std::string shown(trim(lineText).substr(0, kShownLineChars));
        report.problems.push_back({path, lineNumber, std::move(shown), std::move(reason)});
    }

    std::string resolved(std::string_view name) const {
        return resolvePath(parentDirectory(path), std::string(name));
    }

    void selectBank(std::string_view keyword, std::string_view rest, bool isDrum) {
        int32_t n = 0;
        if (!parseInt(nextWord(rest), 0, 127, n)) {
            bankValid = false;
            problem(std::string(keyword) + " needs a number 0..127; the lines up to the next bank or drumset are skipped");
            return;
        }
        if (!rest.empty()) problem("only the number is read on a " + std::string(keyword) + " line");
        drum = isDrum;
        bank = n;
        bankValid = true;
    }

    void addDirectory(std::string_view rest) {
        if (rest.empty()) return problem("dir needs a folder");
        const std::string dir = resolved(rest);
        // A folder named again moves to the front.
        std::vector<std::string>& path = config.patchSearchPath;
        path.erase(std::remove(path.begin(), path.end(), dir), path.end());
        if (path.size() >= kMaxPatchDirectories) return problem("too many dir lines");
        addPatchDirectory(config, dir);
    }

    void sourceFile(std::string_view rest) {
        if (rest.empty()) return problem("source needs a file");
        if (depth + 1 > kMaxSourceDepth) return problem("source lines nest too deeply");
        if (int(report.files.size()) >= kMaxConfigFiles) return problem("too many files are sourced");
        const std::string file = resolved(rest);
        std::string text;
        if (!reader(file, text)) return problem("cannot read '" + file + "'");
        report.files.push_back(file);
        parsePatchConfiguration(text, file, config, report, reader, depth + 1);
    }

    // One option of a program line; false (with a problem) when it is not
    // understood.
    bool applyOption(std::string_view option, ToneEntry& entry) {
        const size_t eq = option.find('=');
        if (eq == std::string_view::npos) {
            problem("option '" + std::string(option) + "' is not name=value");
            return false;
        }
        const std::string_view name = option.substr(0, eq), value = option.substr(eq + 1);
        int32_t n = 0;
        if (name == "amp") {
            if (parseInt(value, 0, kMaxAmplification, n)) return entry.amplification = n, true;
            problem("amp must be 0..800 percent");
        } else if (name == "note") {
            if (parseInt(value, 0, 127, n)) return entry.fixedNote = n, true;
            problem("note must be 0..127");
        } else if (name == "pan") {
            if (value == "left") return entry.panning = 0, true;
            if (value == "center" || value == "centre") return entry.panning = 64, true;
            if (value == "right") return entry.panning = 127, true;
            if (parseInt(value, -100, 100, n)) return entry.panning = ((n + 100) * 127 + 100) / 200, true;
            problem("pan must be left, center, right or -100..100");
        } else if (name == "keep") {
            if (value == "loop") return entry.stripLoop = 0, true;
            if (value == "env") return entry.stripEnvelope = 0, true;
            problem("keep must be loop or env");
        } else if (name == "strip") {
            if (value == "loop") return entry.stripLoop = 1, true;
            if (value == "env") return entry.stripEnvelope = 1, true;
            if (value == "tail") return entry.stripTail = 1, true;
            problem("strip must be loop, env or tail");
        } else {
            problem("option '" + std::string(name) + "' is not supported");
        }
        return false;
    }

    void program(std::string_view number, std::string_view rest) {
        int32_t p = 0;
        if (!parseInt(number, 0, 127, p)) return problem("program numbers are 0..127");
        if (!bankValid) return problem("skipped: it follows a bank line that could not be read");
        const std::string_view file = nextWord(rest);
        if (file.empty()) return problem("a program line needs a patch file");
        ToneEntry entry;
        entry.patchName.assign(file);
        entry.fixedNote = entry.amplification = entry.panning = -1;
        entry.stripLoop = entry.stripEnvelope = entry.stripTail = -1;
        while (!rest.empty()) applyOption(nextWord(rest), entry);
        ToneEntry* entries = templateEntries(config, drum, bank);
        if (!entries) return problem("the bank's template cannot take entries");
        entries[p] = std::move(entry);
        ++report.programs;
    }

    void line(std::string_view raw) {
        lineText = raw;
        std::string_view rest = trim(withoutComment(raw));
        if (rest.empty()) return;
        const std::string_view keyword = nextWord(rest);
        if (keyword == "dir") return addDirectory(rest);
        if (keyword == "source") return sourceFile(rest);
        if (keyword == "bank") return selectBank(keyword, rest, false);
        if (keyword == "drumset") return selectBank(keyword, rest, true);
        if (!keyword.empty() && (std::isdigit(uint8_t(keyword[0])) || keyword[0] == '-' || keyword[0] == '+'))
            return program(keyword, rest);
        problem("'" + std::string(keyword) + "' is not supported; the line is skipped");
    }
};

}  // namespace

bool readConfigFileFromDisk(const std::string& path, std::string& text) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, bytes, kMaxConfigFileBytes)) return false;
    text.assign(bytes.begin(), bytes.end());
    return true;
}

void parsePatchConfiguration(std::string_view text, const std::string& path, InstrumentConfiguration& config,
                             PatchConfigReport& report, const ConfigFileReader& reader, int depth) {
    Parser parser{config, report, reader, path, depth, 0, {}, false, 0, true};
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        ++parser.lineNumber;
        parser.line(text.substr(start, end - start));
        start = end + 1;
    }
}

std::shared_ptr<InstrumentConfiguration> readPatchConfiguration(const std::string& path, PatchConfigReport& report,
                                                                const ConfigFileReader& reader) {
    std::string text;
    if (!reader(path, text)) {
        report.problems.push_back({path, 0, {}, "cannot be read"});
        return nullptr;
    }
    auto config = std::make_shared<InstrumentConfiguration>();
    config->patchVolume = kPatchSetVolume;
    addPatchDirectory(*config, "\\PATCHES");
    addPatchDirectory(*config, parentDirectory(path));
    createInstrumentTemplates(*config);
    report.files.push_back(path);
    parsePatchConfiguration(text, path, *config, report, reader, 0);
    return config;
}

}  // namespace tz
