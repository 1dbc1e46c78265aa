// Terminal output shared by the tzmidi commands.
#pragma once
#include <string>

namespace tz {

// True when standard error is a terminal (progress bars are drawn only there).
bool stderrIsTerminal();

// A bar of `width` characters whose first fraction (0..1) is '#' and the rest
// `empty`.
std::string progressBar(double fraction, int width, char empty);

}  // namespace tz
