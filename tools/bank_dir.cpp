#include "tools/bank_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/paths.h"
#include "song/system_bank.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tz {

bool systemBankExists() {
    std::u16string path = expandSystemBankPath();
    return !path.empty() && path[0] != u'%' && canOpenFileUtf16(path);
}

std::string defaultBankPath() {
    if (const char* env = std::getenv("TZMIDI_DEFAULT_BANK"); env && *env) return env;
#ifdef _WIN32
    if (const char* local = std::getenv("LOCALAPPDATA"); local && *local)
        return std::string(local) + "\\tz_midi\\gm.dls";
    return "gm.dls";
#else
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return std::string(data) + "/tz_midi/gm.dls";
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.local/share/tz_midi/gm.dls";
    return "gm.dls";
#endif
}

#ifdef _WIN32
namespace {
std::wstring wide(const std::string& s) {
    std::u16string w = utf8ToUtf16(s);
    return std::wstring(w.begin(), w.end());
}
}  // namespace

bool BankDirectory::provide(const std::string& bank, std::string& error) {
    std::string root = createTemporaryDirectory("tzmidi-", error);
    if (root.empty()) return false;
    std::wstring sys = wide(root) + L"\\SYSTEM32", drivers = sys + L"\\drivers", file = drivers + L"\\GM.DLS";
    root_ = root;
    bankFile_ = root + "\\SYSTEM32\\drivers\\GM.DLS";
    CreateDirectoryW(sys.c_str(), nullptr);
    CreateDirectoryW(drivers.c_str(), nullptr);
    std::wstring source = wide(bank);
    if (!CreateHardLinkW(file.c_str(), source.c_str(), nullptr) && !CopyFileW(source.c_str(), file.c_str(), FALSE)) {
        error = "cannot make the bank '" + bank + "' available to the plug-in";
        return false;
    }
    SetEnvironmentVariableW(L"SystemRoot", wide(root).c_str());
    return true;
}

BankDirectory::~BankDirectory() {
    if (root_.empty()) return;
    std::wstring root = wide(root_);
    DeleteFileW(wide(bankFile_).c_str());
    RemoveDirectoryW((root + L"\\SYSTEM32\\drivers").c_str());
    RemoveDirectoryW((root + L"\\SYSTEM32").c_str());
    RemoveDirectoryW(root.c_str());
}
#else
bool BankDirectory::provide(const std::string& bank, std::string& error) {
    char absolute[PATH_MAX];
    if (!::realpath(mapPlatformPath(bank).c_str(), absolute)) {
        error = "cannot find the bank '" + bank + "': " + std::strerror(errno);
        return false;
    }
    root_ = createTemporaryDirectory("tzmidi-", error);
    if (root_.empty()) return false;
    std::string sys = root_ + "/SYSTEM32", drivers = sys + "/drivers";
    bankFile_ = drivers + "/GM.DLS";
    if (::mkdir(sys.c_str(), 0700) != 0 || ::mkdir(drivers.c_str(), 0700) != 0 ||
        ::symlink(absolute, bankFile_.c_str()) != 0) {
        error = "cannot make the bank '" + bank + "' available to the plug-in: " + std::strerror(errno);
        return false;
    }
    ::setenv("SystemRoot", root_.c_str(), 1);
    return true;
}

BankDirectory::~BankDirectory() {
    if (root_.empty()) return;
    ::unlink(bankFile_.c_str());
    ::rmdir((root_ + "/SYSTEM32/drivers").c_str());
    ::rmdir((root_ + "/SYSTEM32").c_str());
    ::rmdir(root_.c_str());
}
#endif

}  // namespace tz
