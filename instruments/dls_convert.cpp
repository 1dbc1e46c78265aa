#include "instruments/dls_convert.h"

#include "instruments/dls_articulation.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "platform/portable_math.h"
#include "platform/saturate.h"
#include "records/midi_song.h"
#include "records/tables.h"

namespace tz {

namespace {

// The last two stages end a voice at once.
constexpr int32_t kFinalStageRate = envelopeValue(1);

// Sum (wrapping) of lScale over the blocks with this destination and source,
// control and transform 0. `found` tells whether any block matched.
int32_t sumConnections(const DlsArticulation& articulation, uint16_t destination, bool* found = nullptr) {
    uint32_t sum = 0;
    bool any = false;
    for (uint32_t i = 0; i < articulation.connectionCount; ++i) {
        DlsConnection c = dlsConnection(articulation, i);
        if (c.destination != destination || c.source != 0 || c.control != 0 || c.transform != 0) continue;
        sum += uint32_t(c.scale);
        any = true;
    }
    if (found) *found = any;
    return int32_t(sum);
}

// A stage time in milliseconds; destinations that no block sets take the
// default of 0 s.
double stageTime(const DlsArticulation* blocks, uint16_t destination) {
    if (!blocks) return 0.0;
    bool found = false;
    int32_t sum = sumConnections(*blocks, destination, &found);
    if (!found || sum == kDlsTimeZero) return 0.0;
    int32_t timecents = sum / 65536;
    return 1000.0 * portableExp2(double(timecents) / 1200.0);
}

// Sustain as an envelope level 0..kDlsHoldLevel; 100 % when no block sets it.
int32_t sustainLevel(const DlsArticulation* blocks) {
    if (!blocks) return dlsSustainLevel(1000);
    bool found = false;
    int32_t sum = sumConnections(*blocks, kDlsDestSustainLevel, &found);
    if (!found) return dlsSustainLevel(1000);
    return dlsSustainLevel(std::clamp(sum / 65536, 0, 1000));
}

// Panning 0..127 (63 for the centre, as the engine expects it).
int8_t panning(const DlsArticulation* blocks) {
    int32_t p = 0;
    if (blocks) p = std::clamp(sumConnections(*blocks, kDlsDestPan) / 65536, -500, 500);
    return int8_t(uint8_t(saturatingTruncate(127.0 * (double(p) / 1000.0 + 0.5))));
}

int32_t stageRate(const MidiSong& song, int32_t distance, double timeMs) {
    return saturatingTruncate(((double(distance) / double(song.outputRate)) * double(song.controlRatio) * 1000.0) /
                           timeMs);
}

void applyEnvelope(const MidiSong& song, const DlsArticulation* blocks, Sample& s) {
    double attack = std::max(stageTime(blocks, kDlsDestAttackTime), kDlsMinimumStageMs);
    double hold = std::max(stageTime(blocks, kDlsDestHoldTime), kDlsMinimumStageMs);
    double decay = std::max(stageTime(blocks, kDlsDestDecayTime), kDlsMinimumStageMs);
    double release = std::max(stageTime(blocks, kDlsDestReleaseTime), kDlsMinimumStageMs);
    int32_t v = sustainLevel(blocks);  // 0..kDlsHoldLevel, so no distance below is 0

    s.envelopeRate[0] = stageRate(song, envelopeValue(kEnvelopeFullLevel), attack);
    s.envelopeTarget[0] = envelopeValue(kEnvelopeFullLevel);
    s.envelopeRate[1] = stageRate(song, envelopeValue(kEnvelopeFullLevel - kDlsHoldLevel), hold);
    s.envelopeTarget[1] = envelopeValue(kDlsHoldLevel);
    s.envelopeRate[2] = stageRate(song, envelopeValue(dlsDecayDistance(v)), decay);
    s.envelopeTarget[2] = envelopeValue(v);
    s.envelopeRate[3] = stageRate(song, envelopeValue(dlsReleaseDistance(v)), release);
    s.envelopeTarget[3] = 0;
    s.envelopeRate[4] = kFinalStageRate;
    s.envelopeTarget[4] = 0;
    s.envelopeRate[5] = kFinalStageRate;
    s.envelopeTarget[5] = 0;
    s.modes |= ModeEnvelope;
}

// The values a wave converts to: unsigned 8-bit, else signed 16-bit, up to
// what a sample holds.
int32_t waveValueCount(const DlsWave& wave) {
    size_t available = wave.bitsPerSample == 8 ? wave.dataLength : wave.dataLength / 2;
    return int32_t(std::min<size_t>(available, size_t(kMaxSampleValues)));
}

// The wave's data as signed 16-bit values plus guard and read-ahead values:
// the copy another song on the collection holds, else read and converted now.
std::shared_ptr<int16_t[]> waveData(const DlsCollection& dls, uint32_t index, int32_t count, DlsWaveAccess& access) {
    if (std::shared_ptr<int16_t[]> held = dls.sharedWaves.find(index)) return held;

    const DlsWave& wave = dls.waves[index];
    const bool eightBit = wave.bitsPerSample == 8;
    // Not zeroed first: every value is read from the bank next.
    std::shared_ptr<int16_t[]> data(new int16_t[sampleDataSize(count)]);
    int16_t* out = data.get();
    // The bytes are read into the sample's own memory and converted in place:
    // value i takes bytes 2i and 2i+1, so 16-bit values convert upwards (on a
    // little-endian machine they are their own bytes) and 8-bit ones, whose
    // byte i lies at or below them, downwards.
    auto* bytes = reinterpret_cast<uint8_t*>(out);
    if (!readDlsWaveData(dls, wave, access.file, bytes, size_t(count) * (eightBit ? 1 : 2))) {
        access.readFailed = true;
        return nullptr;
    }
    if (eightBit) {
        for (int32_t i = count - 1; i >= 0; --i) out[i] = int16_t((int32_t(bytes[i]) - 128) * 256);
    } else if constexpr (std::endian::native != std::endian::little) {
        for (int32_t i = 0; i < count; ++i) out[i] = int16_t(uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8));
    }
    setGuardValues(out, count);
    return dls.sharedWaves.offer(index, std::move(data));
}

// The classic sound's own blocks where the bank gives them, else the
// region's, else the instrument's.
const DlsArticulation* chooseBlocks(const DlsInstrument& instrument, const DlsRegion& region) {
    if (region.classicArticulation.present && region.classicArticulation.connectionCount > 0)
        return &region.classicArticulation;
    if (region.articulation.present && region.articulation.connectionCount > 0) return &region.articulation;
    if (instrument.articulation.present && instrument.articulation.connectionCount > 0)
        return &instrument.articulation;
    return nullptr;
}

// Fills `s` from region `region` of `instrument`. False (sample
// unusable) when the region's header, wave link, wave sample or wave is
// missing or out of range.
bool convertDlsRegion(const MidiSong& song, const DlsCollection& dls, const DlsInstrument& instrument,
                      const DlsRegion& region, Sample& s, DlsWaveAccess& access) {
    if (!region.hasHeader || !region.hasWaveLink || !region.waveSample.present) return false;
    if (region.waveIndex >= dls.waves.size()) return false;
    const DlsWave& wave = dls.waves[region.waveIndex];
    if (!wave.hasFormat || !wave.hasData) return false;
    if (wave.sampleRate == 0 || wave.sampleRate > uint32_t(INT32_MAX)) return false;
    if (region.keyLow > 127 || region.waveSample.unityNote > 127) return false;
    const int32_t count = waveValueCount(wave);
    if (count <= 0) return false;
    std::shared_ptr<int16_t[]> data = waveData(dls, region.waveIndex, count, access);
    if (!data) return false;

    s = Sample{};
    s.lowFrequency = noteFrequencyTable[region.keyLow];
    s.highFrequency = noteFrequencyTable[std::min<uint16_t>(region.keyHigh, 127)];
    s.rootFrequency = noteFrequencyTable[region.waveSample.unityNote];
    s.lowVelocity = region.velocityLow;
    s.highVelocity = region.velocityHigh;
    s.modes = Mode16Bit;
    s.sampleRate = int32_t(wave.sampleRate);
    s.dataLength = count;
    s.data = std::move(data);

    if (region.waveSample.loopCount > 0) {
        const DlsLoop& loop = region.waveSample.loop;
        uint32_t values = uint32_t(count);
        uint32_t start = std::min(loop.start, values);
        uint32_t end = uint32_t(std::min<uint64_t>(uint64_t(loop.start) + loop.length, values));
        if (end > start) {
            s.modes |= ModeLooping | ModeSustain;
            s.loopStart = int32_t(start);
            s.loopEnd = int32_t(end);
        }
    }
    s.volume = 1.0f;

    const DlsArticulation* blocks = chooseBlocks(instrument, region);
    s.panning = panning(blocks);
    if (s.modes & ModeSustain) applyEnvelope(song, blocks, s);

    s.articulation = resolveArticulation(instrument, region, wave, (s.modes & ModeLooping) == 0);

    s.dataLength <<= kFractionBits;
    s.loopStart <<= kFractionBits;
    s.loopEnd <<= kFractionBits;
    return true;
}

std::unique_ptr<Instrument> convertRegions(MidiSong& song, const DlsCollection& dls, const DlsInstrument& instrument,
                                           bool drum, int note, DlsWaveAccess& access) {
    auto result = std::make_unique<Instrument>();
    for (const DlsRegion& region : instrument.regions) {
        if (drum && !(region.hasHeader && region.keyLow <= note && note <= region.keyHigh)) continue;
        Sample sample;
        if (convertDlsRegion(song, dls, instrument, region, sample, access))
            result->samples.push_back(std::move(sample));
    }
    if (result->samples.empty()) return nullptr;
    return result;
}

}  // namespace

