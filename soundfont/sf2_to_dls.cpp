#include "soundfont/sf2_to_dls.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <compare>
#include <map>
#include <tuple>

#include "soundfont/sf2_articulation.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// One preset zone x instrument zone pair as the SoundFont plays it.
struct PendingZone {
    int32_t keyLow = 0, keyHigh = 127, velLow = 0, velHigh = 127;
    uint32_t sampleIndex = 0;
    uint16_t sampleType = Sf2SampleMono;
    uint32_t start = 0, end = 0;  // slice of "smpl", end exclusive
    bool loops = false;
    uint32_t loopStart = 0, loopEnd = 0;  // absolute, end exclusive
    uint32_t sampleRate = 0;
    int32_t rootKey = 60;
    int32_t tuneCents = 0;     // at the root key, relative to the sample as recorded
    int32_t coarseTune = 0;    // the semitones of tuneCents the coarse tune gives
    int32_t scaleTuning = 100; // cents per key
    int32_t attenuation = 0;   // centibels, nominal
    int32_t pan = 0;
    int32_t exclusiveClass = 0;
    Sf2VolumeEnvelope envelope;  // hold and decay before their key scaling
    int32_t holdPerKey = 0, decayPerKey = 0;
    int32_t delay = -12000;  // of the volume envelope, timecents
    Sf2ZoneArticulation articulation;  // as the DLS model plays it
    bool truncated = false;
    double power = 0;  // heard power of the first second, envelope and attenuation applied
    bool played = false;
};

// What one stretch of the key and velocity plane plays: the loudest zone
// sounding there, raised to the power of all of them, at their pan weighted
// by power.
struct Cell {
    int32_t zone = -1;
    double gain = 1.0;
    int32_t pan = 0;
    bool operator==(const Cell&) const = default;
};

// A region before its wave is made.
struct PendingRegion {
    int32_t keyLow = 0, keyHigh = 127, velLow = 0, velHigh = 127;
    const PendingZone* zone = nullptr;
    double gain = 1.0;  // on top of the zone's attenuation
    int32_t pan = 0;
    int32_t unityNote = 60;
    uint32_t sampleRate = 0;  // with the tuning beyond whole semitones
    int32_t fineTune = 0;     // cents, in the wave sample (tuningInWaveSample)
    double referenceKey = 60;  // where unity note, fine tune and rate give the zone's pitch
};

int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return std::max(lo, std::min(hi, v)); }

double dbToAmplitude(double db) { return std::pow(10.0, db / 20.0); }

// The level of a zone's nominal attenuation as SoundFont players apply it, in dB.
double attenuationDb(int32_t centibels) { return -kSf2AttenuationShare * centibels / 10.0; }

// Mean square of a SoundFont volume envelope over the first second of a held
// note: silent for the delay, a rise linear in amplitude over the attack,
// full level for the hold, then a fall of 100 dB per decay time down to the
// sustain level. A slow swell thus counts for less than a layer that speaks
// at once.
double envelopePower(const Sf2VolumeEnvelope& env, int32_t delay) {
    auto seconds = [](int32_t timecents) { return timecents <= -12000 ? 0.0 : std::exp2(timecents / 1200.0); };
    const double wait = seconds(delay), attack = seconds(env.attack), hold = seconds(env.hold);
    const double decay = seconds(env.decay), sustainDb = std::clamp(env.sustain, 0, 1440) / 10.0;
    constexpr int kSteps = 1000;
    double sum = 0;
    for (int i = 0; i < kSteps; ++i) {
        double t = (i + 0.5) / kSteps - wait;
        double gain = 0;
        if (t < 0) {
            gain = 0;
        } else if (t < attack) {
            gain = t / attack;
        } else if (t < attack + hold) {
            gain = 1;
        } else {
            double fallen = decay > 0 ? 100.0 * (t - attack - hold) / decay : sustainDb;
            gain = dbToAmplitude(-std::min(fallen, sustainDb));
        }
        sum += gain * gain;
    }
    return sum / kSteps;
}

// A one-shot wave ends in this many silent values, the last of which loop
// (past the reach of the engine's interpolation into the sound).
constexpr uint32_t kSilentTailValues = 32;
constexpr uint32_t kSilentLoopOffset = 8;

// Keys of a scale-tuned zone share a region while none of them is further
// than this from the zone's pitch.
constexpr double kKeyRunToleranceCents = 2.0;

// A zone counts as louder than another when its power is more than this
// factor (half a decibel) above.
constexpr double kLouder = 1.122;

// Wave levels are kept to this step in dB, so that regions whose levels
// differ by less share a wave.
constexpr double kLevelStepDb = 0.25;

