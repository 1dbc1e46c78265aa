// Where tzmidi finds a bank for the plug-in. The plug-in reads the bank at
// %SystemRoot%\SYSTEM32\drivers\GM.DLS; to play with another bank, tzmidi
// points SystemRoot, for its own process only, at a private folder that holds
// the chosen bank under that name.
#pragma once
#include <cstdio>
#include <string>

namespace tz {

// True when the system's General-MIDI bank can be opened.
bool systemBankExists();

// The default bank: $TZMIDI_DEFAULT_BANK, else the per-user data folder
// ($HOME/.local/share/tz_midi/gm.dls, or %LOCALAPPDATA%\tz_midi\gm.dls).
std::string defaultBankPath();

class BankDirectory {
public:
    BankDirectory() = default;
    BankDirectory(const BankDirectory&) = delete;
    BankDirectory& operator=(const BankDirectory&) = delete;
    ~BankDirectory();
    // Makes the plug-in find bank as the system bank. Call before the first
    // demuxer is opened.
    bool provide(const std::string& bank, std::string& error);

private:
    std::string root_;
    std::string bankFile_;
    bool copied_ = false;
};

}  // namespace tz
