#include "soundfont/sf2_index.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "instruments/dls_collection.h"
#include "instruments/dls_convert.h"
#include "platform/byte_reader.h"
#include "platform/byte_source.h"
#include "records/instrument.h"
#include "soundfont/dls_writer.h"

namespace tz {

namespace {

constexpr int kWaveShift = 32;
constexpr uint64_t kWithinWave = (uint64_t(1) << kWaveShift) - 1;
constexpr size_t kPieceValues = 1024;

// Where the points of "smpl" lie in the file, and a read of a run of them.
struct PointsInFile {
    const Sf2Bank& bank;
    const ByteSource* file;

    bool read(uint32_t first, uint32_t end, uint8_t* out) const {
        if (!file || first > end || end > bank.sampleCount) return false;
        return file->read(bank.sampleDataOffset + 2 * uint64_t(first), out, 2 * size_t(end - first));
    }
};

// The points a conversion asks for, read from the file into one buffer.
class PointReader final : public Sf2SamplePoints {
public:
    explicit PointReader(PointsInFile points) : points_(points) {}
    const uint8_t* points(uint32_t first, uint32_t end) override {
        if (first >= end) return nullptr;
        buffer_.resize(2 * size_t(end - first));
        if (points_.read(first, end, buffer_.data())) return buffer_.data();
        failed = true;
        return nullptr;
    }
    bool failed = false;

private:
    PointsInFile points_;
    std::vector<uint8_t> buffer_;
};

// The waves of one converted preset as a byte source: wave i's 16-bit
// little-endian values at position i << 32, made from the points as they are
// read, into the reader's own memory.
class PresetWaves final : public ByteSource {
public:
    PresetWaves(const Sf2ConvertedPreset& preset, PointsInFile points) : preset_(preset), points_(points) {}
    uint64_t size() const override { return uint64_t(preset_.values.size()) << kWaveShift; }
    bool read(uint64_t offset, void* out, size_t count) const override {
        const uint64_t wave = offset >> kWaveShift;
        const uint64_t within = offset & kWithinWave;
        if (wave >= preset_.values.size() || within % 2 != 0 || count % 2 != 0) return false;
        const Sf2WaveValues& v = preset_.values[size_t(wave)];
        const uint64_t points = v.end - v.first;
        const uint64_t first = within / 2, end = first + count / 2;
        if (end > points + v.silentValues) return false;
        auto* bytes = static_cast<uint8_t*>(out);
        // The points are read where their values go, then scaled in pieces
        // through a buffer of their own.
        const uint64_t pointEnd = std::min(end, points);
        if (first < pointEnd) {
            if (!points_.read(v.first + uint32_t(first), v.first + uint32_t(pointEnd), bytes)) return false;
            uint8_t piece[2 * kPieceValues];
            int16_t values[kPieceValues];
            for (uint64_t done = 0; done < pointEnd - first; done += kPieceValues) {
                const size_t n = size_t(std::min<uint64_t>(kPieceValues, pointEnd - first - done));
                std::memcpy(piece, bytes + 2 * done, 2 * n);
                sf2ScalePoints(piece, n, v.scale, values);
                for (size_t i = 0; i < n; ++i) {
                    bytes[2 * (done + i)] = uint8_t(uint16_t(values[i]));
                    bytes[2 * (done + i) + 1] = uint8_t(uint16_t(values[i]) >> 8);
                }
            }
        }
        const uint64_t silentFrom = std::max(first, points);
        if (silentFrom < end) std::fill(bytes + 2 * (silentFrom - first), bytes + 2 * (end - first), uint8_t(0));
        return true;
    }

private:
    const Sf2ConvertedPreset& preset_;
    PointsInFile points_;
};

std::shared_ptr<const Sf2ConvertedPreset> convertPreset(const SoundFontIndex& index, const Sf2InstrumentEntry& entry,
                                                        const ByteSource* file, bool& readFailed) {
    PointReader points(PointsInFile{index.bank, file});
    auto preset = std::make_shared<Sf2ConvertedPreset>();
    DlsBankDesc desc;
    if (!convertSf2Preset(index.bank, entry.preset, points, index.gainDb, desc, preset->values)) {
        readFailed = readFailed || points.failed;
        return nullptr;
    }
    // The collection is the one the converted bank would give for this
    // instrument, its waves written with one value and then placed in
    // PresetWaves. (Not empty: the index skips a chunk of no data that ends
    // its list.)
    for (DlsWaveDesc& w : desc.waves) w.data.assign(2, 0);
    preset->collection = indexDlsCollection(MemorySource(writeDlsBank(desc)));
    if (!preset->collection || preset->collection->waves.size() != preset->values.size()) return nullptr;
    for (size_t i = 0; i < preset->values.size(); ++i) {
        const Sf2WaveValues& v = preset->values[i];
        DlsWave& wave = preset->collection->waves[i];
        wave.dataPosition = uint64_t(i) << kWaveShift;
        wave.dataLength = 2 * (v.end - v.first + v.silentValues);
    }
    return preset;
}

bool melodicMatch(const Sf2InstrumentEntry& e, int bank, int program) {
    return !(e.bank & kDlsDrumBit) && int((e.bank >> 8) & 0xFF) == bank && e.program == uint32_t(program);
}

}  // namespace

Sf2ConvertedPreset::Sf2ConvertedPreset() = default;
Sf2ConvertedPreset::~Sf2ConvertedPreset() = default;

bool isSoundFont(const ByteSource& file) {
    uint8_t header[12];
    if (file.size() < sizeof header || !file.read(0, header, sizeof header)) return false;
    ByteReader r(header, sizeof header);
    return r.tag("RIFF") && r.skip(8) && r.tag("sfbk");
}

std::unique_ptr<SoundFontIndex> indexSoundFont(const ByteSource& file, double gainDb, Sf2ReadStatus* status,
                                               std::string* error) {
    std::string why;
    Sf2ReadStatus read = Sf2ReadStatus::ReadFailed;
    std::unique_ptr<SoundFontIndex> index;
    try {
        index = std::make_unique<SoundFontIndex>();
        read = readSf2(file, index->bank, why);
        if (read == Sf2ReadStatus::Ok) {
            index->gainDb = gainDb;
            index->instruments = sf2InstrumentList(index->bank);
            index->converted.resize(index->instruments.size());
        } else {
            index.reset();
        }
    } catch (const std::bad_alloc&) {
        index.reset();
        why = "out of memory";
    }
    if (status) *status = read;
    if (error) *error = why;
    return index;
}

int32_t findSoundFontInstrument(const SoundFontIndex& index, bool drum, int bank, int program) {
    const std::vector<Sf2InstrumentEntry>& list = index.instruments;
    if (drum) {
        for (size_t i = 0; i < list.size(); ++i)
            if ((list[i].bank & kDlsDrumBit) && list[i].program == uint32_t(bank)) return int32_t(i);
        return -1;
    }
    for (size_t i = 0; i < list.size(); ++i)
        if (melodicMatch(list[i], bank, program)) return int32_t(i);
    if (bank == 0) {
        for (size_t i = 0; i < list.size(); ++i)
            if (!(list[i].bank & kDlsDrumBit) && list[i].program == uint32_t(program)) return int32_t(i);
    }
    return -1;
}

std::shared_ptr<const Sf2ConvertedPreset> convertedSoundFontPreset(const SoundFontIndex& index, int32_t entry,
                                                                   const ByteSource* file, bool& readFailed) {
    if (entry < 0 || size_t(entry) >= index.instruments.size()) return nullptr;
    {
        std::lock_guard<std::mutex> lock(index.mutex);
        if (index.converted[size_t(entry)]) return index.converted[size_t(entry)];
    }
    // Converted outside the lock; of two threads converting the same preset
    // the first to finish gives both their copy.
    std::shared_ptr<const Sf2ConvertedPreset> fresh;
    try {
        fresh = convertPreset(index, index.instruments[size_t(entry)], file, readFailed);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!fresh) return nullptr;
    std::lock_guard<std::mutex> lock(index.mutex);
    std::shared_ptr<const Sf2ConvertedPreset>& slot = index.converted[size_t(entry)];
    if (!slot) slot = std::move(fresh);
    return slot;
}

std::unique_ptr<Instrument> loadSoundFontInstrument(MidiSong& song, const SoundFontIndex& index, bool drum, int bank,
                                                    int program, DlsWaveAccess& access) {
    const int32_t entry = findSoundFontInstrument(index, drum, bank, program);
    if (entry < 0) return nullptr;
    std::shared_ptr<const Sf2ConvertedPreset> preset =
        convertedSoundFontPreset(index, entry, access.file, access.readFailed);
    if (!preset) return nullptr;
    PresetWaves waves(*preset, PointsInFile{index.bank, access.file});
    DlsWaveAccess fromPreset;
    fromPreset.file = &waves;
    std::unique_ptr<Instrument> instrument =
        loadDlsInstrument(song, *preset->collection, drum, bank, program, fromPreset);
    access.readFailed = access.readFailed || fromPreset.readFailed;
    return instrument;
}

}  // namespace tz
