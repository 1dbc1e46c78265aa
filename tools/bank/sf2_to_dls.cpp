#include "tools/bank/sf2_to_dls.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <tuple>

namespace tz {

namespace {

constexpr size_t kMaxNotes = 20;
constexpr uint16_t kDrumBank = 128;

// The generators of one zone after its global zone's: a later value of the
// same operator replaces an earlier one.
struct ZoneGenerators {
    std::array<uint16_t, Sf2GeneratorCount> amount{};
    std::array<bool, Sf2GeneratorCount> set{};

    void apply(const Sf2Zone& zone) {
        for (const Sf2Generator& g : zone.generators) {
            if (g.op >= Sf2GeneratorCount) continue;
            amount[g.op] = g.amount;
            set[g.op] = true;
        }
    }
    int32_t value(uint16_t op, int32_t fallback) const { return set[op] ? int32_t(int16_t(amount[op])) : fallback; }
    // Key or velocity range; 0..127 when absent.
    void range(uint16_t op, int32_t& lo, int32_t& hi) const {
        lo = 0;
        hi = 127;
        if (!set[op]) return;
        lo = std::min<int32_t>(amount[op] & 0xFF, 127);
        hi = std::min<int32_t>(amount[op] >> 8, 127);
    }
};

ZoneGenerators zoneGenerators(const std::vector<Sf2Zone>& zones, bool hasGlobalZone, size_t zone) {
    ZoneGenerators g;
    if (hasGlobalZone) g.apply(zones[0]);
    g.apply(zones[zone]);
    return g;
}

// A region before waves are assigned: everything the DLS region needs plus
// the slice of sample data it plays.
struct PendingRegion {
    int32_t keyLow = 0, keyHigh = 127, velLow = 0, velHigh = 127;
    uint32_t sampleIndex = 0;
    uint16_t sampleType = Sf2SampleMono;
    uint32_t start = 0, end = 0;  // slice of "smpl", end exclusive
    bool loops = false;
    uint32_t loopStart = 0, loopEnd = 0;  // absolute, end exclusive
    uint32_t sampleRate = 0;
    int32_t unityNote = 60;
    int32_t fineTune = 0;
    int32_t attenuation = 0;  // centibels
    int32_t pan = 0;
    int32_t exclusiveClass = 0;
    Sf2VolumeEnvelope envelope;
    bool truncated = false;
    bool dropped = false;
};

int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return std::max(lo, std::min(hi, v)); }

// Rounds cents to whole semitones, halves away from zero.
int32_t roundToSemitones(int32_t cents) { return cents >= 0 ? (cents + 50) / 100 : -((-cents + 50) / 100); }

struct Converter {
    const Sf2Bank& bank;
    DlsBankDesc& out;
    Sf2ConvertStats& stats;
    std::map<std::tuple<uint32_t, uint32_t, uint32_t>, uint32_t> waveIndex;  // (start, end, rate)

    void note(std::string text) {
        if (stats.notes.size() < kMaxNotes) stats.notes.push_back(std::move(text));
    }