std::unique_ptr<Instrument> loadDlsInstrument(MidiSong& song, const DlsCollection& collection, bool drum, int bank,
                                              int program, DlsWaveAccess& access) {
    const DlsCollection* dls = &collection;
    try {
        if (drum) {
            // A kit is found by drum-set number; the note picks its regions.
            for (const DlsInstrument& ins : dls->instruments) {
                if (ins.hasHeader && (ins.bank & kDlsDrumBit) && ins.program == uint32_t(bank))
                    return convertRegions(song, *dls, ins, true, program, access);
            }
            return nullptr;
        }
        const DlsInstrument* match = nullptr;
        for (const DlsInstrument& ins : dls->instruments) {
            if (ins.hasHeader && !(ins.bank & kDlsDrumBit) && int((ins.bank >> 8) & 0xFF) == bank &&
                ins.program == uint32_t(program)) {
                match = &ins;
                break;
            }
        }
        if (!match && bank == 0) {
            for (const DlsInstrument& ins : dls->instruments) {
                if (ins.hasHeader && !(ins.bank & kDlsDrumBit) && ins.program == uint32_t(program)) {
                    match = &ins;
                    break;
                }
            }
        }
        if (!match) return nullptr;
        return convertRegions(song, *dls, *match, false, 0, access);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::unique_ptr<Instrument> loadDlsInstrument(MidiSong& song, const DlsCollection& collection, bool drum, int bank,
                                              int program) {
    DlsWaveAccess access;
    return loadDlsInstrument(song, collection, drum, bank, program, access);
}

}  // namespace tz
