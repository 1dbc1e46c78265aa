// Converting DLS instruments into the engine's instruments and samples.
#pragma once
#include <cstdint>
#include <memory>
#include <span>

#include "instruments/dls_collection.h"
#include "records/envelope.h"
#include "records/instrument.h"

namespace tz {

struct MidiSong;

// How one loading pass reaches the waves of the song's collection. Regions
// playing the same wave share one converted copy, within the song and with
// every other song on the collection (DlsSharedWaves).
struct DlsWaveAccess {
    // The bank file the collection was indexed from, as opened for this
    // pass; not needed for a collection that holds its own bytes.
    const ByteSource* file = nullptr;
    // Set when wave data the index located could not be read: the file
    // changed on disk since it was indexed.
    bool readFailed = false;
};

// How articulation becomes the engine's envelope: the attack rises to full
// level, the hold falls to kDlsHoldLevel, the decay to the sustain level and
// the release from there to 0. Each stage takes at least kDlsMinimumStageMs.
constexpr int32_t kDlsHoldLevel = 250;
constexpr double kDlsMinimumStageMs = 6.0;
// The level a sustain of `permille` (0..1000, as the articulation gives it)
// holds, and the levels the decay and the release cover from or to it.
constexpr int32_t dlsSustainLevel(int32_t permille) { return kDlsHoldLevel * permille / 1000; }
constexpr int32_t dlsDecayDistance(int32_t sustainLevel) { return kEnvelopeFullLevel - sustainLevel; }
constexpr int32_t dlsReleaseDistance(int32_t sustainLevel) {
    return sustainLevel + (kEnvelopeFullLevel - kDlsHoldLevel);
}

// Finds and converts an instrument of the song's DLS collection. Melodic:
// the first instrument of that bank (ulBank bits 8..15) and program; for bank
// 0 any bank of that program as a second choice. Drums: `bank` is the drum
// set and `program` the note: the first drum kit whose ulInstrument is the
// drum set, reduced to the regions whose key range holds the note. Null when
// nothing is found or no region converts.
std::unique_ptr<Instrument> loadDlsInstrument(MidiSong& song, bool drum, int bank, int program);
std::unique_ptr<Instrument> loadDlsInstrument(MidiSong& song, bool drum, int bank, int program,
                                              DlsWaveAccess& access);
// The same from a collection other than the song's (the song gives the
// output rate and control ratio the envelopes are timed by).
std::unique_ptr<Instrument> loadDlsInstrument(MidiSong& song, const DlsCollection& collection, bool drum, int bank,
                                              int program, DlsWaveAccess& access);

// Fills `sample` from region `region` of `instrument`. False (sample
// unusable) when the region's header, wave link, wave sample or wave is
// missing or out of range. Envelope and pan come from the region's blocks
// for the classic sound (kDlsClassicArticulationList) where it has them,
// else from its articulation, else from the instrument's.
bool convertDlsRegion(const MidiSong& song, const DlsCollection& dls, const DlsInstrument& instrument,
                      const DlsRegion& region, Sample& sample, DlsWaveAccess& access);

// Sum (wrapping) of lScale over the blocks with this destination and source,
// control and transform 0. `found` tells whether any block matched.
int32_t sumConnections(const DlsArticulation& articulation, uint16_t destination, bool* found = nullptr);

}  // namespace tz