    // The region of one preset zone and one instrument zone; false when the
    // ranges do not meet or the zone cannot be played.
    bool buildRegion(const Sf2Preset& preset, const ZoneGenerators& pg, const Sf2Instrument& ins,
                     const ZoneGenerators& ig, uint32_t sampleIndex, PendingRegion& r) {
        int32_t pkLo, pkHi, pvLo, pvHi, ikLo, ikHi, ivLo, ivHi;
        pg.range(Sf2GenKeyRange, pkLo, pkHi);
        pg.range(Sf2GenVelRange, pvLo, pvHi);
        ig.range(Sf2GenKeyRange, ikLo, ikHi);
        ig.range(Sf2GenVelRange, ivLo, ivHi);
        r.keyLow = std::max(pkLo, ikLo);
        r.keyHigh = std::min(pkHi, ikHi);
        r.velLow = std::max(pvLo, ivLo);
        r.velHigh = std::min(pvHi, ivHi);
        if (r.keyLow > r.keyHigh || r.velLow > r.velHigh) return false;

        const Sf2Sample& s = bank.samples[sampleIndex];
        auto where = [&] {
            return "preset " + std::to_string(preset.bank) + ":" + std::to_string(preset.program) + " '" +
                   preset.name + "', instrument '" + ins.name + "', sample '" + s.name + "'";
        };
        if (s.sampleType & (Sf2SampleRom | Sf2SampleCompressed)) {
            ++stats.skippedZones;
            note(where() + ": ROM or compressed sample skipped");
            return false;
        }
        if (s.sampleRate == 0) {
            ++stats.skippedZones;
            note(where() + ": sample rate 0, zone skipped");
            return false;
        }
        r.sampleIndex = sampleIndex;
        r.sampleType = s.sampleType;
        r.sampleRate = s.sampleRate;

        // Address offsets exist only at instrument level.
        auto offset = [&](uint16_t fine, uint16_t coarse) {
            return int64_t(ig.value(fine, 0)) + 32768 * int64_t(ig.value(coarse, 0));
        };
        int64_t start = int64_t(s.start) + offset(Sf2GenStartAddrsOffset, Sf2GenStartAddrsCoarseOffset);
        int64_t end = int64_t(s.end) + offset(Sf2GenEndAddrsOffset, Sf2GenEndAddrsCoarseOffset);
        int64_t loopStart = int64_t(s.loopStart) + offset(Sf2GenStartloopAddrsOffset, Sf2GenStartloopAddrsCoarseOffset);
        int64_t loopEnd = int64_t(s.loopEnd) + offset(Sf2GenEndloopAddrsOffset, Sf2GenEndloopAddrsCoarseOffset);
        if (start < 0 || end > int64_t(bank.sampleCount) || end <= start) {
            ++stats.skippedZones;
            note(where() + ": sample points " + std::to_string(start) + ".." + std::to_string(end) +
                 " lie outside the " + std::to_string(bank.sampleCount) + " points of sample data");
            return false;
        }
        int32_t modes = ig.value(Sf2GenSampleModes, 0) & 3;
        r.loops = modes == 1 || modes == 3;
        if (r.loops) {
            loopStart = clamp64(loopStart, start, end);
            loopEnd = clamp64(loopEnd, start, end);
            if (loopEnd <= loopStart) {
                r.loops = false;
                ++stats.droppedLoops;
                note(where() + ": loop outside the sample, played without loop");
            }
        }
        if (end - start > int64_t(kMaxWaveValues)) {
            r.truncated = true;
            // Past the loop end nothing is heard while the note sustains;
            // otherwise keep as much as the engine can address.
            if (r.loops && loopEnd - start <= int64_t(kMaxWaveValues))
                end = loopEnd;
            else
                end = start + kMaxWaveValues;
            if (r.loops && loopEnd > end) {
                loopEnd = end;
                if (loopEnd <= loopStart) {
                    r.loops = false;
                    ++stats.droppedLoops;
                }
            }
        }
        r.start = uint32_t(start);
        r.end = uint32_t(end);
        r.loopStart = uint32_t(loopStart);
        r.loopEnd = uint32_t(loopEnd);

        // Pitch: whole semitones go into the unity note, so a reader that
        // looks only at the unity note is right to the semitone; the rest is
        // the fine tune.
        int32_t rootKey = ig.value(Sf2GenOverridingRootKey, -1);
        if (rootKey < 0 || rootKey > 127) rootKey = s.originalPitch <= 127 ? s.originalPitch : 60;
        int32_t cents = int32_t(s.pitchCorrection) + ig.value(Sf2GenFineTune, 0) + pg.value(Sf2GenFineTune, 0) +
                        100 * (ig.value(Sf2GenCoarseTune, 0) + pg.value(Sf2GenCoarseTune, 0));
        r.unityNote = std::clamp(rootKey - roundToSemitones(cents), 0, 127);
        r.fineTune = std::clamp(cents - 100 * (rootKey - r.unityNote), -32768, 32767);

        r.attenuation = std::clamp(ig.value(Sf2GenInitialAttenuation, 0) + pg.value(Sf2GenInitialAttenuation, 0), 0, 1440);
        r.pan = std::clamp(ig.value(Sf2GenPan, 0) + pg.value(Sf2GenPan, 0), -500, 500);
        r.exclusiveClass = ig.value(Sf2GenExclusiveClass, 0);

        auto summed = [&](uint16_t op, int32_t fallback) { return ig.value(op, fallback) + pg.value(op, 0); };
        int32_t keyFromMiddle = 60 - (r.keyLow + r.keyHigh) / 2;
        r.envelope.attack = summed(Sf2GenAttackVolEnv, -12000);
        r.envelope.hold = summed(Sf2GenHoldVolEnv, -12000) + summed(Sf2GenKeynumToVolEnvHold, 0) * keyFromMiddle;
        r.envelope.decay = summed(Sf2GenDecayVolEnv, -12000) + summed(Sf2GenKeynumToVolEnvDecay, 0) * keyFromMiddle;
        r.envelope.sustain = std::clamp(summed(Sf2GenSustainVolEnv, 0), 0, 1440);
        r.envelope.release = summed(Sf2GenReleaseVolEnv, -12000);
        return true;
    }