struct WaveKey {
    uint32_t start, end, rate;
    int64_t levelSteps;
    bool silentTail;
    auto operator<=>(const WaveKey&) const = default;
};

int16_t pointAt(const uint8_t* points, size_t index) {
    return int16_t(uint16_t(points[2 * index] | points[2 * index + 1] << 8));
}

// The points of a bank parsed from memory.
class PointsInMemory final : public Sf2SamplePoints {
public:
    explicit PointsInMemory(const Sf2Bank& bank) : bank_(bank) {}
    const uint8_t* points(uint32_t first, uint32_t end) override {
        const uint64_t from = bank_.sampleDataOffset + 2 * uint64_t(first);
        if (first >= end || end > bank_.sampleCount || bank_.sampleDataOffset + 2 * uint64_t(end) > bank_.file.size())
            return nullptr;
        return bank_.file.data() + from;
    }

private:
    const Sf2Bank& bank_;
};

struct Converter {
    const Sf2Bank& bank;
    DlsBankDesc& out;
    Sf2ConvertStats& stats;
    Sf2SamplePoints& points;
    double gainDb = 0.0;
    // When set, waves are left without data and this says how to make them.
    std::vector<Sf2WaveValues>* deferred = nullptr;
    bool tuningInWaveSample = false;  // Sf2ConvertOptions::tuningInWaveSample
    bool failed = false;  // sample points could not be read
    std::map<WaveKey, uint32_t> waveIndex;
    std::map<std::tuple<uint32_t, uint32_t, bool, uint32_t, uint32_t, uint32_t>, double> powerCache;
    std::map<std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t>, double> envelopeCache;

    Converter(const Sf2Bank& b, DlsBankDesc& o, Sf2ConvertStats& st, Sf2SamplePoints& p, double gain = 0.0,
              std::vector<Sf2WaveValues>* values = nullptr)
        : bank(b), out(o), stats(st), points(p), gainDb(gain), deferred(values) {}

    void note(std::string text) {
        if (stats.notes.size() < kMaxNotes) stats.notes.push_back(std::move(text));
    }

    // envelopePower, once for each envelope.
    double envelopeShare(const Sf2VolumeEnvelope& env, int32_t delay) {
        auto key = std::make_tuple(env.attack, env.hold, env.decay, env.sustain, delay);
        auto found = envelopeCache.find(key);
        if (found != envelopeCache.end()) return found->second;
        return envelopeCache.emplace(key, envelopePower(env, delay)).first->second;
    }

    // Mean square of the values a zone plays in its first second at its own
    // rate (loop repeated; silence after a one-shot's end).
    double heardPower(const PendingZone& z) {
        auto key = std::make_tuple(z.start, z.end, z.loops, z.loopStart, z.loopEnd, z.sampleRate);
        auto found = powerCache.find(key);
        if (found != powerCache.end()) return found->second;
        // A second at the rates in use; an absurd rate is not followed.
        const uint64_t span = std::min<uint64_t>(z.sampleRate, 192000);
        // The loop lies within the slice, so the second never reaches past
        // the slice nor past `span` points from its start.
        const uint8_t* heard = points.points(z.start, uint32_t(std::min<uint64_t>(z.end, z.start + span)));
        if (!heard) {
            failed = true;
            return 0.0;
        }
        double sum = 0;
        uint32_t at = z.start;
        for (uint64_t n = 0; n < span; ++n, ++at) {
            if (z.loops && at >= z.loopEnd) at = z.loopStart;
            if (at >= z.end) break;
            double v = pointAt(heard, at - z.start);
            sum += v * v;
        }
        double power = sum / double(span);
        powerCache.emplace(key, power);
        return power;
    }

