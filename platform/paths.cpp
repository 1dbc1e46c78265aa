#include "platform/paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/utf8.h"

#ifdef _WIN32
#include <share.h>
#include <windows.h>
#else
#include <climits>
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tz {

namespace {

constexpr char32_t kReplacement = kReplacementCharacter;

#ifndef _WIN32
// Simple case folding: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic
// capitals map to their small letters.
char32_t foldCase(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x100 && c <= 0x137 && !(c & 1)) return c + 1;
    if (c >= 0x139 && c <= 0x148 && (c & 1)) return c + 1;
    if (c >= 0x14A && c <= 0x177 && !(c & 1)) return c + 1;
    if (c == 0x178) return 0xFF;
    if (c >= 0x179 && c <= 0x17E && (c & 1)) return c + 1;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

std::u32string folded(std::string_view text) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) out += foldCase(decodeUtf8(text, i));
    return out;
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Finds an entry of dir whose name equals name without regard to case.
bool findCaseInsensitive(const std::string& dir, const std::string& name, std::string& found) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return false;
    std::u32string want = folded(name);
    bool ok = false;
    while (dirent* e = ::readdir(d)) {
        if (folded(e->d_name) == want) {
            found = e->d_name;
            ok = true;
            break;
        }
    }
    ::closedir(d);
    return ok;
}
#endif

}  // namespace

std::string utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
                ++i;
            } else {
                c = kReplacement;
            }
        } else if (c >= 0xDC00 && c < 0xE000) {
            c = kReplacement;
        }
        appendUtf8(out, c);
    }
    return out;
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t c = decodeUtf8(text, i);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

std::u16string expandEnvironmentStrings(std::u16string_view text, size_t bufferChars) {
    std::u16string out;
#ifdef _WIN32
    std::wstring in(text.begin(), text.end());
    DWORD need = ExpandEnvironmentStringsW(in.c_str(), nullptr, 0);
    if (need == 0) return out;
    std::wstring buffer(need, L'\0');
    DWORD got = ExpandEnvironmentStringsW(in.c_str(), buffer.data(), need);
    if (got == 0 || got > need) return out;
    buffer.resize(got - 1);
    out.assign(buffer.begin(), buffer.end());
#else
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == u'%') {
            size_t close = text.find(u'%', i + 1);
            if (close == std::u16string_view::npos) {
                out.append(text.substr(i));
                break;
            }
            std::string name = utf16ToUtf8(text.substr(i + 1, close - i - 1));
            const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
            if (value) {
                out += utf8ToUtf16(value);
                i = close + 1;
            } else {
                // Not a variable: the first percent sign stays and the second
                // may open the next reference.
                out.append(text.substr(i, close - i));
                i = close;
            }
        } else {
            out += text[i++];
        }
    }
#endif
    if (bufferChars == 0) return {};
    if (out.size() > bufferChars - 1) out.resize(bufferChars - 1);
    return out;
}

std::optional<std::u16string> environmentVariable(std::u16string_view name) {
#ifdef _WIN32
    std::wstring wide(name.begin(), name.end());
    DWORD need = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (need == 0) return std::nullopt;
    std::wstring value(need, L'\0');
    DWORD got = GetEnvironmentVariableW(wide.c_str(), value.data(), need);
    if (got >= need) return std::nullopt;
    value.resize(got);
    return std::u16string(value.begin(), value.end());
#else
    const char* value = std::getenv(utf16ToUtf8(name).c_str());
    if (!value) return std::nullopt;
    return utf8ToUtf16(value);
#endif
}

bool setEnvironmentVariable(std::u16string_view name, std::u16string_view value) {
#ifdef _WIN32
    std::wstring n(name.begin(), name.end()), v(value.begin(), value.end());
    return SetEnvironmentVariableW(n.c_str(), v.c_str()) != 0;
#else
    return ::setenv(utf16ToUtf8(name).c_str(), utf16ToUtf8(value).c_str(), 1) == 0;
#endif
}

std::u16string expandUserPath(std::u16string_view path) {
    std::u16string out = expandEnvironmentStrings(path, 32768);
#ifndef _WIN32
    std::u16string expanded;
    size_t i = 0;
    if (out.size() >= 2 && out[0] == u'~' && out[1] == u'/') {
        if (std::optional<std::u16string> home = environmentVariable(u"HOME")) {
            expanded = *home;
            i = 1;
        }
    }
    auto nameChar = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'_'; };
    while (i < out.size()) {
        if (out[i] == u'$' && i + 1 < out.size()) {
            const bool braced = out[i + 1] == u'{';
            size_t start = i + (braced ? 2 : 1), end = start;
            while (end < out.size() && nameChar(out[end])) ++end;
            const bool closed = !braced || (end < out.size() && out[end] == u'}');
            if (end > start && closed) {
                if (std::optional<std::u16string> value = environmentVariable(out.substr(start, end - start))) {
                    expanded += *value;
                    i = end + (braced ? 1 : 0);
                    continue;
                }
            }
        }
        expanded += out[i++];
    }
    out = std::move(expanded);
#endif
    return out;
}

namespace {
bool isSeparator(char c) { return c == '/' || c == '\\'; }
}  // namespace

