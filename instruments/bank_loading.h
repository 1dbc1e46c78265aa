// Loading the instruments a song's events marked.
#pragma once
#include <cstdint>

#include "instruments/config.h"

namespace tz {

struct MidiSong;
struct DlsWaveAccess;

// Loads every slot marked for loading, banks 127 down to 0 (melodic bank n,
// then drum set n), so that bank-0 fallbacks marked on the way are served in
// the same pass. Returns the number of marked slots left without an
// instrument. Waves of a collection indexed from a file are read through
// `access`, which tells whether a read failed; patches are looked for along
// the configuration's search path.
int32_t loadMarkedInstruments(MidiSong& song, const InstrumentConfiguration& config, DlsWaveAccess& access);

// Loads the marked slots of one bank; 0 when the bank does not exist. Each
// slot comes from the DLS collection, else from the patch its entry names;
// a slot of a bank other than 0 with neither marks bank 0's slot instead.
int32_t loadBankInstruments(MidiSong& song, bool drum, int bank, const InstrumentConfiguration& config,
                            DlsWaveAccess& access);

}  // namespace tz
