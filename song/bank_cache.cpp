#include "song/bank_cache.h"

#include <cstring>
#include <mutex>
#include <new>

#include "instruments/dls_collection.h"
#include "instruments/instrument_bank.h"
#include "platform/byte_source.h"
#include "soundfont/sf2_index.h"
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
    std::shared_ptr<const InstrumentBank> bank;
};

std::mutex indexedMutex;
IndexedBank indexed;

std::shared_ptr<const InstrumentBank> indexedBank(std::u16string_view path, const FileIdentity& identity) {
    std::lock_guard<std::mutex> lock(indexedMutex);
    if (indexed.bank && indexed.path == path && indexed.identity == identity) return indexed.bank;
    return nullptr;
}

// Keeps a fresh index for later opens, unless another open indexed the same
// file meanwhile: then every open shares that one.
std::shared_ptr<const InstrumentBank> keepIndex(std::u16string_view path, const FileIdentity& identity,
                                               std::shared_ptr<const InstrumentBank> fresh) {
    std::shared_ptr<const InstrumentBank> replaced;  // released after the lock
    std::lock_guard<std::mutex> lock(indexedMutex);
    if (indexed.bank && indexed.path == path && indexed.identity == identity) return indexed.bank;
    replaced = std::move(indexed.bank);
    indexed.path.assign(path);
    indexed.identity = identity;
    indexed.bank = fresh;
    return fresh;
}

// Indexes the file as the kind of bank its first bytes tell: a DLS bank
// (RIFF form "DLS "), a SoundFont (form "sfbk"); anything else is no bank.
std::shared_ptr<const InstrumentBank> indexBank(const ByteSource& file, Error& why) {
    uint8_t head[12] = {};
    why = Error::NotABank;
    if (file.size() < sizeof head || !file.read(0, head, sizeof head)) return nullptr;
    if (std::memcmp(head, "RIFF", 4) != 0) return nullptr;
    why = Error::BankDamaged;
    if (std::memcmp(head + 8, "DLS ", 4) == 0) {
        std::shared_ptr<const DlsCollection> dls = indexDlsCollection(file);
        return dls ? std::make_shared<DlsBank>(std::move(dls)) : nullptr;
    }
    if (isSoundFont(file)) {
        std::shared_ptr<const SoundFontIndex> sf2 = indexSoundFont(file);
        return sf2 ? std::make_shared<SoundFontBank>(std::move(sf2)) : nullptr;
    }
    why = Error::NotABank;
    return nullptr;
}

void forgetIndex(std::u16string_view path) {
    std::shared_ptr<const InstrumentBank> old;  // released after the lock
    std::lock_guard<std::mutex> lock(indexedMutex);
    if (indexed.path != path) return;
    old = std::move(indexed.bank);
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
        bank.bank = indexedBank(path, identity);
        if (!bank.bank) {
            Error error = Error::None;
            std::shared_ptr<const InstrumentBank> fresh = indexBank(*bank.file, error);
            if (!fresh) {
                forgetIndex(path);
                return fail(error);
            }
            bank.bank = keepIndex(path, identity, std::move(fresh));
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
