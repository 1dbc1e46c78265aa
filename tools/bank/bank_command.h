// `tzmidi bank IN.sf2 -o OUT.dls [--quiet]`: converts a SoundFont 2 bank into
// a DLS bank for the player.
#pragma once

namespace tz {

// argv[0] is "bank". Returns 0 on success, 1 when the conversion fails and 2
// for a bad command line.
int runBankCommand(int argc, char** argv);

}  // namespace tz