    // The zone of one preset zone and one instrument zone, its power left
    // out: what the hydra alone tells. False when the ranges do not meet or
    // the zone cannot be played.
    bool zoneFromHydra(const Sf2Preset& preset, const ZoneGenerators& pg, const Sf2Instrument& ins,
                       const ZoneGenerators& ig, uint32_t sampleIndex, PendingZone& r) {
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
        if (s.sampleRate == 0 || s.sampleRate > uint32_t(INT32_MAX)) {
            ++stats.skippedZones;
            note(where() + ": sample rate " + std::to_string(s.sampleRate) + ", zone skipped");
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
        // A one-shot wave needs room for its silent tail.
        const int64_t room = int64_t(kMaxWaveValues) - (r.loops ? 0 : int64_t(kSilentTailValues));
        if (end - start > room) {
            r.truncated = true;
            // Past the loop end nothing is heard while the note sustains;
            // otherwise keep as much as the engine can address.
            if (r.loops && loopEnd - start <= room)
                end = loopEnd;
            else
                end = start + room;
            if (r.loops && loopEnd > end) {
                loopEnd = end;
                if (loopEnd <= loopStart) {
                    r.loops = false;
                    ++stats.droppedLoops;
                    end = std::min<int64_t>(end, start + int64_t(kMaxWaveValues) - int64_t(kSilentTailValues));
                }
            }
        }
        r.start = uint32_t(start);
        r.end = uint32_t(end);
        r.loopStart = uint32_t(loopStart);
        r.loopEnd = uint32_t(loopEnd);

        int32_t rootKey = ig.value(Sf2GenOverridingRootKey, -1);
        if (rootKey < 0 || rootKey > 127) rootKey = s.originalPitch <= 127 ? s.originalPitch : 60;
        r.rootKey = rootKey;
        r.coarseTune = ig.value(Sf2GenCoarseTune, 0) + pg.value(Sf2GenCoarseTune, 0);
        r.tuneCents = int32_t(s.pitchCorrection) + ig.value(Sf2GenFineTune, 0) + pg.value(Sf2GenFineTune, 0) +
                      100 * r.coarseTune;
        r.scaleTuning = std::clamp(ig.value(Sf2GenScaleTuning, 100) + pg.value(Sf2GenScaleTuning, 0), 0, 1200);

        r.attenuation = std::clamp(ig.value(Sf2GenInitialAttenuation, 0) + pg.value(Sf2GenInitialAttenuation, 0), 0, 1440);
        r.pan = std::clamp(ig.value(Sf2GenPan, 0) + pg.value(Sf2GenPan, 0), -500, 500);
        r.exclusiveClass = ig.value(Sf2GenExclusiveClass, 0);

        auto summed = [&](uint16_t op, int32_t fallback) { return ig.value(op, fallback) + pg.value(op, 0); };
        Sf2ZoneArticulation& a = r.articulation;
        a.volume = envelopeGenerators(summed, Sf2GenDelayVolEnv);
        a.modulation = envelopeGenerators(summed, Sf2GenDelayModEnv);
        a.modEnvToPitch = summed(Sf2GenModEnvToPitch, 0);
        a.modEnvToFilterFc = summed(Sf2GenModEnvToFilterFc, 0);
        a.modLfoDelay = summed(Sf2GenDelayModLfo, -12000);
        a.modLfoFrequency = summed(Sf2GenFreqModLfo, 0);
        a.modLfoToPitch = summed(Sf2GenModLfoToPitch, 0);
        a.modLfoToFilterFc = summed(Sf2GenModLfoToFilterFc, 0);
        a.modLfoToVolume = summed(Sf2GenModLfoToVolume, 0);
        a.vibLfoDelay = summed(Sf2GenDelayVibLfo, -12000);
        a.vibLfoFrequency = summed(Sf2GenFreqVibLfo, 0);
        a.vibLfoToPitch = summed(Sf2GenVibLfoToPitch, 0);
        a.filterFc = summed(Sf2GenInitialFilterFc, 13500);
        a.filterQ = summed(Sf2GenInitialFilterQ, 0);
        a.chorusSend = summed(Sf2GenChorusEffectsSend, 0);
        a.reverbSend = summed(Sf2GenReverbEffectsSend, 0);
        a.scaleTuning = r.scaleTuning;

        r.envelope.attack = a.volume.attack;
        r.envelope.hold = a.volume.hold;
        r.envelope.decay = a.volume.decay;
        r.envelope.sustain = std::clamp(a.volume.sustain, 0, 1440);
        r.envelope.release = a.volume.release;
        r.holdPerKey = a.volume.holdPerKey;
        r.decayPerKey = a.volume.decayPerKey;
        r.delay = a.volume.delay;
        return true;
    }

    // The eight generators of an envelope, which follow one another from its
    // delay: delay, attack, hold, decay, sustain, release, key to hold, key
    // to decay.
    template <typename Summed>
    static Sf2EnvelopeGenerators envelopeGenerators(Summed summed, uint16_t delayOp) {
        Sf2EnvelopeGenerators e;
        e.delay = summed(delayOp, -12000);
        e.attack = summed(uint16_t(delayOp + 1), -12000);
        e.hold = summed(uint16_t(delayOp + 2), -12000);
        e.decay = summed(uint16_t(delayOp + 3), -12000);
        e.sustain = summed(uint16_t(delayOp + 4), 0);
        e.release = summed(uint16_t(delayOp + 5), -12000);
        e.holdPerKey = summed(uint16_t(delayOp + 6), 0);
        e.decayPerKey = summed(uint16_t(delayOp + 7), 0);
        return e;
    }

    // The zone with its power, read from its sample points.
    bool buildZone(const Sf2Preset& preset, const ZoneGenerators& pg, const Sf2Instrument& ins,
                   const ZoneGenerators& ig, uint32_t sampleIndex, PendingZone& r) {
        if (!zoneFromHydra(preset, pg, ins, ig, sampleIndex, r)) return false;
        r.power = heardPower(r) * envelopeShare(r.envelope, r.delay) *
                  std::pow(10.0, attenuationDb(r.attenuation) / 10.0);
        return true;
    }

    // The player sounds one region per note, where the SoundFont sounds
    // every zone that holds the note. So the plane is cut along every zone's
    // key and velocity edges, each piece plays its loudest zone (over the
    // first second of a held note) with the others' power folded in, and
    // pieces that play alike are joined again (first along velocity, then
    // along keys, so that regions stay rectangles).
    std::vector<PendingRegion> planRegions(std::vector<PendingZone>& zones) {
        std::vector<PendingRegion> regions = keyRuns(stripesOf(zones), zones);
        countUnplayedZones(zones);
        return regions;
    }

    // A key range and the velocity runs it plays.
    struct Stripe {
        int32_t keyLow, keyHigh;
        std::vector<std::tuple<int32_t, int32_t, Cell>> runs;
    };

    // Every key and velocity at which some zone starts or after which it
    // ends, sorted, and 128.
    static void zoneEdges(const std::vector<PendingZone>& zones, std::vector<int32_t>& keyEdges,
                          std::vector<int32_t>& velEdges) {
        keyEdges = {128};
        velEdges = {128};
        for (const PendingZone& z : zones) {
            keyEdges.insert(keyEdges.end(), {z.keyLow, z.keyHigh + 1});
            velEdges.insert(velEdges.end(), {z.velLow, z.velHigh + 1});
        }
        for (auto* edges : {&keyEdges, &velEdges}) {
            std::sort(edges->begin(), edges->end());
            edges->erase(std::unique(edges->begin(), edges->end()), edges->end());
        }
    }

    // What the piece velLow..velHigh of a key range plays, of the zones
    // `here` that hold the key range; a cell without zone when none holds
    // the velocities.
    static Cell loudestCell(const std::vector<PendingZone>& zones, const std::vector<size_t>& here, int32_t velLow,
                            int32_t velHigh) {
        Cell cell;
        double total = 0, panSum = 0;
        for (size_t i : here) {
            const PendingZone& z = zones[i];
            if (z.velLow > velLow || velHigh > z.velHigh) continue;
            total += z.power;
            panSum += z.power * z.pan;
            // Of zones about as loud (the two sides of a stereo pair) the
            // first listed plays, whatever their small differences, so that
            // one side serves every key.
            if (cell.zone < 0 || z.power > kLouder * zones[size_t(cell.zone)].power) cell.zone = int32_t(i);
        }
        if (cell.zone < 0) return cell;
        const PendingZone& winner = zones[size_t(cell.zone)];
        if (winner.power > 0 && total > winner.power) {
            cell.gain = std::sqrt(total / winner.power);
            cell.pan = int32_t(std::lround(panSum / total));
        } else {
            cell.pan = winner.pan;
        }
        return cell;
    }

    // The plane cut into key stripes of velocity runs, neighbours that play
    // alike joined.
    static std::vector<Stripe> stripesOf(const std::vector<PendingZone>& zones) {
        std::vector<int32_t> keyEdges, velEdges;
        zoneEdges(zones, keyEdges, velEdges);
        std::vector<Stripe> stripes;
        std::vector<size_t> here;
        for (size_t k = 0; k + 1 < keyEdges.size(); ++k) {
            Stripe stripe{keyEdges[k], keyEdges[k + 1] - 1, {}};
            here.clear();
            for (size_t i = 0; i < zones.size(); ++i)
                if (zones[i].keyLow <= stripe.keyLow && stripe.keyHigh <= zones[i].keyHigh) here.push_back(i);
            for (size_t v = 0; !here.empty() && v + 1 < velEdges.size(); ++v) {
                int32_t velLow = velEdges[v], velHigh = velEdges[v + 1] - 1;
                Cell cell = loudestCell(zones, here, velLow, velHigh);
                if (cell.zone < 0) continue;
                if (!stripe.runs.empty()) {
                    auto& [lo, hi, last] = stripe.runs.back();
                    if (hi + 1 == velLow && last == cell) {
                        hi = velHigh;
                        continue;
                    }
                }
                stripe.runs.emplace_back(velLow, velHigh, cell);
            }
            if (stripe.runs.empty()) continue;
            if (!stripes.empty() && stripes.back().keyHigh + 1 == stripe.keyLow && stripes.back().runs == stripe.runs)
                stripes.back().keyHigh = stripe.keyHigh;
            else
                stripes.push_back(std::move(stripe));
        }
        return stripes;
    }

    // The regions of the stripes: each run becomes regions of as many keys
    // as lie within the tolerance of the engine's 100 cents a key. Marks the
    // zones played.
    std::vector<PendingRegion> keyRuns(const std::vector<Stripe>& stripes, std::vector<PendingZone>& zones) {
        std::vector<PendingRegion> regions;
        std::vector<bool> split(zones.size());
        for (const Stripe& stripe : stripes) {
            for (const auto& [velLow, velHigh, cell] : stripe.runs) {
                PendingZone& z = zones[size_t(cell.zone)];
                z.played = true;
                double drift = std::fabs(100.0 - z.scaleTuning);
                int32_t runKeys =
                    drift > 0 && !tuningInWaveSample ? 1 + int32_t(2.0 * kKeyRunToleranceCents / drift) : 128;
                if (runKeys <= stripe.keyHigh - stripe.keyLow) split[size_t(cell.zone)] = true;
                for (int32_t low = stripe.keyLow; low <= stripe.keyHigh; low += runKeys) {
                    PendingRegion r;
                    r.keyLow = low;
                    r.keyHigh = std::min(stripe.keyHigh, low + runKeys - 1);
                    r.velLow = velLow;
                    r.velHigh = velHigh;
                    r.zone = &z;
                    r.gain = cell.gain;
                    r.pan = cell.pan;
                    tune(r);
                    regions.push_back(r);
                }
            }
        }
        for (size_t i = 0; i < zones.size(); ++i) stats.scaleTunedZones += split[i];
        return regions;
    }

    // Zones no region plays: stereo sides and layers whose power went into
    // another zone's region.
    void countUnplayedZones(const std::vector<PendingZone>& zones) {
        for (const PendingZone& z : zones) {
            if (z.played) continue;
            bool side = (z.sampleType & (Sf2SampleLeft | Sf2SampleRight)) != 0;
            ++(side ? stats.stereoSidesDropped : stats.layersDropped);
        }
    }

    // Unity note and rate for the region's keys: the SoundFont plays key k
    // scaleTuning * (k - rootKey) + tuneCents from the recorded pitch, the
    // engine 100 cents a key from the unity note at the wave's rate. Exact
    // at the middle of the keys; the whole semitones go into the unity note
    // as far as it reaches and the rest into the rate.
    // With tuningInWaveSample the wave keeps the sample's rate: the unity
    // note is the root key moved by the coarse tune as far as it reaches,
    // the rest of the tuning is the wave sample's fine tune.
    void tune(PendingRegion& r) {
        const PendingZone& z = *r.zone;
        if (tuningInWaveSample) {
            const int32_t unity = std::clamp(z.rootKey - z.coarseTune, 0, 127);
            r.unityNote = unity;
            r.fineTune = std::clamp(z.tuneCents - 100 * (z.rootKey - unity), -32768, 32767);
            r.sampleRate = z.sampleRate;
            r.referenceKey = z.rootKey;
            return;
        }
        double middle = 0.5 * (r.keyLow + r.keyHigh);
        double cents = z.scaleTuning * (middle - z.rootKey) + z.tuneCents;
        int32_t unity = int32_t(std::clamp(std::lround(middle - cents / 100.0), 0L, 127L));
        double rest = cents - 100.0 * (middle - unity);
        double rate = std::round(double(z.sampleRate) * std::exp2(rest / 1200.0));
        r.unityNote = unity;
        r.sampleRate = uint32_t(std::clamp(rate, 1.0, double(INT32_MAX)));
        r.referenceKey = middle;
    }

    // The region's level in dB: the zone's attenuation, the power of the
    // zones merged into it and the bank's gain.
    double levelOf(const PendingRegion& r) const {
        return gainDb + attenuationDb(r.zone->attenuation) + 20.0 * std::log10(r.gain);
    }

    uint32_t waveFor(const PendingRegion& r, const DlsWaveSampleDesc& ws) {
        const PendingZone& z = *r.zone;
        // With tuningInWaveSample the values are the sample's own.
        double levelDb = tuningInWaveSample ? 0.0 : levelOf(r);
        const bool silentTail = !z.loops && !tuningInWaveSample;
        WaveKey key{z.start, z.end, r.sampleRate, std::llround(levelDb / kLevelStepDb), silentTail};
        auto found = waveIndex.find(key);
        if (found != waveIndex.end()) return found->second;
        const Sf2Sample& s = bank.samples[z.sampleIndex];
        DlsWaveDesc w;
        w.sampleRate = r.sampleRate;
        w.name = s.name;
        const double scale = dbToAmplitude(double(key.levelSteps) * kLevelStepDb);
        const uint32_t silent = key.silentTail ? kSilentTailValues : 0;
        if (deferred) {
            deferred->push_back(Sf2WaveValues{z.start, z.end, scale, silent});
        } else {
            std::vector<int16_t> values(z.end - z.start + silent);
            bool saturated;
            const uint8_t* slice = points.points(z.start, z.end);
            if (!slice) {
                failed = true;
                return 0;
            }
            saturated = sf2ScalePoints(slice, z.end - z.start, scale, values.data());
            if (saturated) {
                ++stats.saturatedWaves;
                note("sample '" + s.name + "': values cut to 16 bits at a level of " + std::to_string(levelDb) + " dB");
            }
            w.data = pcm16Bytes(values);
        }
        if (key.silentTail) ++stats.silentTails;
        w.hasWaveSample = true;
        w.waveSample = ws;
        if (z.truncated) {
            ++stats.truncatedWaves;
            note("sample '" + s.name + "': slice cut to " + std::to_string(z.end - z.start) + " values");
        }
        stats.waveBytes += 2 * (uint64_t(z.end - z.start) + silent);
        uint32_t index = uint32_t(out.waves.size());
        out.waves.push_back(std::move(w));
        waveIndex.emplace(key, index);
        return index;
    }

    DlsRegionDesc dlsRegion(const PendingRegion& r) {
        const PendingZone& z = *r.zone;
        DlsRegionDesc d;
        d.keyLow = uint16_t(r.keyLow);
        d.keyHigh = uint16_t(r.keyHigh);
        d.velLow = uint16_t(r.velLow);
        d.velHigh = uint16_t(r.velHigh);
        d.keyGroup = uint16_t(z.exclusiveClass >= 1 && z.exclusiveClass <= 127 ? z.exclusiveClass : 0);
        // Fine tune and attenuation are in the wave's rate and values, or
        // with tuningInWaveSample here (gain in 1/65536 of 1/10 dB, kept to
        // whole tenths).
        DlsWaveSampleDesc& ws = d.waveSample;
        ws.unityNote = uint16_t(r.unityNote);
        if (tuningInWaveSample) {
            ws.fineTune = int16_t(r.fineTune);
            ws.attenuation = int32_t(std::clamp(std::lround(10.0 * levelOf(r)), -32767L, 32767L) * 65536);
        }
        const uint32_t length = z.end - z.start;
        if (z.loops)
            ws.loops.push_back(DlsLoop{0, z.loopStart - z.start, z.loopEnd - z.loopStart});
        else if (!tuningInWaveSample)
            ws.loops.push_back(DlsLoop{0, length + kSilentLoopOffset, kSilentTailValues - kSilentLoopOffset});
        d.waveIndex = waveFor(r, ws);
        d.hasArticulation = true;
        d.articulationLevel2 = true;
        d.articulation = sf2ArticulationConnections(z.articulation, r.pan, r.referenceKey);
        Sf2VolumeEnvelope env = z.envelope;
        int32_t keyFromMiddle = 60 - (r.keyLow + r.keyHigh) / 2;
        env.hold += z.holdPerKey * keyFromMiddle;
        env.decay += z.decayPerKey * keyFromMiddle;
        d.classicArticulation = volumeEnvelopeConnections(env, r.pan);
        return d;
    }

    bool convertPreset(const Sf2Preset& preset, DlsInstrumentDesc& ins) {
        std::vector<PendingZone> zones;
        for (size_t pz = preset.hasGlobalZone ? 1 : 0; pz < preset.zones.size(); ++pz) {
            ZoneGenerators pg = zoneGenerators(preset.zones, preset.hasGlobalZone, pz);
            const Sf2Instrument& instrument = bank.instruments[size_t(preset.zones[pz].target)];
            for (size_t iz = instrument.hasGlobalZone ? 1 : 0; iz < instrument.zones.size(); ++iz) {
                ZoneGenerators ig = zoneGenerators(instrument.zones, instrument.hasGlobalZone, iz);
                PendingZone z;
                if (buildZone(preset, pg, instrument, ig, uint32_t(instrument.zones[iz].target), z))
                    zones.push_back(std::move(z));
            }
        }
        if (failed) return false;
        for (const PendingRegion& r : planRegions(zones)) ins.regions.push_back(dlsRegion(r));
        return !failed && !ins.regions.empty();
    }

    // Whether convertPreset would yield regions: every zone the hydra lets
    // play covers at least one key and velocity, and so gives a region.
    bool playable(const Sf2Preset& preset) {
        for (size_t pz = preset.hasGlobalZone ? 1 : 0; pz < preset.zones.size(); ++pz) {
            ZoneGenerators pg = zoneGenerators(preset.zones, preset.hasGlobalZone, pz);
            const Sf2Instrument& instrument = bank.instruments[size_t(preset.zones[pz].target)];
            for (size_t iz = instrument.hasGlobalZone ? 1 : 0; iz < instrument.zones.size(); ++iz) {
                ZoneGenerators ig = zoneGenerators(instrument.zones, instrument.hasGlobalZone, iz);
                PendingZone z;
                if (zoneFromHydra(preset, pg, instrument, ig, uint32_t(instrument.zones[iz].target), z)) return true;
            }
        }
        return false;
    }
};

// Why a preset is left out before it is converted.
enum class PresetChoice { Convert, OutOfRange, SameAsPrevious };

// The presets in the order the bank lists their instruments: drum kits
// after the melodic instruments, each group by bank and program; of two
// presets with the same bank and program the first one counts. Calls
// visit(index, choice, previous), previous being the preset that a
// SameAsPrevious one repeats.
template <typename Visit>
void forEachPreset(const Sf2Bank& bank, Visit visit) {
    std::vector<size_t> order(bank.presets.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Sf2Preset& pa = bank.presets[a];
        const Sf2Preset& pb = bank.presets[b];
        return std::make_tuple(pa.bank == kDrumBank, pa.bank, pa.program) <
               std::make_tuple(pb.bank == kDrumBank, pb.bank, pb.program);
    });
    const Sf2Preset* previous = nullptr;
    for (size_t index : order) {
        const Sf2Preset& p = bank.presets[index];
        if ((p.bank > 127 && p.bank != kDrumBank) || p.program > 127) {
            visit(index, PresetChoice::OutOfRange, previous);
        } else if (previous && previous->bank == p.bank && previous->program == p.program) {
            visit(index, PresetChoice::SameAsPrevious, previous);
        } else {
            visit(index, PresetChoice::Convert, previous);
            previous = &p;
        }
    }
}

