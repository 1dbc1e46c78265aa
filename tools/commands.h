// The tzmidi commands besides `bank` (tools/bank/bank_command.h): each adds
// its part of the command line and returns what runs it.
#pragma once
#include <string>

#include "tools/bank/console.h"

namespace tz {

Command addPlayCommand(CLI::App& app);
Command addRenderCommand(CLI::App& app);
Command addInfoCommand(CLI::App& app);
Command addSettingsCommand(CLI::App& app);

// How this build plays, for --version: "SDL 2.26.5", or why it cannot.
std::string playerDescription();

}  // namespace tz
