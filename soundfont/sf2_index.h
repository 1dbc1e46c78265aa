// A SoundFont played as the DLS bank `tzmidi bank` makes of it, converting
// only the presets a song uses.
//
// The index holds the SoundFont's structure (INFO, the hydra, where the
// sample points lie) and the list of instruments the converted bank would
// hold, in its order, so that a lookup answers as loadDlsInstrument answers
// on that bank. A preset is converted when a song first needs it: into a
// collection of its one instrument whose waves are made from the sample
// points as they are read, so that the engine's instruments come out exactly
// as from the converted bank. A converted preset stays with the index; its
// waves are shared by every song that holds them (DlsSharedWaves) and read
// again once none does. Read-only once made but for that cache, which has
// its own lock: songs on several threads share one index.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "instruments/instrument_bank.h"
#include "soundfont/sf2_reader.h"
#include "soundfont/sf2_to_dls.h"

namespace tz {

class ByteSource;
struct DlsCollection;
struct DlsWaveAccess;
struct Instrument;
struct MidiSong;

// One preset converted: a collection holding its one instrument, whose wave
// i lies at position i << 32 of the preset's waves as a byte source makes
// them from the SoundFont, values[i] telling how.
struct Sf2ConvertedPreset {
    std::unique_ptr<DlsCollection> collection;
    std::vector<Sf2WaveValues> values;

    Sf2ConvertedPreset();
    ~Sf2ConvertedPreset();
};

struct SoundFontIndex {
    Sf2Bank bank;  // the structure; no sample points
    double gainDb = kDefaultBankGainDb;
    std::vector<Sf2InstrumentEntry> instruments;  // as the converted bank lists them

    // Converted presets, by index into `instruments`.
    mutable std::mutex mutex;
    mutable std::vector<std::shared_ptr<const Sf2ConvertedPreset>> converted;
};

// True when the source holds a SoundFont (a RIFF form "sfbk"), whatever its
// file is called.
bool isSoundFont(const ByteSource& file);

// Indexes a SoundFont: reads its structure, never its sample points. `gainDb`
// is the level of every sample, as `tzmidi bank --gain` sets it. Null when
// the source is not a SoundFont or its structure is damaged; `status` and
// `error`, when given, then say why.
std::unique_ptr<SoundFontIndex> indexSoundFont(const ByteSource& file, double gainDb = kDefaultBankGainDb,
                                               Sf2ReadStatus* status = nullptr, std::string* error = nullptr);

// The instrument (index into `instruments`) the converted bank answers with,
// by loadDlsInstrument's rules: melodic, the first of bank select `bank` and
// `program`, for bank 0 any bank of the program as a second choice; drums,
// the first kit of drum set `bank` (whose regions `program`, the note,
// then picks). -1 when there is none.
int32_t findSoundFontInstrument(const SoundFontIndex& index, bool drum, int bank, int program);

// The converted preset of instrument `entry`, converted now unless it was
// before. The sample points are read from `file`, the SoundFont as opened
// now; null when they cannot be read (`readFailed` is then set) or memory
// runs short.
std::shared_ptr<const Sf2ConvertedPreset> convertedSoundFontPreset(const SoundFontIndex& index, int32_t entry,
                                                                   const ByteSource* file, bool& readFailed);

// loadDlsInstrument on the SoundFont: the engine instrument that the
// converted bank gives for the request. The sample points are read from
// access.file, the SoundFont as opened for this loading pass; where they
// cannot be read (the file changed on disk since it was indexed)
// access.readFailed is set and the instrument stays silent.
std::unique_ptr<Instrument> loadSoundFontInstrument(MidiSong& song, const SoundFontIndex& index, bool drum, int bank,
                                                    int program, DlsWaveAccess& access);

// A SoundFont as a bank: the instruments loadSoundFontInstrument gives.
class SoundFontBank final : public InstrumentBank {
public:
    explicit SoundFontBank(std::shared_ptr<const SoundFontIndex> index) : index_(std::move(index)) {}
    const SoundFontIndex& index() const { return *index_; }
    std::unique_ptr<Instrument> load(MidiSong& song, bool drum, int bank, int program,
                                     DlsWaveAccess& access) const override {
        return loadSoundFontInstrument(song, *index_, drum, bank, program, access);
    }

private:
    std::shared_ptr<const SoundFontIndex> index_;
};

}  // namespace tz
