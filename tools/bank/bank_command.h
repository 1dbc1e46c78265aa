// `tzmidi bank IN.sf2 -o OUT.dls [--gain DB] [--tuning-in-wsmp] [--quiet]`: converts a SoundFont 2 bank into
// a DLS bank for the player.
#pragma once
#include <string>

#include "tools/bank/console.h"
#include "soundfont/sf2_to_dls.h"

namespace tz {

// What the command line tells the converter. A new option is a field here and
// one line in addBankOptions.
struct BankOptions {
    std::string input;
    std::string output;
    double gainDb = kDefaultBankGainDb;
    bool tuningInWaveSample = false;
    bool quiet = false;
};

// Adds the bank command's arguments to cmd, to be parsed into o.
void addBankOptions(CLI::App& cmd, BankOptions& o);

// Adds `bank` to tzmidi's commands.
Command addBankCommand(CLI::App& app);

// Converts as the options say: 0 on success, kExitFailed when the bank cannot
// be read, converted or written.
int convertBank(const BankOptions& o);

// The bank command on its own: argv[0] is "bank". Returns 0 on success, 1
// when the conversion fails and 2 for a bad command line.
int runBankCommand(int argc, char** argv);

}  // namespace tz
