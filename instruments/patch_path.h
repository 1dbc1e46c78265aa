// Finding patch files along the patch search path.
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace tz {

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file) std::fclose(file);
    }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Directories searched for patch files, in order.
using PatchSearchPath = std::vector<std::string>;

// Opens a patch file for binary reading: the name (UTF-8) as given first,
// then (for a name not starting with a backslash) each directory of the
// search path in order, joined to the name with a backslash. Null when
// nothing opens. Candidates that would not fit in kMaxPatchPath bytes
// (terminator included) are skipped.
FileHandle openPatchFile(const PatchSearchPath& searchPath, const std::string& name);

constexpr size_t kMaxPatchPath = 1024;

}  // namespace tz
