// Converting DLS instruments into the engine's instruments and samples.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>

#include "instruments/dls_collection.h"
#include "records/instrument.h"

namespace tz {

struct MidiSong;

// Converted wave data by pool index, so that every region playing the same
// wave shares one copy within a song. Held for one loading pass.
struct DlsWaveCache {
    struct Entry {
        std::shared_ptr<int16_t[]> data;  // values plus guard values
        int32_t count = 0;                // values
    };
    std::unordered_map<uint32_t, Entry> waves;
};

// A sample holds fewer than 2^19 values (positions carry 12 fraction bits in
// 32 bits); longer waves are cut to this many values.
constexpr int32_t kMaxSampleValues = (1 << 19) - 1;

// Finds and converts an instrument of the song's DLS collection. Melodic:
// the first instrument of that bank (ulBank bits 8..15) and program; for bank
// 0 any bank of that program as a second choice. Drums: `bank` is the drum
// set and `program` the note: the first drum kit whose ulInstrument is the
// drum set, reduced to the regions whose key range holds the note. Null when
// nothing is found or no region converts.
std::unique_ptr<Instrument> loadDlsInstrument(MidiSong& song, bool drum, int bank, int program);
std::unique_ptr<Instrument> loadDlsInstrument(MidiSong& song, bool drum, int bank, int program,
                                              DlsWaveCache& cache);

// Fills `sample` from region `region` of `instrument`. False (sample
// unusable) when the region's header, wave link, wave sample or wave is
// missing or out of range.
bool convertDlsRegion(const MidiSong& song, const DlsCollection& dls, const DlsInstrument& instrument,
                      const DlsRegion& region, Sample& sample, DlsWaveCache& cache);

// Sum (wrapping) of lScale over the blocks with this destination and source,
// control and transform 0. `found` tells whether any block matched.
int32_t sumConnections(const DlsArticulation& articulation, uint16_t destination, bool* found = nullptr);

}  // namespace tz