    // The player sounds one region per note: the first, in region order,
    // whose key and velocity ranges hold the note. A region inside the
    // ranges of an earlier one is never heard, so it is merged into that one:
    // this keeps one side of each stereo pair (linked or not; many banks
    // leave the links at 0) and one sample of each layer. When two regions
    // have the same ranges, a left or mono sample is kept rather than a right
    // one. The kept region takes the mean pan of the regions merged into it,
    // so the two halves of a stereo pair sound in the middle.
    void mergeShadowedRegions(std::vector<PendingRegion>& regions) {
        auto rightOnly = [](const PendingRegion& r) {
            return (r.sampleType & Sf2SampleRight) && !(r.sampleType & Sf2SampleLeft);
        };
        auto within = [](const PendingRegion& inner, const PendingRegion& outer) {
            return inner.keyLow >= outer.keyLow && inner.keyHigh <= outer.keyHigh && inner.velLow >= outer.velLow &&
                   inner.velHigh <= outer.velHigh;
        };
        std::vector<int32_t> panSum(regions.size()), panCount(regions.size());
        for (size_t i = 0; i < regions.size(); ++i) {
            panSum[i] = regions[i].pan;
            panCount[i] = 1;
            for (size_t k = 0; k < i; ++k) {
                if (regions[k].dropped || !within(regions[i], regions[k])) continue;
                panSum[k] += regions[i].pan;
                bool sameRanges = within(regions[k], regions[i]);
                if (sameRanges && rightOnly(regions[k]) && !rightOnly(regions[i])) std::swap(regions[k], regions[i]);
                ++panCount[k];
                regions[i].dropped = true;
                if (rightOnly(regions[i]) && (regions[k].sampleType & Sf2SampleLeft))
                    ++stats.stereoSidesDropped;
                else
                    ++stats.layersDropped;
                break;
            }
        }
        for (size_t i = 0; i < regions.size(); ++i)
            if (!regions[i].dropped && panCount[i] > 1) regions[i].pan = panSum[i] / panCount[i];
    }

    uint32_t waveFor(const PendingRegion& r, const DlsWaveSampleDesc& ws) {
        auto key = std::make_tuple(r.start, r.end, r.sampleRate);
        auto found = waveIndex.find(key);
        if (found != waveIndex.end()) return found->second;
        const Sf2Sample& s = bank.samples[r.sampleIndex];
        DlsWaveDesc w;
        w.sampleRate = r.sampleRate;
        w.name = s.name;
        size_t bytes = size_t(r.end - r.start) * 2;
        w.data.resize(bytes);
        std::memcpy(w.data.data(), bank.file.data() + bank.sampleDataOffset + size_t(r.start) * 2, bytes);
        w.hasWaveSample = true;
        w.waveSample = ws;
        if (r.truncated) {
            ++stats.truncatedWaves;
            note("sample '" + s.name + "': slice cut to " + std::to_string(r.end - r.start) + " values");
        }
        stats.waveBytes += bytes;
        uint32_t index = uint32_t(out.waves.size());
        out.waves.push_back(std::move(w));
        waveIndex.emplace(key, index);
        return index;
    }

