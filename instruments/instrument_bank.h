// The bank a song's instruments come from first: a DLS collection, or a
// SoundFont played as the DLS bank it converts to (soundfont/). Indexed once
// and shared by every song on it; read-only but for the waves it shares,
// which have their own locks.
#pragma once
#include <memory>

#include "instruments/dls_convert.h"

namespace tz {

class InstrumentBank {
public:
    virtual ~InstrumentBank() = default;
    // The instrument of a melodic bank and program, or of a drum set and
    // note, by loadDlsInstrument's rules; its waves read through `access`.
    // Null when the bank has none.
    virtual std::unique_ptr<Instrument> load(MidiSong& song, bool drum, int bank, int program,
                                             DlsWaveAccess& access) const = 0;
};

// A DLS collection as a bank.
class DlsBank final : public InstrumentBank {
public:
    explicit DlsBank(std::shared_ptr<const DlsCollection> collection) : collection_(std::move(collection)) {}
    const DlsCollection& collection() const { return *collection_; }
    std::unique_ptr<Instrument> load(MidiSong& song, bool drum, int bank, int program,
                                     DlsWaveAccess& access) const override {
        return loadDlsInstrument(song, *collection_, drum, bank, program, access);
    }

private:
    std::shared_ptr<const DlsCollection> collection_;
};

}  // namespace tz
