#include "instruments/patch_path.h"

#include "platform/paths.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace tz {

namespace {

// Opens a UTF-8 path through the platform's path mapping. Only regular
// files count: a directory that happens to carry the name is not a patch.
FileHandle openNarrowPath(const std::string& path) {
    FileHandle file(openFileUtf16(utf8ToUtf16(path)));
#ifndef _WIN32
    if (file) {
        struct stat st;
        if (::fstat(::fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) file.reset();
    }
#endif
    return file;
}

}  // namespace

FileHandle openPatchFile(const PatchSearchPath& searchPath, const std::string& name) {
    // A name holding a zero byte could only be opened cut short.
    if (name.empty() || name.find('\0') != std::string::npos) return nullptr;
    if (FileHandle file = openNarrowPath(name)) return file;
    if (name[0] == '\\') return nullptr;
    for (const std::string& directory : searchPath) {
        std::string candidate = directory;
        if (!candidate.empty() && candidate.back() != '\\') candidate += '\\';
        candidate += name;
        if (candidate.size() >= kMaxPatchPath) continue;
        if (FileHandle file = openNarrowPath(candidate)) return file;
    }
    return nullptr;
}

}  // namespace tz
