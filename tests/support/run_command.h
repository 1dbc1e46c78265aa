// Runs a shell command the way a user would, for the tests of tzmidi and the
// installed layout (POSIX shells only).
#pragma once
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace tz::test {

struct CommandResult {
    int status = -1;     // the exit status; -1 when the command did not exit normally
    std::string output;  // standard output and error together
};

inline CommandResult runCommand(const std::string& command) {
    CommandResult r;
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
    const int status = ::pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace tz::test
