#include "tools/host_loader.h"

#include <cstdio>

#include "platform/paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace tz {

using GetPluginFn = IPlugin* (*)();

LoadedPlugin loadPlugin(const std::string& path) {
    LoadedPlugin loaded;
#ifdef _WIN32
    std::u16string wide = utf8ToUtf16(path);
    HMODULE module = LoadLibraryW(reinterpret_cast<const wchar_t*>(wide.c_str()));
    if (!module) {
        loaded.error = "cannot load the plug-in library '" + path + "' (error " + std::to_string(GetLastError()) + ")";
        return loaded;
    }
    auto get = reinterpret_cast<GetPluginFn>(reinterpret_cast<void*>(GetProcAddress(module, "tzGetPlugin")));
#else
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = dlerror();
        loaded.error = "cannot load the plug-in library '" + path + "': " + (why ? why : "unknown error");
        return loaded;
    }
    auto get = reinterpret_cast<GetPluginFn>(dlsym(module, "tzGetPlugin"));
#endif
    loaded.module = module;
    if (!get) {
        loaded.error = "'" + path + "' does not export tzGetPlugin";
        unloadPlugin(loaded);
        return loaded;
    }
    loaded.plugin = get();
    if (!loaded.plugin) {
        loaded.error = "tzGetPlugin returned no plug-in";
        unloadPlugin(loaded);
    }
    return loaded;
}

void unloadPlugin(LoadedPlugin& loaded) {
    if (loaded.plugin) loaded.plugin->release();
    loaded.plugin = nullptr;
    if (loaded.module) {
#ifdef _WIN32
        FreeLibrary(static_cast<HMODULE>(loaded.module));
#else
        dlclose(loaded.module);
#endif
    }
    loaded.module = nullptr;
}

std::string executableDirectory() {
#ifdef _WIN32
    wchar_t buffer[4096];
    DWORD n = GetModuleFileNameW(nullptr, buffer, 4096);
    std::u16string path(reinterpret_cast<const char16_t*>(buffer), n);
    size_t cut = path.find_last_of(u"\\/");
    return cut == std::u16string::npos ? std::string() : utf16ToUtf8(path.substr(0, cut + 1));
#else
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "./";
    std::string path(buffer, size_t(n));
    size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? std::string("./") : path.substr(0, cut + 1);
#endif
}

std::string defaultPluginPath() {
    const std::string here = executableDirectory();
    const std::string beside = here + kPluginFileName;
    if (std::FILE* f = openFileUtf8(beside, "rb")) {
        std::fclose(f);
        return beside;
    }
#ifdef TZ_PLUGIN_FROM_BIN
    return here + TZ_PLUGIN_FROM_BIN + "/" + kPluginFileName;
#else
    return beside;
#endif
}

}  // namespace tz