    DlsRegionDesc dlsRegion(const PendingRegion& r) {
        DlsRegionDesc d;
        d.keyLow = uint16_t(r.keyLow);
        d.keyHigh = uint16_t(r.keyHigh);
        d.velLow = uint16_t(r.velLow);
        d.velHigh = uint16_t(r.velHigh);
        d.keyGroup = uint16_t(r.exclusiveClass >= 1 && r.exclusiveClass <= 15 ? r.exclusiveClass : 0);
        DlsWaveSampleDesc& ws = d.waveSample;
        ws.unityNote = uint16_t(r.unityNote);
        ws.fineTune = int16_t(r.fineTune);
        // Relative gain in 1/65536 centibels; an attenuation is a negative gain.
        ws.attenuation = -r.attenuation * 65536;
        if (r.loops) ws.loops.push_back(DlsLoopDesc{0, r.loopStart - r.start, r.loopEnd - r.loopStart});
        d.waveIndex = waveFor(r, ws);
        d.hasArticulation = true;
        d.articulation = volumeEnvelopeConnections(r.envelope, r.pan);
        return d;
    }

    bool convertPreset(const Sf2Preset& preset, DlsInstrumentDesc& ins) {
        std::vector<PendingRegion> regions;
        for (size_t pz = preset.hasGlobalZone ? 1 : 0; pz < preset.zones.size(); ++pz) {
            ZoneGenerators pg = zoneGenerators(preset.zones, preset.hasGlobalZone, pz);
            const Sf2Instrument& instrument = bank.instruments[size_t(preset.zones[pz].target)];
            for (size_t iz = instrument.hasGlobalZone ? 1 : 0; iz < instrument.zones.size(); ++iz) {
                ZoneGenerators ig = zoneGenerators(instrument.zones, instrument.hasGlobalZone, iz);
                PendingRegion r;
                if (buildRegion(preset, pg, instrument, ig, uint32_t(instrument.zones[iz].target), r))
                    regions.push_back(std::move(r));
            }
        }
        mergeShadowedRegions(regions);
        for (const PendingRegion& r : regions)
            if (!r.dropped) ins.regions.push_back(dlsRegion(r));
        return !ins.regions.empty();
    }
};

// The engine's envelope works on levels whose gain is linear in decibels:
// its table spans kEnvelopeRangeOctaves of gain (taken as 6 dB each) over
// 2 x kEnvelopeTableLast levels. Its sustain level is dlsSustainLevel(s)
// for a DLS sustain of s tenths of a percent; its decay covers the levels
// from full down to that in the decay time and its release the levels from
// there down to 0 in the release time.
constexpr double kEngineRangeDb = 6.0 * kEnvelopeRangeOctaves;
constexpr double kEngineStepDb = kEngineRangeDb / (2 * kEnvelopeTableLast);
// A SoundFont decay or release time is the time for a change of 100 dB.
constexpr double kSf2FullChangeDb = 100.0;

int32_t timeScale(double timecents) {
    if (timecents <= -32768.0) return kDlsTimeZero;
    int32_t tc = int32_t(std::lround(std::min(timecents, 32767.0)));
    // A sum of 0 reads as "no time"; one 65536th of a timecent is 1 s too.
    return tc == 0 ? 1 : tc * 65536;
}

DlsConnectionDesc connection(uint16_t destination, int32_t scale) {
    DlsConnectionDesc c;
    c.destination = destination;
    c.scale = scale;
    return c;
}

}  // namespace

