// The instrument configuration: the patch search path, the bank templates
// whose ToneEntry tables name the patches of each bank and drum set, and the
// default instrument's name. Built once (the default one, or from a patch
// configuration file) and then only read: songs share it and keep it alive
// while their banks point into its tables.
#pragma once
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "records/instrument.h"

namespace tz {

struct InstrumentConfiguration {
    // Directories searched for patch files; the one added last comes first.
    std::vector<std::string> patchSearchPath;
    // Bank templates: only their entries tables matter.
    std::array<std::unique_ptr<ToneBank>, 128> melodicTemplates;
    std::array<std::unique_ptr<ToneBank>, 128> drumTemplates;
    // Owns the ToneEntry tables the templates point to.
    std::vector<std::unique_ptr<ToneEntry[]>> entryTables;
    std::string defaultInstrumentName;  // empty: no default instrument
    // Every sample loaded from a patch plays at this volume on top of its
    // own: the headroom a whole set of patches normalised to full scale
    // needs so that songs do not clip.
    float patchVolume = 1.0f;
};

// The configuration every song has when no patch configuration is given:
// the patch directory "\PATCHES" and empty bank-0 templates, so that no
// entry names a patch. One for the process.
std::shared_ptr<const InstrumentConfiguration> defaultInstrumentConfiguration();

// Puts `directory` in front of the search path.
void addPatchDirectory(InstrumentConfiguration& config, const std::string& directory);
// Creates the bank-0 template of each kind, its 128 entries empty.
void createInstrumentTemplates(InstrumentConfiguration& config);
// The 128 entries of a bank's template (melodic or drum set, 0..127), the
// template created with empty entries when it does not exist yet.
ToneEntry* templateEntries(InstrumentConfiguration& config, bool drum, int bank);
// True when any template entry names a patch.
bool namesPatches(const InstrumentConfiguration& config);

}  // namespace tz
