#include "instruments/bank_loading.h"

#include "instruments/dls_convert.h"
#include "instruments/gus_patch.h"
#include "instruments/instrument_bank.h"
#include "records/midi_song.h"

namespace tz {

namespace {

ToneBank* findBank(MidiSong& song, bool drum, int bank) {
    if (bank < 0 || bank >= 128) return nullptr;
    return drum ? song.drumSets[size_t(bank)].get() : song.melodicBanks[size_t(bank)].get();
}

}  // namespace

int32_t loadBankInstruments(MidiSong& song, bool drum, int bank, const InstrumentConfiguration& config,
                            DlsWaveAccess& access) {
    ToneBank* tones = findBank(song, drum, bank);
    if (!tones) return 0;
    int32_t failures = 0;
    for (int p = 0; p < 128; ++p) {
        InstrumentSlot& slot = tones->instruments[size_t(p)];
        if (!slot.needsLoading) continue;
        slot.needsLoading = false;

        if (song.bank) slot.instrument = song.bank->load(song, drum, bank, p, access);
        if (slot.instrument) continue;

        const ToneEntry* entry = tones->entries ? &tones->entries[p] : nullptr;
        if (entry && !entry->patchName.empty()) {
            int32_t fixedNote = entry->fixedNote != -1 ? entry->fixedNote : (drum ? p : -1);
            int32_t stripLoop = entry->stripLoop != -1 ? entry->stripLoop : (drum ? 1 : -1);
            int32_t stripEnvelope = entry->stripEnvelope != -1 ? entry->stripEnvelope : (drum ? 1 : -1);
            slot.instrument = loadPatchInstrument(song, config.patchSearchPath, entry->patchName, entry->panning,
                                                  entry->amplification, fixedNote, stripLoop, stripEnvelope,
                                                  entry->stripTail);
            if (!slot.instrument) ++failures;
            else if (config.patchVolume != 1.0f)
                for (Sample& sample : slot.instrument->samples) sample.volume *= config.patchVolume;
            continue;
        }

        if (bank != 0) {
            if (ToneBank* fallback = findBank(song, drum, 0)) {
                InstrumentSlot& other = fallback->instruments[size_t(p)];
                if (other.empty()) other.needsLoading = true;
            }
        }
        ++failures;
    }
    return failures;
}

int32_t loadMarkedInstruments(MidiSong& song, const InstrumentConfiguration& config, DlsWaveAccess& access) {
    int32_t failures = 0;
    for (int n = 127; n >= 0; --n) {
        if (song.melodicBanks[size_t(n)]) failures += loadBankInstruments(song, false, n, config, access);
        if (song.drumSets[size_t(n)]) failures += loadBankInstruments(song, true, n, config, access);
    }
    return failures;
}

}  // namespace tz