std::vector<DlsConnectionDesc> volumeEnvelopeConnections(const Sf2VolumeEnvelope& env, int32_t pan) {
    // The sustain level in decibels maps onto the engine's 36 dB range; a
    // quieter sustain ends at the engine's floor.
    double sustainDb = std::clamp(env.sustain, 0, 1440) / 10.0;
    int32_t sustain = int32_t(std::lround(1000.0 * (1.0 - std::min(sustainDb, kEngineRangeDb) / kEngineRangeDb)));
    sustain = std::clamp(sustain, 0, 1000);
    int32_t level = dlsSustainLevel(sustain);
    // Decay and release keep the SoundFont's slope in dB per second over the
    // distance the engine covers.
    double decayDb = dlsDecayDistance(level) * kEngineStepDb;
    double releaseDb = dlsReleaseDistance(level) * kEngineStepDb;
    double decay = env.decay + 1200.0 * std::log2(decayDb / kSf2FullChangeDb);
    double release = env.release + 1200.0 * std::log2(releaseDb / kSf2FullChangeDb);

    std::vector<DlsConnectionDesc> blocks;
    blocks.push_back(connection(kDlsDestAttackTime, timeScale(env.attack)));
    blocks.push_back(connection(kDlsDestHoldTime, timeScale(env.hold)));
    blocks.push_back(connection(kDlsDestDecayTime, timeScale(decay)));
    blocks.push_back(connection(kDlsDestSustainLevel, sustain * 65536));
    blocks.push_back(connection(kDlsDestReleaseTime, timeScale(release)));
    blocks.push_back(connection(kDlsDestPan, std::clamp(pan, -500, 500) * 65536));
    return blocks;
}

bool convertSf2ToDls(const Sf2Bank& bank, DlsBankDesc& out, Sf2ConvertStats& stats, std::string& error,
                     const Sf2ConvertOptions& options) {
    out = DlsBankDesc{};
    stats = Sf2ConvertStats{};
    out.name = bank.name;
    Converter conv{bank, out, stats, {}};

    // Drum kits after the melodic instruments, each group by bank and program;
    // of two presets with the same bank and program the first one counts.
    std::vector<size_t> order(bank.presets.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Sf2Preset& pa = bank.presets[a];
        const Sf2Preset& pb = bank.presets[b];
        return std::make_tuple(pa.bank == kDrumBank, pa.bank, pa.program) <
               std::make_tuple(pb.bank == kDrumBank, pb.bank, pb.program);
    });

    size_t done = 0;
    const Sf2Preset* previous = nullptr;
    for (size_t index : order) {
        const Sf2Preset& p = bank.presets[index];
        if (options.progress) options.progress(done, order.size());
        ++done;
        std::string name = "preset " + std::to_string(p.bank) + ":" + std::to_string(p.program) + " '" + p.name + "'";
        bool drum = p.bank == kDrumBank;
        if ((p.bank > 127 && !drum) || p.program > 127) {
            ++stats.skippedPresets;
            conv.note(name + ": bank or program out of range, skipped");
            continue;
        }
        if (previous && previous->bank == p.bank && previous->program == p.program) {
            ++stats.skippedPresets;
            conv.note(name + ": same bank and program as '" + previous->name + "', skipped");
            continue;
        }
        previous = &p;
        DlsInstrumentDesc ins;
        ins.bank = drum ? kDlsDrumBank : uint32_t(p.bank) << 8;
        ins.program = p.program;
        ins.name = p.name;
        if (!conv.convertPreset(p, ins)) {
            ++stats.skippedPresets;
            conv.note(name + ": nothing playable, skipped");
            continue;
        }
        stats.regions += uint32_t(ins.regions.size());
        if (drum)
            ++stats.drumKits;
        else
            ++stats.melodicInstruments;
        out.instruments.push_back(std::move(ins));
    }
    if (options.progress) options.progress(order.size(), order.size());
    stats.waves = uint32_t(out.waves.size());
    if (out.instruments.empty()) {
        error = "no preset yields a playable instrument";
        return false;
    }
    return true;
}

}  // namespace tz