// The instrument header a preset becomes.
DlsInstrumentDesc instrumentHeader(const Sf2Preset& p) {
    DlsInstrumentDesc ins;
    ins.bank = p.bank == kDrumBank ? kDlsDrumBank : uint32_t(p.bank) << 8;
    ins.program = p.program;
    ins.name = p.name;
    return ins;
}

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

DlsConnection connection(uint16_t destination, int32_t scale) {
    DlsConnection c;
    c.destination = destination;
    c.scale = scale;
    return c;
}

}  // namespace

bool sf2ScalePoints(const uint8_t* points, size_t count, double scale, int16_t* out) {
    auto point = [&](size_t i) { return double(int16_t(uint16_t(points[2 * i] | points[2 * i + 1] << 8))); };
    if (!(std::fabs(scale) < 65535.0)) {
        bool saturated = false;
        for (size_t i = 0; i < count; ++i) {
            double v = std::round(point(i) * scale);
            saturated = saturated || v > 32767.0 || v < -32768.0;
            out[i] = int16_t(std::clamp(v, -32768.0, 32767.0));
        }
        return saturated;
    }
    // Every product lies within 2^31 - 2^15, where the truncation and the
    // fraction it leaves are exact: what follows is std::round, without the
    // library call, four values at a time where SSE2 is there.
    size_t i = 0;
    bool saturated = false;
#if defined(__SSE2__)
    const __m128d s = _mm_set1_pd(scale), half = _mm_set1_pd(0.5), minusHalf = _mm_set1_pd(-0.5);
    const __m128d one = _mm_set1_pd(1.0), top = _mm_set1_pd(32767.0), bottom = _mm_set1_pd(-32768.0);
    __m128d cut = _mm_setzero_pd();
    auto roundTwo = [&](__m128i values) {  // the two low 32-bit lanes
        const __m128d x = _mm_mul_pd(_mm_cvtepi32_pd(values), s);
        __m128d whole = _mm_cvtepi32_pd(_mm_cvttpd_epi32(x));
        const __m128d fraction = _mm_sub_pd(x, whole);
        whole = _mm_add_pd(whole, _mm_and_pd(_mm_cmpge_pd(fraction, half), one));
        whole = _mm_sub_pd(whole, _mm_and_pd(_mm_cmple_pd(fraction, minusHalf), one));
        cut = _mm_or_pd(cut, _mm_or_pd(_mm_cmpgt_pd(whole, top), _mm_cmplt_pd(whole, bottom)));
        return _mm_cvttpd_epi32(whole);
    };
    for (; i + 4 <= count; i += 4) {
        const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(points + 2 * i));
        const __m128i wide = _mm_srai_epi32(_mm_unpacklo_epi16(raw, raw), 16);
        const __m128i four = _mm_unpacklo_epi64(roundTwo(wide), roundTwo(_mm_srli_si128(wide, 8)));
        // Packing cuts to 16 bits as the clamp below does.
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(four, four));
    }
    saturated = _mm_movemask_pd(cut) != 0;
