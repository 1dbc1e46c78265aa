// Loading the plug-in library at run time and the host-side objects a host
// hands to it.
#pragma once
#include <string>

#include "plugin/host_abi.h"

namespace tz {

#ifdef _WIN32
inline constexpr const char* kPluginFileName = "tz_midi.dll";
#else
inline constexpr const char* kPluginFileName = "tz_midi.so";
#endif

// The host's source object: slot 10 returns the path it was made with.
class HostSource final : public ISource {
public:
    explicit HostSource(std::u16string path) : path_(std::move(path)) {}
    void hostSlot0() override {}
    void hostSlot1() override {}
    void hostSlot2() override {}
    void hostSlot3() override {}
    void hostSlot4() override {}
    void hostSlot5() override {}
    void hostSlot6() override {}
    void hostSlot7() override {}
    void hostSlot8() override {}
    void hostSlot9() override {}
    const HostChar* path() override { return path_.c_str(); }

private:
    std::u16string path_;
};

struct LoadedPlugin {
    void* module = nullptr;
    IPlugin* plugin = nullptr;
    std::string error;
};

// Loads the library at path (UTF-8) and calls its tzGetPlugin.
LoadedPlugin loadPlugin(const std::string& path);
void unloadPlugin(LoadedPlugin& loaded);

// Directory of the running executable, with a trailing separator.
std::string executableDirectory();

// The plug-in library tzmidi loads when none is named: the one next to the
// executable (a build tree), else the one in the installed library folder.
std::string defaultPluginPath();

}  // namespace tz
