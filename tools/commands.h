// The tzmidi commands besides `bank` (tools/bank/bank_command.h): each adds
// its part of the command line and returns what runs it.
#pragma once
#include <string>

#include "tools/bank/console.h"

namespace tz {

Command addRenderCommand(CLI::App& app);
Command addInfoCommand(CLI::App& app);

}  // namespace tz
