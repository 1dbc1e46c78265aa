// The banks songs play from: the one the settings name, else the operating
// system's General-MIDI DLS bank. The index of the bank opened last is kept
// for the process and shared by every song on it; an open reads from the
// bank file only the waves no live song holds.
#pragma once
#include <memory>
#include <string>
#include <string_view>

namespace tz {

class FileSource;
class InstrumentBank;
enum class Error : uint8_t;

// Where the bank lies, before expansion.
inline constexpr char16_t kSystemBankPath[] = u"%SystemRoot%\\SYSTEM32\\drivers\\GM.DLS";

// kSystemBankPath with the environment's value for SystemRoot, cut to the
// 255 characters of the buffer the path is expanded into.
std::u16string expandSystemBankPath();

// A bank as one open uses it: the shared index and the bank file, open for
// this open alone, that the index's waves are read from.
struct OpenBank {
    std::shared_ptr<const InstrumentBank> bank;  // a DLS collection or a SoundFont
    std::unique_ptr<FileSource> file;

    OpenBank();
    OpenBank(OpenBank&&) noexcept;
    OpenBank& operator=(OpenBank&&) noexcept;
    ~OpenBank();
    explicit operator bool() const { return bank != nullptr; }
};

// Opens the bank at `path`. The index of an earlier open is used while the
// file there is the same (size, last write, file identity); a changed or
// replaced file is indexed afresh, and songs on the old index keep what they
// hold. A DLS bank and a SoundFont are told apart by their content. Empty,
// with the reason in `why`, when the file cannot be opened or is neither.
// Thread-safe.
OpenBank openBank(std::u16string_view path, Error* why = nullptr);

// openBank on the system bank (its path expanded once per process, again
// while the expansion comes out empty).
OpenBank openSystemBank(Error* why = nullptr);
// The system bank's path as openSystemBank uses it.
std::u16string systemBankPath();

}  // namespace tz
