// The General-MIDI bank songs play from: the operating system's DLS bank.
#pragma once
#include <memory>
#include <string>

namespace tz {

struct DlsCollection;

// Where the bank lies, before expansion.
inline constexpr char16_t kSystemBankPath[] = u"%SystemRoot%\\SYSTEM32\\drivers\\GM.DLS";

// kSystemBankPath with the environment's value for SystemRoot, cut to the
// 255 characters of the buffer the path is expanded into.
std::u16string expandSystemBankPath();

// Reads the system bank (its path expanded once per process, again while the
// expansion comes out empty). Null when it cannot be opened or read as RIFF.
std::shared_ptr<const DlsCollection> loadSystemBank();

}  // namespace tz
