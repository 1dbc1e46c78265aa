// Conversion of a SoundFont 2 bank into a DLS bank description that sounds
// like the SoundFont under our engine's classic sound and, through its
// articulation as the DLS model states it, under the standard sound and
// other DLS players.
//
// Presets of banks 0..127 become melodic instruments (ulBank = bank << 8),
// presets of bank 128 drum kits (ulBank bit 31); other banks are skipped.
//
// The engine plays one region per note, ignores a wave sample's fine tune
// and attenuation, and runs its volume envelope only on looping waves. So:
// - the key and velocity plane of a preset is cut into regions that never
//   overlap; where several zones (the two sides of a stereo pair, layers)
//   would sound together, the region plays the loudest of them with its
//   level raised to their summed power;
// - the pitch beyond whole semitones goes into the wave's sample rate, and a
//   scale-tuned zone becomes one region per run of keys that the engine's
//   semitone steps can serve;
// - the attenuation, that raise and the bank-wide gain go into the sample
//   values;
// - a one-shot wave ends in a short silent loop, so that its envelope and
//   release apply.
// Waves are shared by every region that plays the same slice at the same
// rate, level and ending.
//
// Each region carries two articulations: the classic sound's envelope and
// pan blocks (volumeEnvelopeConnections) in a list only it reads
// (kDlsClassicArticulationList), and the zone's articulation as DLS Level 2
// blocks (sf2ArticulationConnections) in the region's "lar2", which every
// other player reads. A region's key group is the zone's exclusive class.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "instruments/dls_convert.h"
#include "soundfont/dls_writer.h"
#include "soundfont/sf2_reader.h"

namespace tz {

// Longest wave written, in sample values: the engine keeps positions with
// 12 fraction bits in 32 bits, so a wave must stay below 2^19 values.
constexpr uint32_t kMaxWaveValues = uint32_t(kMaxSampleValues);

struct Sf2ConvertStats {
    uint32_t melodicInstruments = 0;
    uint32_t drumKits = 0;
    uint32_t regions = 0;
    uint32_t waves = 0;
    uint64_t waveBytes = 0;          // PCM bytes of all waves
    uint32_t skippedPresets = 0;     // other banks, duplicates, nothing playable
    uint32_t skippedZones = 0;       // bad sample points, ROM or compressed samples
    uint32_t stereoSidesDropped = 0; // sides of stereo pairs never played, their power folded in
    uint32_t layersDropped = 0;      // other zones never played, their power folded in
    uint32_t truncatedWaves = 0;     // slices cut to kMaxWaveValues
    uint32_t droppedLoops = 0;       // loops that lie outside their slice
    uint32_t silentTails = 0;        // one-shot waves given a silent loop
    uint32_t scaleTunedZones = 0;    // zones cut into runs of keys for their scale tuning
    uint32_t saturatedWaves = 0;     // waves with values cut to 16 bits by the gain
    std::vector<std::string> notes;  // the first few of the above, readable
};

// The bank-wide gain `tzmidi bank` applies unless told otherwise: the engine
// clips its output, and at this gain (measured with scripts/bank-report.sh)
// the loudest OpenMSX song peaks about 1 dB under full scale with FluidR3 and
// 4 dB under with TimGM6mb, and a dense song of fifteen instruments at
// ordinary levels 4 dB under.
constexpr double kDefaultBankGainDb = -9.0;

// Of a zone's nominal attenuation, SoundFont players apply this share.
constexpr double kSf2AttenuationShare = 0.4;

struct Sf2ConvertOptions {
    // Called now and then with the presets done and their total.
    std::function<void(size_t done, size_t total)> progress;
    // Gain in dB applied to every sample value.
    double gainDb = kDefaultBankGainDb;
    // Waves keep each sample's own rate and values, as other converters
    // write them: the pitch correction and fine tune go into the region's
    // wave sample fine tune, the coarse tune into its unity note, the level
    // (attenuation, merged zones' power, gainDb) into its gain, scale tuning
    // into key-to-pitch blocks instead of runs of keys, and one-shot waves
    // end without a loop. The classic sound plays such a bank out of tune
    // and level; it is a bank for testing the standard sound.
    bool tuningInWaveSample = false;
};

// The envelope parameters of one region, as the SoundFont states them.
struct Sf2VolumeEnvelope {
    int32_t attack = -12000;  // timecents
    int32_t hold = -12000;
    int32_t decay = -12000;
    int32_t sustain = 0;  // centibels of attenuation, 0..1440
    int32_t release = -12000;
};

// The art1 connection blocks (attack, hold, decay, sustain, release, pan)
// that make the engine play `env` and `pan` (-500..500, tenths of a percent).
std::vector<DlsConnection> volumeEnvelopeConnections(const Sf2VolumeEnvelope& env, int32_t pan);

// Converts the bank parsed from memory (parseSf2). Fails (with `error`
// saying why) only when no preset yields an instrument.
bool convertSf2ToDls(const Sf2Bank& bank, DlsBankDesc& out, Sf2ConvertStats& stats, std::string& error,
                     const Sf2ConvertOptions& options = {});

// An instrument of the converted bank: the preset it comes from and its
// header (ulBank, ulInstrument).
struct Sf2InstrumentEntry {
    uint32_t preset = 0;  // index into Sf2Bank::presets
    uint32_t bank = 0;
    uint32_t program = 0;
};

// The instruments convertSf2ToDls writes, in its order, decided from the
// hydra alone: presets of other banks, repeats of a bank and program and
// presets with nothing playable are left out as it leaves them out.
std::vector<Sf2InstrumentEntry> sf2InstrumentList(const Sf2Bank& bank);

// Where a conversion finds the sample points.
class Sf2SamplePoints {
public:
    virtual ~Sf2SamplePoints() = default;
    // The little-endian 16-bit points first..end-1 of "smpl" (first < end
    // <= sampleCount), valid until the next call; null when they cannot be
    // read.
    virtual const uint8_t* points(uint32_t first, uint32_t end) = 0;
};

// How a wave's values are made: the points first..end-1, each scaled by
// sf2ScaledPoint, then `silentValues` zeros.
struct Sf2WaveValues {
    uint32_t first = 0;
    uint32_t end = 0;
    double scale = 1.0;
    uint32_t silentValues = 0;
};

// Sample points at a wave's scale: each rounded (halves away from zero) and
// cut to 16 bits. `points` are `count` little-endian 16-bit values, not
// overlapping `out`. Returns whether any value was cut.
bool sf2ScalePoints(const uint8_t* points, size_t count, double scale, int16_t* out);

// Converts one preset as convertSf2ToDls converts it into the whole bank:
// `out` gets its one instrument and the waves its regions play, numbered
// from 0 and without data, values[i] telling how wave i's values are made.
// Sample points are read from `points` (the heard power of each zone's first
// second). False when the preset yields nothing or its points cannot be read.
bool convertSf2Preset(const Sf2Bank& bank, uint32_t preset, Sf2SamplePoints& points, double gainDb, DlsBankDesc& out,
                      std::vector<Sf2WaveValues>& values);

}  // namespace tz