#endif
    for (; i < count; ++i) {
        const double x = point(i) * scale;
        int32_t whole = int32_t(x);
        const double fraction = x - double(whole);
        whole += int32_t(fraction >= 0.5) - int32_t(fraction <= -0.5);
        saturated = saturated || whole > 32767 || whole < -32768;
        out[i] = int16_t(std::clamp(whole, -32768, 32767));
    }
    return saturated;
}

std::vector<DlsConnection> volumeEnvelopeConnections(const Sf2VolumeEnvelope& env, int32_t pan) {
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

    std::vector<DlsConnection> blocks;
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
    PointsInMemory points(bank);
    Converter conv{bank, out, stats, points, options.gainDb};
    conv.tuningInWaveSample = options.tuningInWaveSample;

    const size_t total = bank.presets.size();
    size_t done = 0;
    forEachPreset(bank, [&](size_t index, PresetChoice choice, const Sf2Preset* previous) {
        const Sf2Preset& p = bank.presets[index];
        if (options.progress) options.progress(done, total);
        ++done;
        std::string name = "preset " + std::to_string(p.bank) + ":" + std::to_string(p.program) + " '" + p.name + "'";
        if (choice == PresetChoice::OutOfRange) {
            ++stats.skippedPresets;
            conv.note(name + ": bank or program out of range, skipped");
            return;
        }
        if (choice == PresetChoice::SameAsPrevious) {
            ++stats.skippedPresets;
            conv.note(name + ": same bank and program as '" + previous->name + "', skipped");
            return;
        }
        DlsInstrumentDesc ins = instrumentHeader(p);
        if (!conv.convertPreset(p, ins)) {
            ++stats.skippedPresets;
            conv.note(name + ": nothing playable, skipped");
            return;
        }
        stats.regions += uint32_t(ins.regions.size());
        if (p.bank == kDrumBank)
            ++stats.drumKits;
        else
            ++stats.melodicInstruments;
        out.instruments.push_back(std::move(ins));
    });
    if (options.progress) options.progress(total, total);
    stats.waves = uint32_t(out.waves.size());
    if (out.instruments.empty()) {
        error = "no preset yields a playable instrument";
        return false;
    }
    return true;
}

}  // namespace tz

