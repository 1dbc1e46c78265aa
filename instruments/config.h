// Process-wide instrument configuration: patch search path, bank templates
// and the default instrument name. Reference-counted: every demuxer acquires
// it at construction and releases it at destruction, so demuxers may overlap.
#pragma once
#include <array>
#include <cstdio>
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
};

// The first acquisition adds the patch directory "\PATCHES" and creates the
// bank-0 templates; the last release frees everything. Thread-safe.
void acquireInstrumentConfiguration();
void releaseInstrumentConfiguration();

// The live configuration. Read-only while any demuxer holds it, apart from
// tests that set it up between acquire and release.
InstrumentConfiguration& instrumentConfiguration();

void addPatchDirectory(InstrumentConfiguration& config, const std::string& directory);
void createInstrumentTemplates(InstrumentConfiguration& config);

}  // namespace tz
