#include "instruments/config.h"

namespace tz {

std::shared_ptr<const InstrumentConfiguration> defaultInstrumentConfiguration() {
    static const std::shared_ptr<const InstrumentConfiguration> config = [] {
        auto c = std::make_shared<InstrumentConfiguration>();
        addPatchDirectory(*c, "\\PATCHES");
        createInstrumentTemplates(*c);
        return c;
    }();
    return config;
}

void addPatchDirectory(InstrumentConfiguration& config, const std::string& directory) {
    config.patchSearchPath.insert(config.patchSearchPath.begin(), directory);
}

ToneEntry* templateEntries(InstrumentConfiguration& config, bool drum, int bank) {
    std::unique_ptr<ToneBank>& slot = (drum ? config.drumTemplates : config.melodicTemplates)[size_t(bank & 127)];
    if (!slot) {
        auto entries = std::make_unique<ToneEntry[]>(128);
        slot = std::make_unique<ToneBank>();
        slot->entries = entries.get();
        config.entryTables.push_back(std::move(entries));
    }
    for (const std::unique_ptr<ToneEntry[]>& table : config.entryTables)
        if (table.get() == slot->entries) return table.get();
    return nullptr;  // a template whose table the configuration does not own
}

void createInstrumentTemplates(InstrumentConfiguration& config) {
    templateEntries(config, false, 0);
    templateEntries(config, true, 0);
}

bool namesPatches(const InstrumentConfiguration& config) {
    for (const auto* templates : {&config.melodicTemplates, &config.drumTemplates})
        for (const std::unique_ptr<ToneBank>& bank : *templates)
            if (bank)
                for (int p = 0; p < 128; ++p)
                    if (!bank->entries[p].patchName.empty()) return true;
    return !config.defaultInstrumentName.empty();
}

}  // namespace tz