namespace tz {

std::vector<Sf2InstrumentEntry> sf2InstrumentList(const Sf2Bank& bank) {
    std::vector<Sf2InstrumentEntry> list;
    DlsBankDesc unused;
    Sf2ConvertStats stats;
    PointsInMemory points(bank);
    Converter conv{bank, unused, stats, points};
    forEachPreset(bank, [&](size_t index, PresetChoice choice, const Sf2Preset*) {
        const Sf2Preset& p = bank.presets[index];
        if (choice != PresetChoice::Convert || !conv.playable(p)) return;
        DlsInstrumentDesc header = instrumentHeader(p);
        list.push_back(Sf2InstrumentEntry{uint32_t(index), header.bank, header.program});
    });
    return list;
}

bool convertSf2Preset(const Sf2Bank& bank, uint32_t preset, Sf2SamplePoints& points, double gainDb, DlsBankDesc& out,
                      std::vector<Sf2WaveValues>& values) {
    out = DlsBankDesc{};
    values.clear();
    if (preset >= bank.presets.size()) return false;
    Sf2ConvertStats stats;
    Converter conv{bank, out, stats, points, gainDb, &values};
    const Sf2Preset& p = bank.presets[preset];
    DlsInstrumentDesc ins = instrumentHeader(p);
    if (!conv.convertPreset(p, ins)) return false;
    out.instruments.push_back(std::move(ins));
    return true;
}

}  // namespace tz
