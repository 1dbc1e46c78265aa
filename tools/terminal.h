// The player's terminal: keys typed without Enter, a terminal that is always
// put back, and signals that stop the player instead of killing it.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace tz {

enum class PlayerKey { Pause, Back10, Forward10, Back60, Forward60, Next, Previous, Quit };

// Turns what is typed into player keys: space, q, n, p and the arrow keys,
// which arrive as escape sequences, possibly split across reads.
class KeyDecoder {
public:
    void feed(std::string_view typed, std::vector<PlayerKey>& keys);

private:
    std::string pending_;
};

// The POSIX terminal pieces below exist where the player does.
#ifndef _WIN32

// True when standard input is a terminal this process may read keys from
// (it is in the terminal's foreground).
bool keysFromTerminal();
bool stdoutIsTerminal();

// While it lives, keys reach the program without Enter and without echo, and
// the cursor is hidden. The terminal is put back when it ends, and at exit.
class RawTerminal {
public:
    RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;
    ~RawTerminal();

    // What is typed within the time; empty when nothing is, or when a signal
    // arrived.
    std::string waitForTyping(int milliseconds);
};

// While it lives, Ctrl-C, Ctrl-\, SIGTERM and SIGHUP only set a flag, so the
// player can close the device and put the terminal back before it ends.
class StopSignals {
public:
    StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    ~StopSignals();

    // The signal that arrived, or 0.
    static int caught();
    // Ends the process by that signal, as shells expect of a program
    // stopped by one; call once everything is put back.
    static void endByCaughtSignal();
};

#endif

}  // namespace tz
