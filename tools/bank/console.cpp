#include "tools/bank/console.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tz {

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

}  // namespace tz
