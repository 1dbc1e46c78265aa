// File access the way the plug-in needs it on every platform: opening by
// UTF-16 path, environment expansion, and mapping Windows-style paths onto a
// POSIX file system.
#pragma once
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace tz {

// UTF conversions. Unpaired surrogates and malformed sequences become U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);
std::u16string utf8ToUtf16(std::string_view text);

// Opens a file for binary reading while other readers may share it. The
// UTF-16 path is used as is on Windows; on POSIX it is converted to UTF-8 and
// mapped with mapPlatformPath. Null when the file cannot be opened.
std::FILE* openFileUtf16(std::u16string_view path);
// True when openFileUtf16 would open the file (it is opened and closed).
bool canOpenFileUtf16(std::u16string_view path);
// The same for a narrow path (patch files).
std::FILE* openFileNarrow(const std::string& path);

// Opens a file named by a UTF-8 path as written (no mapping), with an fopen
// mode: the host tools' own input and output files, whatever the platform's
// narrow code page.
std::FILE* openFileUtf8(const std::string& path, const char* mode);

// Expands %NAME% references from the environment. Unknown or unterminated
// references stay as written. The result is cut to fit a buffer of
// bufferChars characters including the terminator.
std::u16string expandEnvironmentStrings(std::u16string_view text, size_t bufferChars = 255);

// Creates a new, private folder in the system's temporary folder, named
// `prefix` and something unique. Returns its UTF-8 path (no trailing
// separator), or an empty string with `error` saying why.
std::string createTemporaryDirectory(const std::string& prefix, std::string& error);

// The value of an environment variable as the process has it now (on
// Windows from the process's environment block, which a library's own C
// runtime does not copy); empty when it is not set.
std::optional<std::u16string> environmentVariable(std::u16string_view name);
// Sets a variable for this process and the libraries it loads.
bool setEnvironmentVariable(std::u16string_view name, std::u16string_view value);

// Expands environment references the way a user writes them: %NAME% on
// every platform, and on POSIX also $NAME, ${NAME} and a leading ~/.
// Unknown references stay as written.
std::u16string expandUserPath(std::u16string_view path);

// Paths as UTF-8 text, either separator accepted. A path is absolute when it
// starts with a separator, or on Windows with a drive ("C:").
bool isAbsolutePath(std::string_view path);
// The folder a path names a file in ("" for a bare name, "/" for "/x").
std::string parentDirectory(std::string_view path);
// `path` taken against the folder `base` unless it is absolute.
std::string resolvePath(std::string_view base, std::string_view path);

// `path` taken against the working folder unless it is absolute.
std::string absolutePath(std::string_view path);

// The folder of the module (executable or library) holding `address`, as a
// UTF-8 path; empty when the system cannot tell.
std::string moduleDirectory(const void* address);

// The user's folder for settings: %APPDATA% on Windows, $XDG_CONFIG_HOME or
// ~/.config elsewhere; empty when none is known.
std::string userConfigDirectory();

// POSIX: backslashes become slashes, and every path component that does not
// exist as written is looked up case-insensitively in its directory. The path
// is returned unchanged elsewhere.
std::string mapPlatformPath(const std::string& path);

}  // namespace tz
