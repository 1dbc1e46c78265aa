#include "tools/terminal.h"

#ifndef _WIN32
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#endif

namespace tz {

void KeyDecoder::feed(std::string_view typed, std::vector<PlayerKey>& keys) {
    pending_.append(typed);
    size_t i = 0;
    while (i < pending_.size()) {
        const char c = pending_[i];
        if (c != '\x1b') {
            switch (c) {
            case ' ': keys.push_back(PlayerKey::Pause); break;
            case 'q': case 'Q': keys.push_back(PlayerKey::Quit); break;
            case 'n': case 'N': keys.push_back(PlayerKey::Next); break;
            case 'p': case 'P': keys.push_back(PlayerKey::Previous); break;
            default: break;
            }
            ++i;
            continue;
        }
        // ESC [ or ESC O, parameters, then the final byte: A up, B down,
        // C right, D left (ESC [ 1 ; 5 C with a modifier held).
        if (i + 1 >= pending_.size()) break;
        if (pending_[i + 1] != '[' && pending_[i + 1] != 'O') {
            ++i;  // a lone Escape
            continue;
        }
        size_t end = i + 2;
        while (end < pending_.size() && uint8_t(pending_[end]) >= 0x20 && uint8_t(pending_[end]) < 0x40) ++end;
        if (end >= pending_.size()) break;
        switch (pending_[end]) {
        case 'A': keys.push_back(PlayerKey::Forward60); break;
        case 'B': keys.push_back(PlayerKey::Back60); break;
        case 'C': keys.push_back(PlayerKey::Forward10); break;
        case 'D': keys.push_back(PlayerKey::Back10); break;
        default: break;
        }
        i = end + 1;
    }
    pending_.erase(0, i);
    // An unfinished sequence never grows without end.
    if (pending_.size() > 16) pending_.clear();
}

#ifndef _WIN32

namespace {

termios gSaved;
bool gRaw = false;
bool gCursorHidden = false;
volatile std::sig_atomic_t gCaught = 0;

void restoreTerminal() {
    if (gCursorHidden) {
        (void)!::write(STDOUT_FILENO, "\x1b[?25h", 6);
        gCursorHidden = false;
    }
    if (gRaw) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &gSaved);
        gRaw = false;
    }
}

void onStopSignal(int signal) { gCaught = signal; }

constexpr int kStopSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
struct sigaction gPrevious[4];
struct sigaction gPreviousPipe;

}  // namespace

bool keysFromTerminal() { return ::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp(); }

bool stdoutIsTerminal() { return ::isatty(STDOUT_FILENO) != 0; }

RawTerminal::RawTerminal() {
    static bool registered = false;
    if (!registered) std::atexit(restoreTerminal);
    registered = true;
    if (::tcgetattr(STDIN_FILENO, &gSaved) != 0) return;
    termios raw = gSaved;
    raw.c_lflag &= tcflag_t(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    gRaw = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    if (stdoutIsTerminal()) {
        gCursorHidden = true;
        (void)!::write(STDOUT_FILENO, "\x1b[?25l", 6);
    }
}

RawTerminal::~RawTerminal() { restoreTerminal(); }

std::string RawTerminal::waitForTyping(int milliseconds) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (::poll(&in, 1, milliseconds) <= 0 || !(in.revents & POLLIN)) return {};
    char buffer[64];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

StopSignals::StopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a wait ends when a signal comes
    for (size_t i = 0; i < 4; ++i) ::sigaction(kStopSignals[i], &action, &gPrevious[i]);
    // With standard output gone (a closed pipe) the player still stops cleanly.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &gPreviousPipe);
}

StopSignals::~StopSignals() {
    for (size_t i = 0; i < 4; ++i) ::sigaction(kStopSignals[i], &gPrevious[i], nullptr);
    ::sigaction(SIGPIPE, &gPreviousPipe, nullptr);
}

int StopSignals::caught() { return gCaught; }

void StopSignals::endByCaughtSignal() {
    const int signal = gCaught;
    if (signal == 0) return;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

#endif

}  // namespace tz
