// tzmidi: a host for the tz_midi plug-in. It loads the library at run time
// and, apart from the bank converter, uses only what a host sees.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "tools/audio_file.h"
#include "tools/bank/bank_command.h"
#include "tools/commands.h"

namespace tz {
namespace {

int run(int argc, const char* const* argv) {
    CLI::App app("Plays, renders and inspects MIDI songs through the tz_midi plug-in.", "tzmidi");
    describeExitStatus(app);  // before the commands, which take the footer over
    app.set_version_flag("--version", std::string("tzmidi " TZ_VERSION "\nplay: ") + playerDescription() +
                                          "\nwrites: " + writableTypes());
    app.require_subcommand(1);
    const std::vector<Command> commands = {addPlayCommand(app), addRenderCommand(app), addInfoCommand(app),
                                           addSettingsCommand(app), addBankCommand(app)};
    if (argc <= 1) {
        std::fputs(app.help().c_str(), stderr);
        return kExitUsage;
    }
    if (argv[1][0] != '-' && !std::any_of(commands.begin(), commands.end(),
                                           [&](const Command& c) { return c.app->get_name() == argv[1]; })) {
        std::fprintf(stderr, "tzmidi: unknown command '%s' (play, render, info, settings or bank; see tzmidi --help)\n", argv[1]);
        return kExitUsage;
    }
    if (int status = parseCommandLine(app, argc, argv); status >= 0) return status;
    for (const Command& command : commands)
        if (command.app->parsed()) return command.run();
    return kExitUsage;
}

int runGuarded(int argc, const char* const* argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tzmidi: %s\n", e.what());
        return kExitFailed;
    }
}

}  // namespace
}  // namespace tz

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(tz::utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    std::vector<const char*> pointers;
    for (const std::string& a : args) pointers.push_back(a.c_str());
    pointers.push_back(nullptr);
    return tz::runGuarded(argc, pointers.data());
}
#else
int main(int argc, char** argv) { return tz::runGuarded(argc, argv); }
#endif
