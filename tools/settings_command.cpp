// `tzmidi settings`: what the plug-in will play with. Every key's value and
// where it comes from (the default, a settings file and line, the command
// line), then every line of the settings file and of the patch
// configuration that could not be used, with the reason.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "instruments/patch_config.h"
#include "platform/paths.h"
#include "tools/commands.h"
#include "tools/host_session.h"

namespace tz {

namespace {

struct SettingsOptions {
    HostOptions host;
};

int showSettings(SettingsOptions o) {
    // What the plug-in plays with as any host loads it.
    o.host.listenerSound = SoundProfile::Classic;
    HostSettings s;
    std::string error;
    if (!hostSettings(o.host, s, error)) {
        std::fprintf(stderr, "tzmidi settings: %s\n", error.c_str());
        return kExitFailed;
    }
    if (s.location.path.empty())
        std::printf("settings file: none (TZ_MIDI_SETTINGS, tz_midi.ini next to the plug-in, the user's file)\n");
    else
        std::printf("settings file: %s (%s)\n", s.location.path.c_str(), s.location.how.c_str());
    for (int k = 0; k < kSettingKeyCount; ++k) {
        const SettingKey key = SettingKey(k);
        std::printf("%s = %s  (%s)\n", settingName(key), settingValue(s.settings, key).c_str(),
                    s.origins[size_t(k)].c_str());
    }

    size_t unusable = 0;
    if (!s.noBank.empty()) {
        ++unusable;
        std::printf("%s\n", s.noBank.c_str());
    }
    for (const SettingsProblem& p : s.file.problems) {
        ++unusable;
        if (p.line > 0)
            std::printf("%s:%d: %s: %s\n", s.file.path.c_str(), p.line, p.reason.c_str(), p.text.c_str());
        else
            std::printf("%s: %s\n", s.file.path.c_str(), p.reason.c_str());
    }
    if (!s.settings.patches.empty()) {
        PatchConfigReport report;
        const bool read = readPatchConfiguration(utf16ToUtf8(s.settings.patches), report) != nullptr;
        if (read)
            std::printf("patches: %d programs and drum notes name a patch, in %zu file(s)\n", report.programs,
                        report.files.size());
        for (const PatchConfigProblem& p : report.problems) {
            ++unusable;
            if (p.line > 0)
                std::printf("%s:%d: %s: %s\n", p.file.c_str(), p.line, p.reason.c_str(), p.text.c_str());
            else
                std::printf("%s: %s\n", p.file.c_str(), p.reason.c_str());
        }
    }
    return unusable > 0 ? kExitFailed : 0;
}

}  // namespace

Command addSettingsCommand(CLI::App& app) {
    auto o = std::make_shared<SettingsOptions>();
    CLI::App* cmd = app.add_subcommand(
        "settings", "show the settings the plug-in plays with, where each comes from, and the lines it cannot use");
    addHostOptions(*cmd, o->host);
    return {cmd, [o] { return showSettings(*o); }};
}

}  // namespace tz