bool isAbsolutePath(std::string_view path) {
    if (!path.empty() && isSeparator(path[0])) return true;
#ifdef _WIN32
    if (path.size() >= 2 && path[1] == ':' && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z')) return true;
#endif
    return false;
}

std::string parentDirectory(std::string_view path) {
    size_t cut = path.size();
    while (cut > 0 && !isSeparator(path[cut - 1])) --cut;
    if (cut == 0) return {};
    size_t end = cut - 1;
    while (end > 0 && isSeparator(path[end - 1])) --end;
    if (end == 0) return std::string(path.substr(0, 1));  // the root
#ifdef _WIN32
    if (end == 2 && path[1] == ':') return std::string(path.substr(0, 3));  // the drive's root
#endif
    return std::string(path.substr(0, end));
}

std::string resolvePath(std::string_view base, std::string_view path) {
    if (path.empty() || base.empty() || isAbsolutePath(path)) return std::string(path);
    std::string out(base);
    if (!isSeparator(out.back())) {
#ifdef _WIN32
        out += '\\';
#else
        out += '/';
#endif
    }
    out += path;
    return out;
}

std::string absolutePath(std::string_view path) {
    if (path.empty() || isAbsolutePath(path)) return std::string(path);
#ifdef _WIN32
    wchar_t wide[MAX_PATH + 1];
    DWORD n = GetCurrentDirectoryW(MAX_PATH + 1, wide);
    if (n == 0 || n > MAX_PATH) return std::string(path);
    return resolvePath(utf16ToUtf8(std::u16string(wide, wide + n)), path);
#else
    char buffer[PATH_MAX];
    if (!::getcwd(buffer, sizeof buffer)) return std::string(path);
    return resolvePath(buffer, path);
#endif
}

std::string moduleDirectory(const void* address) {
#ifdef _WIN32
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return {};
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        DWORD got = GetModuleFileNameW(module, name.data(), DWORD(name.size()));
        if (got == 0) return {};
        if (got < name.size()) {
            name.resize(got);
            break;
        }
        if (name.size() >= 32768) return {};
        name.resize(name.size() * 2);
    }
    return parentDirectory(utf16ToUtf8(std::u16string(name.begin(), name.end())));
#else
    Dl_info info{};
    if (!::dladdr(address, &info) || !info.dli_fname) return {};
    std::string file = info.dli_fname;
    char resolved[PATH_MAX];
    if (::realpath(file.c_str(), resolved)) file = resolved;
    return parentDirectory(file);
#endif
}

std::string userConfigDirectory() {
#ifdef _WIN32
    if (std::optional<std::u16string> appData = environmentVariable(u"APPDATA"); appData && !appData->empty())
        return utf16ToUtf8(*appData);
    return {};
#else
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) return config;
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config";
    return {};
#endif
}

std::string mapPlatformPath(const std::string& path) {
#ifdef _WIN32
    return path;
#else
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    if (p.empty() || exists(p)) return p;
    std::string result;
    size_t start = 0;
    if (p[0] == '/') {
        result = "/";
        start = 1;
    }
    bool lost = false;  // once a component is missing, keep the rest as written
    while (start <= p.size()) {
        size_t slash = p.find('/', start);
        if (slash == std::string::npos) slash = p.size();
        std::string part = p.substr(start, slash - start);
        if (!part.empty()) {
            std::string candidate = result + part;
            std::string found;
            if (!lost && !exists(candidate) && part != "." && part != ".." &&
                findCaseInsensitive(result, part, found))
                candidate = result + found;
            else if (!exists(candidate))
                lost = true;
            result = candidate;
        }
        if (slash < p.size()) result += '/';
        start = slash + 1;
    }
    return result;
#endif
}

std::FILE* openFileUtf16(std::u16string_view path) {
#ifdef _WIN32
    std::wstring wide(path.begin(), path.end());
    return _wfsopen(wide.c_str(), L"rb", _SH_DENYNO);
#else
    return std::fopen(mapPlatformPath(utf16ToUtf8(path)).c_str(), "rb");
#endif
}

bool canOpenFileUtf16(std::u16string_view path) {
    std::FILE* file = openFileUtf16(path);
    if (!file) return false;
    std::fclose(file);
    return true;
}

std::FILE* openFileNarrow(const std::string& path) {
#ifdef _WIN32
    return _fsopen(path.c_str(), "rb", _SH_DENYNO);
#else
    return std::fopen(mapPlatformPath(path).c_str(), "rb");
#endif
}

std::FILE* openFileUtf8(const std::string& path, const char* mode) {
#ifdef _WIN32
    std::u16string widePath = utf8ToUtf16(path), wideMode = utf8ToUtf16(mode);
    return _wfopen(reinterpret_cast<const wchar_t*>(widePath.c_str()),
                   reinterpret_cast<const wchar_t*>(wideMode.c_str()));
#else
    return std::fopen(path.c_str(), mode);
#endif
}

#ifdef _WIN32
std::string createTemporaryDirectory(const std::string& prefix, std::string& error) {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH) {
        error = "cannot find the temporary folder";
        return {};
    }
    std::u16string base(reinterpret_cast<const char16_t*>(temp), n);
    base += utf8ToUtf16(prefix);
    base += utf8ToUtf16(std::to_string(GetCurrentProcessId()));
    for (unsigned i = 0; i < 1000; ++i) {
        std::u16string candidate = base + u"-" + utf8ToUtf16(std::to_string(i));
        if (CreateDirectoryW(reinterpret_cast<const wchar_t*>(candidate.c_str()), nullptr))
            return utf16ToUtf8(candidate);
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    error = "cannot create a folder in the temporary folder";
    return {};
}
#else
std::string createTemporaryDirectory(const std::string& prefix, std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        error = "cannot create a folder in the temporary folder: " + std::string(std::strerror(errno));
        return {};
    }
    return pattern;
}
#endif

}  // namespace tz
