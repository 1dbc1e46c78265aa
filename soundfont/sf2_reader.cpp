#include "soundfont/sf2_reader.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <span>

#include "platform/byte_reader.h"
#include "platform/byte_source.h"
#include "platform/input_stream.h"
#include "platform/paths.h"
#include "platform/riff_chunks.h"

namespace tz {

namespace {

constexpr size_t kPresetHeaderSize = 38;
constexpr size_t kBagSize = 4;
constexpr size_t kGeneratorSize = 4;
constexpr size_t kInstrumentHeaderSize = 22;
constexpr size_t kSampleHeaderSize = 46;
constexpr size_t kNameSize = 20;

struct Chunk {
    char id[5] = {};
    ByteReader body;
};

// Reads the next chunk of a list body: its identifier and a reader over its
// data. A chunk that runs past the end of its list fails with a message.
bool nextChunk(ByteReader& list, Chunk& chunk, std::string& error) {
    RiffChunkView view;
    if (list.remaining() < 8) {
        error = "truncated chunk header";
        return false;
    }
    if (!nextRiffChunk(list, view, true)) {
        error = "chunk '" + riffIdText(view.id) + "' (" + std::to_string(view.size) +
                " bytes) runs past the end of its list";
        return false;
    }
    const std::string id = riffIdText(view.id);
    std::memcpy(chunk.id, id.data(), 4);
    chunk.id[4] = 0;
    chunk.body = ByteReader(view.data);
    return true;
}

std::string readName(ByteReader& r) {
    char raw[kNameSize];
    r.bytes(raw, kNameSize);  // callers check the record size first
    std::string name;
    for (size_t i = 0; i < kNameSize && raw[i] != 0; ++i) {
        uint8_t c = uint8_t(raw[i]);
        name.push_back(c >= 0x20 && c < 0x7F ? char(c) : '?');
    }
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

// A table chunk of fixed-size records, with at least `minRecords` of them.
bool recordCount(const ByteReader* chunk, const char* id, size_t recordSize, size_t minRecords, size_t& count,
                 std::string& error) {
    if (!chunk) {
        error = std::string("missing '") + id + "' chunk";
        return false;
    }
    if (chunk->size() % recordSize != 0) {
        error = std::string("'") + id + "' chunk size " + std::to_string(chunk->size()) + " is not a multiple of " +
                std::to_string(recordSize);
        return false;
    }
    count = chunk->size() / recordSize;
    if (count < minRecords) {
        error = std::string("'") + id + "' chunk holds " + std::to_string(count) + " records, too few";
        return false;
    }
    return true;
}

struct Bag {
    uint16_t generatorIndex = 0;
};

bool readBags(ByteReader r, size_t count, std::vector<Bag>& bags) {
    bags.resize(count);
    for (Bag& b : bags) {
        uint16_t mod = 0;
        if (!r.u16le(b.generatorIndex) || !r.u16le(mod)) return false;
    }
    return true;
}

bool readGenerators(ByteReader r, size_t count, std::vector<Sf2Generator>& gens) {
    gens.resize(count);
    for (Sf2Generator& g : gens)
        if (!r.u16le(g.op) || !r.u16le(g.amount)) return false;
    return true;
}

// Splits the bags [firstBag, endBag) of one preset or instrument into zones.
// `terminalOp` is the generator that ends a zone and names its target;
// `targetCount` the number of valid targets.
bool buildZones(const std::string& owner, size_t firstBag, size_t endBag, const std::vector<Bag>& bags,
                const std::vector<Sf2Generator>& gens, uint16_t terminalOp, size_t targetCount,
                std::vector<Sf2Zone>& zones, bool& hasGlobalZone, std::string& error) {
    hasGlobalZone = false;
    for (size_t b = firstBag; b < endBag; ++b) {
        size_t first = bags[b].generatorIndex;
        size_t end = bags[b + 1].generatorIndex;
        if (end < first || end > gens.size()) {
            error = owner + ": zone generator indices " + std::to_string(first) + ".." + std::to_string(end) +
                    " are out of order or past the " + std::to_string(gens.size()) + " generators";
            return false;
        }
        Sf2Zone zone;
        for (size_t g = first; g < end; ++g) {
            if (gens[g].op == terminalOp) {
                zone.target = gens[g].amount;
                break;  // generators after the terminal one are ignored
            }
            zone.generators.push_back(gens[g]);
        }
        if (zone.target < 0) {
            // Only the first zone may be global; other zones without a
            // target are ignored.
            if (b == firstBag) {
                hasGlobalZone = true;
                zones.push_back(std::move(zone));
            }
            continue;
        }
        if (size_t(zone.target) >= targetCount) {
            error = owner + ": zone " + std::to_string(b - firstBag) + " names " +
                    (terminalOp == Sf2GenInstrument ? "instrument " : "sample ") + std::to_string(zone.target) +
                    " of " + std::to_string(targetCount);
            return false;
        }
        zones.push_back(std::move(zone));
    }
    return true;
}

bool parseInfo(ByteReader list, Sf2Bank& bank, std::string& error) {
    list.skip(4);
    while (list.remaining() >= 8) {
        Chunk c;
        if (!nextChunk(list, c, error)) return false;
        if (std::strcmp(c.id, "ifil") == 0) {
            c.body.u16le(bank.versionMajor);
            c.body.u16le(bank.versionMinor);
        } else if (std::strcmp(c.id, "INAM") == 0) {
            std::string name;
            uint8_t ch = 0;
            while (name.size() < 256 && c.body.u8(ch) && ch != 0) name.push_back(ch >= 0x20 && ch < 0x7F ? char(ch) : '?');
            bank.name = name;
        }
    }
    return true;
}

// The seven tables of the hydra, each a reader over its chunk, with the
// number of records it holds (the terminal record included).
struct HydraTables {
    ByteReader phdr, pbag, pgen, inst, ibag, igen, shdr;
    size_t presetCount = 0, pbagCount = 0, pgenCount = 0, instCount = 0, ibagCount = 0, igenCount = 0,
           sampleCount = 0;
};

// Finds the tables in the "pdta" list and counts their records; every table
// must be there, of whole records, headers and bags with at least their
// terminal record.
bool findHydraTables(ByteReader list, HydraTables& t, std::string& error) {
    list.skip(4);
    bool have[7] = {};
    const char* ids[7] = {"phdr", "pbag", "pgen", "inst", "ibag", "igen", "shdr"};
    ByteReader* slots[7] = {&t.phdr, &t.pbag, &t.pgen, &t.inst, &t.ibag, &t.igen, &t.shdr};
    while (list.remaining() >= 8) {
        Chunk c;
        if (!nextChunk(list, c, error)) return false;
        for (int i = 0; i < 7; ++i)
            if (std::strcmp(c.id, ids[i]) == 0) {
                *slots[i] = c.body;
                have[i] = true;
            }
    }
    auto chunk = [&](int i) -> const ByteReader* { return have[i] ? slots[i] : nullptr; };
    return recordCount(chunk(0), "phdr", kPresetHeaderSize, 1, t.presetCount, error) &&
           recordCount(chunk(1), "pbag", kBagSize, 1, t.pbagCount, error) &&
           recordCount(chunk(2), "pgen", kGeneratorSize, 0, t.pgenCount, error) &&
           recordCount(chunk(3), "inst", kInstrumentHeaderSize, 1, t.instCount, error) &&
           recordCount(chunk(4), "ibag", kBagSize, 1, t.ibagCount, error) &&
           recordCount(chunk(5), "igen", kGeneratorSize, 0, t.igenCount, error) &&
           recordCount(chunk(6), "shdr", kSampleHeaderSize, 1, t.sampleCount, error);
}

// The sample headers but the terminal one, as they stand.
void readSampleHeaders(ByteReader shdr, size_t count, std::vector<Sf2Sample>& samples) {
    samples.resize(count - 1);
    for (Sf2Sample& s : samples) {
        s.name = readName(shdr);
        uint8_t pitch = 0, correction = 0;
        shdr.u32le(s.start);
        shdr.u32le(s.end);
        shdr.u32le(s.loopStart);
        shdr.u32le(s.loopEnd);
        shdr.u32le(s.sampleRate);
        shdr.u8(pitch);
        shdr.u8(correction);
        shdr.u16le(s.sampleLink);
        shdr.u16le(s.sampleType);
        s.originalPitch = pitch;
        s.pitchCorrection = int8_t(correction);
    }
}

// The instruments but the terminal one, their zones checked to name a sample
// of the bank.
bool readInstruments(const HydraTables& t, const std::vector<Bag>& bags, const std::vector<Sf2Generator>& gens,
                     Sf2Bank& bank, std::string& error) {
    ByteReader inst = t.inst;
    std::vector<uint16_t> bagIndex(t.instCount);
    std::vector<std::string> names(t.instCount);
    for (size_t i = 0; i < t.instCount; ++i) {
        names[i] = readName(inst);
        inst.u16le(bagIndex[i]);
    }
    bank.instruments.resize(t.instCount - 1);
    for (size_t i = 0; i + 1 < t.instCount; ++i) {
        Sf2Instrument& ins = bank.instruments[i];
        ins.name = names[i];
        std::string owner = "instrument " + std::to_string(i) + " '" + ins.name + "'";
        size_t first = bagIndex[i], end = bagIndex[i + 1];
        if (end < first || end >= t.ibagCount) {
            error = owner + ": zone indices " + std::to_string(first) + ".." + std::to_string(end) +
                    " are out of order or past the " + std::to_string(t.ibagCount) + " zones";
            return false;
        }
        if (!buildZones(owner, first, end, bags, gens, Sf2GenSampleId, bank.samples.size(), ins.zones,
                        ins.hasGlobalZone, error))
            return false;
    }
    return true;
}

// The presets but the terminal one, their zones checked to name an
// instrument of the bank.
bool readPresets(const HydraTables& t, const std::vector<Bag>& bags, const std::vector<Sf2Generator>& gens,
                 Sf2Bank& bank, std::string& error) {
    ByteReader phdr = t.phdr;
    std::vector<uint16_t> bagIndex(t.presetCount);
    std::vector<Sf2Preset> presets(t.presetCount);
    for (size_t i = 0; i < t.presetCount; ++i) {
        uint32_t library, genre, morphology;
        presets[i].name = readName(phdr);
        phdr.u16le(presets[i].program);
        phdr.u16le(presets[i].bank);
        phdr.u16le(bagIndex[i]);
        phdr.u32le(library);
        phdr.u32le(genre);
        phdr.u32le(morphology);
    }
    presets.pop_back();
    for (size_t i = 0; i < presets.size(); ++i) {
        Sf2Preset& p = presets[i];
        std::string owner = "preset " + std::to_string(p.bank) + ":" + std::to_string(p.program) + " '" + p.name + "'";
        size_t first = bagIndex[i], end = bagIndex[i + 1];
        if (end < first || end >= t.pbagCount) {
            error = owner + ": zone indices " + std::to_string(first) + ".." + std::to_string(end) +
                    " are out of order or past the " + std::to_string(t.pbagCount) + " zones";
            return false;
        }
        if (!buildZones(owner, first, end, bags, gens, Sf2GenInstrument, bank.instruments.size(), p.zones,
                        p.hasGlobalZone, error))
            return false;
    }
    bank.presets = std::move(presets);
    return true;
}

bool parseHydra(ByteReader list, Sf2Bank& bank, std::string& error) {
    HydraTables t;
    if (!findHydraTables(list, t, error)) return false;
    std::vector<Bag> presetBags, instBags;
    std::vector<Sf2Generator> presetGens, instGens;
    readBags(t.pbag, t.pbagCount, presetBags);
    readBags(t.ibag, t.ibagCount, instBags);
    readGenerators(t.pgen, t.pgenCount, presetGens);
    readGenerators(t.igen, t.igenCount, instGens);
    // Samples and instruments first: zones are checked against their counts.
    readSampleHeaders(t.shdr, t.sampleCount, bank.samples);
    return readInstruments(t, instBags, instGens, bank, error) && readPresets(t, presetBags, presetGens, bank, error);
}

// A view of bytes held elsewhere, for reading a bank already in memory the
// way a file is read.
class SpanSource final : public ByteSource {
public:
    explicit SpanSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t size() const override { return bytes_.size(); }
    bool read(uint64_t offset, void* out, size_t count) const override {
        if (offset > bytes_.size() || count > bytes_.size() - offset) return false;
        if (count) std::memcpy(out, bytes_.data() + offset, count);
        return true;
    }

private:
    std::span<const uint8_t> bytes_;
};

// A list larger than this is not read into memory: the largest hydra the
// 16-bit indices can use is about 8 MB.
constexpr uint64_t kMaxListBytes = uint64_t(64) << 20;

// Walks the chunks of the body [position, end) of the source, each checked to
// lie within the body, calling visit(id, dataPosition, size) for each.
template <typename Visit>
Sf2ReadStatus walkChunks(const ByteSource& file, uint64_t position, uint64_t end, std::string& error, Visit visit) {
    while (end - position >= 8) {
        uint8_t header[8];
        if (!file.read(position, header, sizeof header)) {
            error = "cannot read the file";
            return Sf2ReadStatus::ReadFailed;
        }
        ByteReader r(header, sizeof header);
        uint32_t id = 0, size = 0;
        r.u32le(id);
        r.u32le(size);
        const uint64_t data = position + 8;
        const uint64_t remaining = end - data;
        if (size > remaining) {
            error = "chunk '" + riffIdText(id) + "' (" + std::to_string(size) + " bytes) runs past the end of its list";
            return Sf2ReadStatus::Damaged;
        }
        Sf2ReadStatus status = visit(id, data, size);
        if (status != Sf2ReadStatus::Ok) return status;
        position = data + size + ((size & 1) && size < remaining ? 1 : 0);
    }
    return Sf2ReadStatus::Ok;
}

// The list type of a "LIST" chunk of at least four bytes; 0 for others.
Sf2ReadStatus listType(const ByteSource& file, uint32_t id, uint64_t data, uint32_t size, uint32_t& type,
                       std::string& error) {
    type = 0;
    if (id != fourCC("LIST") || size < 4) return Sf2ReadStatus::Ok;
    uint8_t raw[4];
    if (!file.read(data, raw, 4)) {
        error = "cannot read the file";
        return Sf2ReadStatus::ReadFailed;
    }
    ByteReader r(raw, 4);
    r.u32le(type);
    return Sf2ReadStatus::Ok;
}

// A whole list, its type included, read into memory.
Sf2ReadStatus readList(const ByteSource& file, uint64_t data, uint32_t size, std::vector<uint8_t>& bytes,
                       std::string& error) {
    if (size > kMaxListBytes) {
        error = "a list of " + std::to_string(size) + " bytes is larger than a SoundFont's";
        return Sf2ReadStatus::Damaged;
    }
    bytes.resize(size);
    if (!file.read(data, bytes.data(), size)) {
        error = "cannot read the file";
        return Sf2ReadStatus::ReadFailed;
    }
    return Sf2ReadStatus::Ok;
}

// Where the sample points of an "sdta" list lie.
Sf2ReadStatus locateSamples(const ByteSource& file, uint64_t data, uint32_t size, Sf2Bank& bank, bool& haveSamples,
                            std::string& error) {
    return walkChunks(file, data + 4, data + size, error, [&](uint32_t id, uint64_t at, uint32_t length) {
        if (id == fourCC("smpl")) {
            bank.sampleDataOffset = at;
            bank.sampleCount = length / 2;
            haveSamples = true;
        }
        return Sf2ReadStatus::Ok;
    });
}

}  // namespace

Sf2ReadStatus readSf2(const ByteSource& file, Sf2Bank& bank, std::string& error) {
    bank = Sf2Bank{};
    uint8_t header[12];
    uint32_t riffSize = 0;
    ByteReader r(header, sizeof header);
    if (file.size() < sizeof header || !file.read(0, header, sizeof header) || !r.tag("RIFF") || !r.skip(4) ||
        !r.u32le(riffSize) || !r.tag("sfbk")) {
        error = "not a SoundFont 2 file (no RIFF 'sfbk' header)";
        return Sf2ReadStatus::NotSoundFont;
    }
    // A RIFF size beyond the end of the file is cut to the file; the chunks
    // inside are then checked one by one.
    const uint64_t end = 8 + std::min<uint64_t>(riffSize, file.size() - 8);

    bool haveHydra = false, haveSamples = false;
    std::vector<uint8_t> list;
    Sf2ReadStatus status = walkChunks(file, 12, end, error, [&](uint32_t id, uint64_t data, uint32_t size) {
        uint32_t type = 0;
        Sf2ReadStatus s = listType(file, id, data, size, type, error);
        if (s != Sf2ReadStatus::Ok) return s;
        if (type == fourCC("INFO") || type == fourCC("pdta")) {
            if ((s = readList(file, data, size, list, error)) != Sf2ReadStatus::Ok) return s;
            ByteReader body(list.data(), list.size());
            if (type == fourCC("INFO")) return parseInfo(body, bank, error) ? s : Sf2ReadStatus::Damaged;
            if (!parseHydra(body, bank, error)) return Sf2ReadStatus::Damaged;
            haveHydra = true;
        } else if (type == fourCC("sdta")) {
            return locateSamples(file, data, size, bank, haveSamples, error);
        }
        return Sf2ReadStatus::Ok;
    });
    if (status != Sf2ReadStatus::Ok) return status;
    if (bank.versionMajor >= 3) {
        error = "SoundFont version " + std::to_string(bank.versionMajor) + "." + std::to_string(bank.versionMinor) +
                " (compressed samples) is not supported";
        return Sf2ReadStatus::Unsupported;
    }
    if (!haveHydra) {
        error = "no 'pdta' list (presets, instruments, samples)";
        return Sf2ReadStatus::Damaged;
    }
    if (!haveSamples) {
        error = "no 'smpl' chunk (sample data)";
        return Sf2ReadStatus::Damaged;
    }
    return Sf2ReadStatus::Ok;
}

bool parseSf2(std::vector<uint8_t> bytes, Sf2Bank& bank, std::string& error) {
    if (readSf2(SpanSource(bytes), bank, error) != Sf2ReadStatus::Ok) return false;
    bank.file = std::move(bytes);
    return true;
}

bool loadSf2File(const std::string& path, Sf2Bank& bank, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, bytes, std::numeric_limits<size_t>::max())) {
        error = path + ": cannot read file";
        return false;
    }
    if (!parseSf2(std::move(bytes), bank, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace tz
