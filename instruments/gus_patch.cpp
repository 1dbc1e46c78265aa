#include "instruments/gus_patch.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "instruments/patch_path.h"
#include "instruments/pre_resample.h"
#include "platform/byte_reader.h"
#include "platform/saturate.h"
#include "records/envelope.h"
#include "records/midi_song.h"

namespace tz {

namespace {

constexpr size_t kHeaderSize = 239;
constexpr size_t kSampleHeaderSize = 96;
constexpr size_t kReadChunk = 64 * 1024;

constexpr char kMagic110[] = "GF1PATCH110\0ID#000002";
constexpr char kMagic100[] = "GF1PATCH100\0ID#000002";
static_assert(sizeof(kMagic110) == 22 && sizeof(kMagic100) == 22);

bool readExact(std::FILE* file, void* buffer, size_t size) {
    return size == 0 || std::fread(buffer, 1, size, file) == size;
}

// Reads `size` bytes, growing the buffer only as the data actually arrive, so
// a size field promising more than the file holds costs nothing.
bool readBytes(std::FILE* file, size_t size, std::vector<uint8_t>& out) {
    out.clear();
    while (out.size() < size) {
        size_t part = std::min(kReadChunk, size - out.size());
        size_t at = out.size();
        out.resize(at + part);
        if (!readExact(file, out.data() + at, part)) return false;
    }
    return true;
}

// What the loader uses of the 239 bytes before the first sample: the file
// header (129 bytes, the magic first), the first instrument's header (63)
// and that instrument's first layer header (47).
struct PatchHeader {
    uint8_t instrumentCount = 0;
    uint8_t layerCount = 0;  // of the first instrument
    int8_t sampleCount = 0;  // of its first layer; the file holds it as a signed byte
};

// Where the counts lie: after the file header's magic and description, in
// the instrument header after its id, name and size, and in the layer header
// after its duplicate flag, number and size.
constexpr size_t kInstrumentCountAt = 82;
constexpr size_t kLayerCountAt = 151;
constexpr size_t kSampleCountAt = 198;

bool parsePatchHeader(ByteReader r, PatchHeader& h) {
    if (r.size() < kHeaderSize) return false;
    if (std::memcmp(r.data().data(), kMagic110, sizeof kMagic110) != 0 &&
        std::memcmp(r.data().data(), kMagic100, sizeof kMagic100) != 0)
        return false;
    uint8_t samples = 0;
    if (!r.seek(kInstrumentCountAt) || !r.u8(h.instrumentCount) || !r.seek(kLayerCountAt) ||
        !r.u8(h.layerCount) || !r.seek(kSampleCountAt) || !r.u8(samples))
        return false;
    h.sampleCount = int8_t(samples);
    return true;
}

struct SampleHeader {
    uint8_t fractions = 0;
    uint32_t waveSize = 0;
    uint32_t loopStart = 0;
    uint32_t loopEnd = 0;
    uint16_t sampleRate = 0;
    uint32_t lowFrequency = 0;
    uint32_t highFrequency = 0;
    uint32_t rootFrequency = 0;
    uint8_t balance = 0;
    uint8_t envelopeRates[6] = {};
    uint8_t envelopeOffsets[6] = {};
    uint8_t tremoloSweep = 0;
    uint8_t tremoloRate = 0;
    uint8_t tremoloDepth = 0;
    uint8_t vibratoSweep = 0;
    uint8_t vibratoRate = 0;
    uint8_t vibratoDepth = 0;
    uint8_t modes = 0;
};

bool parseSampleHeader(ByteReader& r, SampleHeader& h) {
    return r.skip(7) && r.u8(h.fractions) && r.u32le(h.waveSize) && r.u32le(h.loopStart) &&
           r.u32le(h.loopEnd) && r.u16le(h.sampleRate) && r.u32le(h.lowFrequency) &&
           r.u32le(h.highFrequency) && r.u32le(h.rootFrequency) && r.skip(2) && r.u8(h.balance) &&
           r.bytes(h.envelopeRates, 6) && r.bytes(h.envelopeOffsets, 6) && r.u8(h.tremoloSweep) &&
           r.u8(h.tremoloRate) && r.u8(h.tremoloDepth) && r.u8(h.vibratoSweep) &&
           r.u8(h.vibratoRate) && r.u8(h.vibratoDepth) && r.u8(h.modes) && r.skip(40);
}

uint8_t adjustModes(uint8_t modes, const SampleHeader& h, int32_t stripLoop, int32_t stripEnvelope) {
    constexpr uint8_t kLoopBits = ModeLooping | ModePingPong | ModeReverse;
    if (modes & ModeLooping) modes |= ModeSustain;
    if (stripLoop == 1 && (modes & (kLoopBits | ModeSustain))) modes &= uint8_t(~(kLoopBits | ModeSustain));
    if (stripEnvelope == 1) {
        modes &= uint8_t(~ModeEnvelope);
    } else if (stripEnvelope != 0) {
        if (!(modes & kLoopBits)) {
            modes &= uint8_t(~(ModeSustain | ModeEnvelope));
        } else {
            bool allRates63 = std::all_of(std::begin(h.envelopeRates), std::end(h.envelopeRates),
                                          [](uint8_t b) { return b == 63; });
            if (allRates63 || int8_t(h.envelopeOffsets[5]) >= 100 || !(modes & ModeSustain))
                modes &= uint8_t(~ModeEnvelope);
        }
    }
    return modes;
}

// Tremolo, vibrato and envelope steps for the song's rates. Worked in 64 bits
// and saturated, which gives the 32-bit results for every usable rate and
// keeps absurd rates from overflowing.
void setModulation(Sample& s, const SampleHeader& h, int64_t outputRate, int64_t controlRatio) {
    if (h.tremoloRate && h.tremoloDepth) {
        s.tremoloSweepStep =
            h.tremoloSweep ? saturateToInt32(controlRatio * 2490368 / (int64_t(h.tremoloSweep) * outputRate)) : 0;
        s.tremoloPhaseStep =
            saturateToInt32(((int64_t(h.tremoloRate) * controlRatio) << 15) / (outputRate * 38));
        s.tremoloDepth = h.tremoloDepth;
    }
    if (h.vibratoRate && h.vibratoDepth) {
        s.vibratoPeriod = saturateToInt32(outputRate * 38 / (int64_t(h.vibratoRate) * 64));
        if (h.vibratoSweep) {
            // The product is exact in double; it is then rounded to single
            // precision before the division.
            float scaled = float(double(s.vibratoPeriod) * 38.0 * 65536.0);
            double q = double(scaled) / double(int64_t(h.vibratoSweep) * outputRate);
            s.vibratoSweepStep = q >= 2147483647.0 ? std::numeric_limits<int32_t>::max() : int32_t(q);
        }
        s.vibratoDepth = h.vibratoDepth;
    }
    for (int i = 0; i < 6; ++i) {
        int64_t b = h.envelopeRates[i];
        int64_t rate = ((b & 63) << (3 * (3 - (b >> 6)))) * 44100 / outputRate;
        s.envelopeRate[i] = saturateToInt32((rate * controlRatio) << 10);
        s.envelopeTarget[i] = envelopeValue(h.envelopeOffsets[i]);
    }
}

// Turns the wave bytes into signed 16-bit values with guard values after them.
std::shared_ptr<int16_t[]> convertWave(const std::vector<uint8_t>& bytes, uint8_t modes, int32_t count) {
    std::shared_ptr<int16_t[]> data = allocateSampleData(count);
    uint16_t flip = (modes & ModeUnsigned) ? 0x8000 : 0;
    int16_t* out = data.get();
    if (modes & Mode16Bit) {
        for (int32_t i = 0; i < count; ++i)
            out[i] = int16_t(uint16_t(bytes[2 * size_t(i)] | bytes[2 * size_t(i) + 1] << 8) ^ flip);
    } else {
        for (int32_t i = 0; i < count; ++i) out[i] = int16_t(uint16_t(bytes[size_t(i)] << 8) ^ flip);
    }
    setGuardValues(out, count);
    return data;
}

// Loads one sample record (header and data). False when the record is short or
// its sizes don't fit the data.
bool loadSample(MidiSong& song, std::FILE* file, Sample& s, int32_t panning, int32_t amplification,
                int32_t fixedNote, int32_t stripLoop, int32_t stripEnvelope, int32_t stripTail) {
    std::array<uint8_t, kSampleHeaderSize> raw;
    if (!readExact(file, raw.data(), raw.size())) return false;
    ByteReader reader(raw.data(), raw.size());
    SampleHeader h;
    if (!parseSampleHeader(reader, h)) return false;

    // Everything the engine later divides by or indexes with is checked here.
    bool sixteenBit = h.modes & Mode16Bit;
    uint32_t count = sixteenBit ? h.waveSize / 2 : h.waveSize;
    if (count > uint32_t(kMaxSampleValues)) return false;
    if (h.loopStart > h.loopEnd || h.loopEnd > h.waveSize) return false;
    if (h.sampleRate == 0 || h.rootFrequency == 0 || h.rootFrequency > uint32_t(INT32_MAX)) return false;

    s.sampleRate = h.sampleRate;
    s.lowFrequency = int32_t(h.lowFrequency);
    s.highFrequency = int32_t(h.highFrequency);
    s.rootFrequency = int32_t(h.rootFrequency);
    s.lowVelocity = 0;
    s.highVelocity = 127;
    s.panning = int8_t(panning == -1 ? (h.balance * 8 + 4) & 0x7F : panning & 0x7F);
    s.fixedNote = uint8_t(fixedNote == -1 ? 0 : fixedNote);
    s.modes = adjustModes(h.modes, h, stripLoop, stripEnvelope);
    setModulation(s, h, song.outputRate, song.controlRatio);

    std::vector<uint8_t> bytes;
    if (!readBytes(file, h.waveSize, bytes)) return false;
    s.data = convertWave(bytes, h.modes, int32_t(count));
    bytes = {};

    // Byte counts, as 16-bit data would have them.
    int32_t dataLength = int32_t(h.waveSize);
    int32_t loopStart = int32_t(h.loopStart);
    int32_t loopEnd = int32_t(h.loopEnd);
    if (!sixteenBit) {
        dataLength *= 2;
        loopStart *= 2;
        loopEnd *= 2;
    }
    int16_t* values = s.data.get();
    if (s.modes & ModeReverse) {
        std::reverse(values, values + count);
        setGuardValues(values, int32_t(count));
        int32_t oldStart = loopStart;
        loopStart = dataLength - loopEnd;
        loopEnd = dataLength - oldStart;
        s.modes = uint8_t((s.modes & ~ModeReverse) | ModeLooping);
    }

    if (amplification != -1) {
        s.volume = float(double(amplification) / 100.0);
    } else {
        int32_t peak = 0;
        for (uint32_t i = 0; i < count; ++i) {
            int32_t v = values[i];
            peak = std::max(peak, v < 0 ? -v : v);
        }
        // Silence has no peak to normalise to; it keeps unit gain.
        s.volume = peak ? float(32768.0 / double(peak)) : 1.0f;
    }

    s.dataLength = (dataLength / 2) << kFractionBits;
    s.loopStart = ((loopStart / 2) << kFractionBits) | ((h.fractions & 0x0F) << 8);
    s.loopEnd = ((loopEnd / 2) << kFractionBits) | ((h.fractions >> 4) << 8);
    // A fraction may carry a loop point at the very end past the data.
    s.loopEnd = std::min(s.loopEnd, s.dataLength);
    s.loopStart = std::min(s.loopStart, s.dataLength);
    if (s.modes & ModeLooping) {
        if (s.loopStart >= s.loopEnd) return false;
    } else {
        s.loopStart = std::min(s.loopStart, s.loopEnd);
    }

    if (s.fixedNote != 0 && !(s.modes & ModeLooping)) preResampleSample(song, s);
    if (stripTail == 1) s.dataLength = s.loopEnd;
    return true;
}

}  // namespace

std::unique_ptr<Instrument> loadPatchInstrument(MidiSong& song, const PatchSearchPath& searchPath,
                                                const std::string& name,
                                                int32_t panning, int32_t amplification,
                                                int32_t fixedNote, int32_t stripLoop,
                                                int32_t stripEnvelope, int32_t stripTail) {
    if (name.empty() || song.outputRate <= 0 || song.controlRatio <= 0) return nullptr;
    FileHandle file = openPatchFile(searchPath, name);
    if (!file && name.size() + 4 < kMaxPatchPath) file = openPatchFile(searchPath, name + ".pat");
    if (!file) return nullptr;

    std::array<uint8_t, kHeaderSize> raw;
    if (!readExact(file.get(), raw.data(), raw.size())) return nullptr;
    PatchHeader header;
    if (!parsePatchHeader(ByteReader(raw.data(), raw.size()), header)) return nullptr;
    // Only the first layer of a single instrument is read.
    if (header.instrumentCount > 1 || header.layerCount > 1) return nullptr;

    auto instrument = std::make_unique<Instrument>();
    int sampleCount = header.sampleCount;
    if (sampleCount <= 0) return instrument;
    instrument->samples.resize(size_t(sampleCount));
    for (Sample& s : instrument->samples) {
        if (!loadSample(song, file.get(), s, panning, amplification, fixedNote, stripLoop, stripEnvelope,
                        stripTail))
            return nullptr;
    }
    return instrument;
}

}  // namespace tz
