#include "song/system_bank.h"

#include <cstdio>
#include <mutex>

#include "instruments/dls_collection.h"
#include "platform/input_stream.h"
#include "platform/paths.h"

namespace tz {

namespace {

std::mutex bankPathMutex;
std::u16string bankPath;

std::u16string expandedOnce() {
    std::lock_guard<std::mutex> lock(bankPathMutex);
    if (bankPath.empty()) bankPath = expandSystemBankPath();
    return bankPath;
}

}  // namespace

std::u16string expandSystemBankPath() { return expandEnvironmentStrings(kSystemBankPath, 255); }

std::shared_ptr<const DlsCollection> loadSystemBank() {
    std::u16string path = expandedOnce();
    if (path.empty()) return nullptr;
    std::FILE* file = openFileUtf16(path);
    if (!file) return nullptr;
    StreamPtr stream(createFileStream(file, 1));
    if (!stream) {
        std::fclose(file);
        return nullptr;
    }
    return loadDlsCollection(stream.get());
}

}  // namespace tz
