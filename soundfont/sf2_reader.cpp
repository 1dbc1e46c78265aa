#include "soundfont/sf2_reader.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <span>

#include "platform/byte_reader.h"
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

bool isList(const Chunk& c, const char (&type)[5]) {
    return std::strcmp(c.id, "LIST") == 0 && c.body.tag(type);
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

}  // namespace

bool parseSf2(std::vector<uint8_t> bytes, Sf2Bank& bank, std::string& error) {
    bank = Sf2Bank{};
    bank.file = std::move(bytes);
    ByteReader file(bank.file.data(), bank.file.size());
    uint32_t riffSize = 0;
    if (!file.tag("RIFF") || !file.skip(4) || !file.u32le(riffSize) || !file.tag("sfbk")) {
        error = "not a SoundFont 2 file (no RIFF 'sfbk' header)";
        return false;
    }
    // A RIFF size beyond the end of the file is cut to the file; the chunks
    // inside are then checked one by one.
    ByteReader body;
    file.sub(std::min<size_t>(riffSize, file.remaining()), body);
    body.skip(4);

    bool haveHydra = false, haveSamples = false;
    while (body.remaining() >= 8) {
        Chunk c;
        if (!nextChunk(body, c, error)) return false;
        if (isList(c, "INFO")) {
            if (!parseInfo(c.body, bank, error)) return false;
        } else if (isList(c, "sdta")) {
            ByteReader list = c.body;
            list.skip(4);
            while (list.remaining() >= 8) {
                Chunk s;
                if (!nextChunk(list, s, error)) return false;
                if (std::strcmp(s.id, "smpl") == 0) {
                    bank.sampleDataOffset = size_t(s.body.data().data() - bank.file.data());
                    bank.sampleCount = uint32_t(s.body.size() / 2);
                    haveSamples = true;
                }
            }
        } else if (isList(c, "pdta")) {
            if (!parseHydra(c.body, bank, error)) return false;
            haveHydra = true;
        }
    }
    if (bank.versionMajor >= 3) {
        error = "SoundFont version " + std::to_string(bank.versionMajor) + "." + std::to_string(bank.versionMinor) +
                " (compressed samples) is not supported";
        return false;
    }
    if (!haveHydra) {
        error = "no 'pdta' list (presets, instruments, samples)";
        return false;
    }
    if (!haveSamples) {
        error = "no 'smpl' chunk (sample data)";
        return false;
    }
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
