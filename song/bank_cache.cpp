#include "song/bank_cache.h"

#include <cstring>
#include <mutex>
#include <new>

#include "instruments/dls_collection.h"
#include "platform/byte_source.h"
#include "platform/error.h"
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

// The index of the bank opened last, for every later open of the same file.
// Its lock is taken at open only; songs hold what they took from the index,
// so nothing while they play touches this.
struct IndexedBank {
    std::u16string path;
    FileIdentity identity;
    std::shared_ptr<const DlsCollection> collection;
};

std::mutex indexedMutex;
IndexedBank indexed;

std::shared_ptr<const DlsCollection> indexedCollection(std::u16string_view path, const FileIdentity& identity) {
    std::lock_guard<std::mutex> lock(indexedMutex);
    if (indexed.collection && indexed.path == path && indexed.identity == identity) return indexed.collection;
    return nullptr;
}

// Keeps a fresh index for later opens, unless another open indexed the same
// file meanwhile: then every open shares that one.
std::shared_ptr<const DlsCollection> keepIndex(std::u16string_view path, const FileIdentity& identity,
                                               std::shared_ptr<const DlsCollection> collection) {
    std::shared_ptr<const DlsCollection> replaced;  // released after the lock
    std::lock_guard<std::mutex> lock(indexedMutex);
    if (indexed.collection && indexed.path == path && indexed.identity == identity) return indexed.collection;
    replaced = std::move(indexed.collection);
    indexed.path.assign(path);
    indexed.identity = identity;
    indexed.collection = collection;
    return collection;
}

// What the first bytes tell of a file named as a bank.
Error bankKind(const ByteSource& file) {
    uint8_t head[12] = {};
    if (file.size() < sizeof head || !file.read(0, head, sizeof head)) return Error::NotABank;
    if (std::memcmp(head, "RIFF", 4) != 0) return Error::NotABank;
    if (std::memcmp(head + 8, "DLS ", 4) != 0) return Error::NotABank;
    return Error::None;
}

void forgetIndex(std::u16string_view path) {
    std::shared_ptr<const DlsCollection> old;  // released after the lock
    std::lock_guard<std::mutex> lock(indexedMutex);
    if (indexed.path != path) return;
    old = std::move(indexed.collection);
    indexed = IndexedBank{};
}

}  // namespace

OpenBank::OpenBank() = default;
OpenBank::OpenBank(OpenBank&&) noexcept = default;
OpenBank& OpenBank::operator=(OpenBank&&) noexcept = default;
OpenBank::~OpenBank() = default;

std::u16string expandSystemBankPath() { return expandEnvironmentStrings(kSystemBankPath, 255); }

OpenBank openBank(std::u16string_view path, Error* why) {
    OpenBank bank;
    auto fail = [&](Error error) {
        if (why) *why = error;
        return OpenBank{};
    };
    try {
        bank.file = FileSource::open(path);
        if (!bank.file) {
            // Gone or unreadable: its index need not outlive the songs on it.
            forgetIndex(path);
            return fail(Error::BankUnreadable);
        }
        const FileIdentity& identity = bank.file->identity();
        bank.collection = indexedCollection(path, identity);
        if (!bank.collection) {
            if (Error kind = bankKind(*bank.file); kind != Error::None) {
                forgetIndex(path);
                return fail(kind);
            }
            std::shared_ptr<const DlsCollection> fresh = indexDlsCollection(*bank.file);
            if (!fresh) {
                forgetIndex(path);
                return fail(Error::BankDamaged);
            }
            bank.collection = keepIndex(path, identity, std::move(fresh));
        }
        if (why) *why = Error::None;
        return bank;
    } catch (const std::bad_alloc&) {
        return fail(Error::OutOfMemory);
    }
}

std::u16string systemBankPath() { return expandedOnce(); }

OpenBank openSystemBank(Error* why) {
    std::u16string path = expandedOnce();
    if (path.empty()) {
        if (why) *why = Error::NoBank;
        return OpenBank{};
    }
    return openBank(path, why);
}

}  // namespace tz
