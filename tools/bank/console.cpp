#include "tools/bank/console.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tz {

int parseCommandLine(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
        return -1;
    } catch (const CLI::ParseError& e) {
        // CLI11 gives each kind of mistake its own status; tzmidi has one.
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }
}

void describeExitStatus(CLI::App& app) {
    app.footer("Exit status: 0 done, 1 a file could not be read, written or played, 2 a bad command line.");
    // The message names the command the mistake was made in: "tzmidi render".
    app.failure_message([](const CLI::App* top, const CLI::Error& e) {
        std::string command = top->get_name();
        for (const CLI::App* a = top; !a->get_subcommands().empty();) {
            a = a->get_subcommands().front();
            command += " " + a->get_name();
        }
        return command + ": " + e.what() + "\nRun '" + command + " --help' for more information.\n";
    });
}

std::string checkSeconds(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value < 0)
        return "needs a number of seconds, not '" + text + "'";
    return {};
}

bool stderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

std::string progressBar(double fraction, int width, char empty) {
    int filled = std::clamp(int(fraction * width), 0, width);
    std::string bar(size_t(filled), '#');
    bar.append(size_t(width - filled), empty);
    return bar;
}

std::string clockTime(double seconds) {
    long total = std::isfinite(seconds) && seconds > 0 ? long(seconds) : 0;
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

namespace {

// The first `limit` characters of UTF-8 text, never cutting one in half.
std::string_view firstCharacters(std::string_view text, size_t limit) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((uint8_t(text[i]) & 0xC0) == 0x80) continue;
        if (count++ == limit) return text.substr(0, i);
    }
    return text;
}

// Characters a terminal shows in one column each, near enough.
size_t columns(std::string_view text) {
    return size_t(std::count_if(text.begin(), text.end(), [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

}  // namespace

void ProgressLine::show(std::string_view label, double fraction, std::string_view detail, bool force) {
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && shownWidth_ > 0 && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    // Kept within 79 columns so that the line never wraps and \r returns to it.
    std::string line(firstCharacters(label, 28));
    if (fraction >= 0) {
        char percent[16];
        std::snprintf(percent, sizeof percent, " %3d%%", int(std::clamp(fraction, 0.0, 1.0) * 100.0));
        line += " [" + progressBar(fraction, 24) + "]" + percent;
    }
    if (!detail.empty()) line += "  " + std::string(detail);
    line = std::string(firstCharacters(line, 79));
    const size_t width = columns(line);
    if (width < shownWidth_) line.append(shownWidth_ - width, ' ');
    std::fprintf(out_, "\r%s", line.c_str());
    std::fflush(out_);
    shownWidth_ = std::max<size_t>(width, 1);
}

void ProgressLine::clear() {
    if (!enabled_ || shownWidth_ == 0) return;
    std::fprintf(out_, "\r%*s\r", int(shownWidth_), "");
    std::fflush(out_);
    shownWidth_ = 0;
}

void ProgressLine::print(std::FILE* stream, std::string_view line) {
    clear();
    std::fprintf(stream, "%.*s\n", int(line.size()), line.data());
    std::fflush(stream);
}

double ProgressLine::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

}  // namespace tz
