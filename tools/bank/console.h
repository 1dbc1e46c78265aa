// Terminal output and command-line handling shared by the tzmidi commands:
// one progress line and one way to parse arguments and exit.
#pragma once
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace tz {

// Exit status of every tzmidi command: 0 done, 1 a file could not be read,
// written or played, 2 a bad command line.
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// A command of tzmidi: its part of the command line, and what runs once the
// line has been parsed into the options the command keeps.
struct Command {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

// Parses the command line with app. Returns -1 when the command should run;
// otherwise the exit status to leave with, after printing the help text or
// version (0) or the complaint about the command line (kExitUsage).
int parseCommandLine(CLI::App& app, int argc, const char* const* argv);

// A check for options that take a number of seconds: finite and not negative.
std::string checkSeconds(const std::string& text);

// Gives app the help footer that states the exit statuses, and the error
// message that points at the command's own --help.
void describeExitStatus(CLI::App& app);

// True when standard error is a terminal (progress lines are drawn only there).
bool stderrIsTerminal();

// A bar of `width` characters whose first fraction (0..1) is '#' and the rest
// `empty`.
std::string progressBar(double fraction, int width, char empty = '.');

// "m:ss" (or "h:mm:ss") for a number of seconds.
std::string clockTime(double seconds);

// One line redrawn in place on a terminal: "label [#####.....]  42%  detail".
// Disabled, it draws nothing, so callers need not ask.
class ProgressLine {
public:
    explicit ProgressLine(bool enabled, std::FILE* out = stderr) : enabled_(enabled), out_(out) {}
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;
    ~ProgressLine() { clear(); }

    bool enabled() const { return enabled_; }
    // Redraws the line, at most ten times a second unless forced. A negative
    // fraction leaves out the bar and the percentage.
    void show(std::string_view label, double fraction, std::string_view detail = {}, bool force = false);
    // Erases the line.
    void clear();
    // Prints a whole line to `stream` where the progress line stood; the
    // progress line is drawn again by the next show().
    void print(std::FILE* stream, std::string_view line);
    // Seconds since the line was made.
    double elapsed() const;

private:
    bool enabled_;
    std::FILE* out_;
    size_t shownWidth_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace tz
