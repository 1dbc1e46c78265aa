#include "instruments/config.h"

#include <mutex>

namespace tz {

namespace {

std::mutex configMutex;
int configUsers = 0;

InstrumentConfiguration& storage() {
    static InstrumentConfiguration config;
    return config;
}

}  // namespace

InstrumentConfiguration& instrumentConfiguration() { return storage(); }

void addPatchDirectory(InstrumentConfiguration& config, const std::string& directory) {
    config.patchSearchPath.insert(config.patchSearchPath.begin(), directory);
}

void createInstrumentTemplates(InstrumentConfiguration& config) {
    for (auto* templates : {&config.melodicTemplates, &config.drumTemplates}) {
        auto entries = std::make_unique<ToneEntry[]>(128);
        auto bank = std::make_unique<ToneBank>();
        bank->entries = entries.get();
        config.entryTables.push_back(std::move(entries));
        (*templates)[0] = std::move(bank);
    }
}

void acquireInstrumentConfiguration() {
    std::lock_guard<std::mutex> lock(configMutex);
    if (configUsers++ == 0) {
        InstrumentConfiguration& config = storage();
        addPatchDirectory(config, "\\PATCHES");
        createInstrumentTemplates(config);
    }
}

void releaseInstrumentConfiguration() {
    std::lock_guard<std::mutex> lock(configMutex);
    if (configUsers == 0) return;
    if (--configUsers == 0) {
        InstrumentConfiguration& config = storage();
        config.patchSearchPath.clear();
        for (auto& t : config.melodicTemplates) t.reset();
        for (auto& t : config.drumTemplates) t.reset();
        config.entryTables.clear();
        config.defaultInstrumentName.clear();
    }
}

}  // namespace tz
