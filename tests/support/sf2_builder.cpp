#include "tests/support/sf2_builder.h"

namespace tz::test {

namespace {

constexpr uint32_t kLeadIn = 8;
constexpr uint32_t kTail = 46;

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void putName(std::vector<uint8_t>& out, const std::string& name) {
    for (size_t i = 0; i < 20; ++i) out.push_back(i < name.size() ? uint8_t(name[i]) : 0);
}

void putChunk(std::vector<uint8_t>& out, const char* id, const std::vector<uint8_t>& data) {
    out.insert(out.end(), id, id + 4);
    put32(out, uint32_t(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() & 1) out.push_back(0);
}

std::vector<uint8_t> list(const char* type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> data(type, type + 4);
    data.insert(data.end(), body.begin(), body.end());
    std::vector<uint8_t> out;
    putChunk(out, "LIST", data);
    return out;
}

// The bag, generator and modulator tables of presets or instruments.
void putZones(const std::vector<std::vector<Sf2BuilderZone>>& owners, uint16_t terminalOp, std::vector<uint8_t>& bags,
              std::vector<uint8_t>& gens, std::vector<uint8_t>& mods, std::vector<uint16_t>& firstBag) {
    uint32_t bagCount = 0, genCount = 0;
    for (const auto& zones : owners) {
        firstBag.push_back(uint16_t(bagCount));
        for (const Sf2BuilderZone& z : zones) {
            put16(bags, genCount);
            put16(bags, 0);
            ++bagCount;
            for (const Sf2BuilderGen& g : z.generators) {
                put16(gens, g.op);
                put16(gens, g.amount);
                ++genCount;
            }
            if (z.target >= 0) {
                put16(gens, terminalOp);
                put16(gens, uint16_t(z.target));
                ++genCount;
            }
        }
    }
    firstBag.push_back(uint16_t(bagCount));
    put16(bags, genCount);  // terminal bag
    put16(bags, 0);
    put32(gens, 0);  // terminal generator
    mods.assign(10, 0);  // terminal modulator
}

}  // namespace

Sf2BuilderGen sf2Gen(uint16_t op, int16_t amount) { return {op, uint16_t(amount)}; }

Sf2BuilderGen sf2Range(uint16_t op, int lo, int hi) { return {op, uint16_t((lo & 0xFF) | (hi & 0xFF) << 8)}; }

Sf2BuilderZone sf2Zone(std::vector<Sf2BuilderGen> generators, int target) { return {std::move(generators), target}; }

int Sf2Builder::sample(const Sf2BuilderSample& s) {
    samples_.push_back(s);
    return int(samples_.size()) - 1;
}

int Sf2Builder::sample(const std::string& name, std::vector<int16_t> values, uint32_t rate, uint8_t pitch) {
    Sf2BuilderSample s;
    s.name = name;
    s.values = std::move(values);
    s.sampleRate = rate;
    s.originalPitch = pitch;
    return sample(s);
}

int Sf2Builder::instrument(const std::string& name, std::vector<Sf2BuilderZone> zones) {
    instruments_.push_back({name, 0, 0, std::move(zones)});
    return int(instruments_.size()) - 1;
}

int Sf2Builder::preset(const std::string& name, uint16_t program, uint16_t bank, std::vector<Sf2BuilderZone> zones) {
    presets_.push_back({name, program, bank, std::move(zones)});
    return int(presets_.size()) - 1;
}

uint32_t Sf2Builder::sampleStart(int index) const {
    uint32_t at = kLeadIn;
    for (int i = 0; i < index; ++i) at += uint32_t(samples_[size_t(i)].values.size()) + kTail;
    return at;
}

std::vector<uint8_t> Sf2Builder::bytes() const {
    std::vector<uint8_t> info;
    std::vector<uint8_t> ifil;
    put16(ifil, versionMajor);
    put16(ifil, versionMinor);
    putChunk(info, "ifil", ifil);
    std::vector<uint8_t> inam(bankName.begin(), bankName.end());
    inam.push_back(0);
    putChunk(info, "INAM", inam);

    std::vector<uint8_t> smpl;
    for (uint32_t i = 0; i < kLeadIn; ++i) put16(smpl, 0);
    std::vector<uint8_t> shdr;
    for (size_t i = 0; i < samples_.size(); ++i) {
        const Sf2BuilderSample& s = samples_[i];
        uint32_t start = sampleStart(int(i));
        for (int16_t v : s.values) put16(smpl, uint16_t(v));
        for (uint32_t k = 0; k < kTail; ++k) put16(smpl, 0);
        putName(shdr, s.name);
        put32(shdr, start);
        put32(shdr, start + uint32_t(s.values.size()));
        put32(shdr, start + s.loopStart);
        put32(shdr, start + s.loopEnd);
        put32(shdr, s.sampleRate);
        shdr.push_back(s.originalPitch);
        shdr.push_back(uint8_t(s.pitchCorrection));
        put16(shdr, s.sampleLink);
        put16(shdr, s.sampleType);
    }
    putName(shdr, "EOS");
    for (int i = 0; i < 26; ++i) shdr.push_back(0);

    std::vector<std::vector<Sf2BuilderZone>> presetZones, instZones;
    for (const Named& p : presets_) presetZones.push_back(p.zones);
    for (const Named& n : instruments_) instZones.push_back(n.zones);
    std::vector<uint8_t> pbag, pgen, pmod, ibag, igen, imod;
    std::vector<uint16_t> presetBags, instBags;
    putZones(presetZones, 41, pbag, pgen, pmod, presetBags);
    putZones(instZones, 53, ibag, igen, imod, instBags);

    std::vector<uint8_t> phdr;
    for (size_t i = 0; i <= presets_.size(); ++i) {
        bool terminal = i == presets_.size();
        putName(phdr, terminal ? "EOP" : presets_[i].name);
        put16(phdr, terminal ? 0 : presets_[i].program);
        put16(phdr, terminal ? 0 : presets_[i].bank);
        put16(phdr, presetBags[i]);
        put32(phdr, 0);
        put32(phdr, 0);
        put32(phdr, 0);
    }
    std::vector<uint8_t> inst;
    for (size_t i = 0; i <= instruments_.size(); ++i) {
        putName(inst, i == instruments_.size() ? "EOI" : instruments_[i].name);
        put16(inst, instBags[i]);
    }

    std::vector<uint8_t> sdta, pdta;
    putChunk(sdta, "smpl", smpl);
    putChunk(pdta, "phdr", phdr);
    putChunk(pdta, "pbag", pbag);
    putChunk(pdta, "pmod", pmod);
    putChunk(pdta, "pgen", pgen);
    putChunk(pdta, "inst", inst);
    putChunk(pdta, "ibag", ibag);
    putChunk(pdta, "imod", imod);
    putChunk(pdta, "igen", igen);
    putChunk(pdta, "shdr", shdr);

    std::vector<uint8_t> body{'s', 'f', 'b', 'k'};
    for (const auto& part : {list("INFO", info), list("sdta", sdta), list("pdta", pdta)})
        body.insert(body.end(), part.begin(), part.end());
    std::vector<uint8_t> out;
    putChunk(out, "RIFF", body);
    return out;
}

}  // namespace tz::test
