#include "tests/support/sf2_builder.h"

#include "platform/byte_writer.h"
#include "soundfont/sf2_reader.h"

namespace tz::test {

namespace {

constexpr uint32_t kLeadIn = 8;
constexpr uint32_t kTail = 46;

// The bag, generator and modulator tables of presets or instruments.
void putZones(const std::vector<std::vector<Sf2BuilderZone>>& owners, uint16_t terminalOp, std::vector<uint8_t>& bags,
              std::vector<uint8_t>& gens, std::vector<uint8_t>& mods, std::vector<uint16_t>& firstBag) {
    uint32_t bagCount = 0, genCount = 0;
    for (const auto& zones : owners) {
        firstBag.push_back(uint16_t(bagCount));
        for (const Sf2BuilderZone& z : zones) {
            putU16le(bags, genCount);
            putU16le(bags, 0);
            ++bagCount;
            for (const Sf2BuilderGen& g : z.generators) {
                putU16le(gens, g.op);
                putU16le(gens, g.amount);
                ++genCount;
            }
            if (z.target >= 0) {
                putU16le(gens, terminalOp);
                putU16le(gens, uint16_t(z.target));
                ++genCount;
            }
        }
    }
    firstBag.push_back(uint16_t(bagCount));
    putU16le(bags, genCount);  // terminal bag
    putU16le(bags, 0);
    putU32le(gens, 0);  // terminal generator
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
    putU16le(ifil, versionMajor);
    putU16le(ifil, versionMinor);
    putBytes(info, riffChunk("ifil", ifil));
    std::vector<uint8_t> inam(bankName.begin(), bankName.end());
    inam.push_back(0);
    putBytes(info, riffChunk("INAM", inam));

    std::vector<uint8_t> smpl;
    for (uint32_t i = 0; i < kLeadIn; ++i) putU16le(smpl, 0);
    std::vector<uint8_t> shdr;
    for (size_t i = 0; i < samples_.size(); ++i) {
        const Sf2BuilderSample& s = samples_[i];
        uint32_t start = sampleStart(int(i));
        for (int16_t v : s.values) putU16le(smpl, uint16_t(v));
        for (uint32_t k = 0; k < kTail; ++k) putU16le(smpl, 0);
        putText(shdr, s.name, 20);
        putU32le(shdr, start);
        putU32le(shdr, start + uint32_t(s.values.size()));
        putU32le(shdr, start + s.loopStart);
        putU32le(shdr, start + s.loopEnd);
        putU32le(shdr, s.sampleRate);
        shdr.push_back(s.originalPitch);
        shdr.push_back(uint8_t(s.pitchCorrection));
        putU16le(shdr, s.sampleLink);
        putU16le(shdr, s.sampleType);
    }
    putText(shdr, "EOS", 20);
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
        putText(phdr, terminal ? "EOP" : presets_[i].name, 20);
        putU16le(phdr, terminal ? 0 : presets_[i].program);
        putU16le(phdr, terminal ? 0 : presets_[i].bank);
        putU16le(phdr, presetBags[i]);
        putU32le(phdr, 0);
        putU32le(phdr, 0);
        putU32le(phdr, 0);
    }
    std::vector<uint8_t> inst;
    for (size_t i = 0; i <= instruments_.size(); ++i) {
        putText(inst, i == instruments_.size() ? "EOI" : instruments_[i].name, 20);
        putU16le(inst, instBags[i]);
    }

    std::vector<uint8_t> sdta, pdta;
    putBytes(sdta, riffChunk("smpl", smpl));
    putBytes(pdta, riffChunk("phdr", phdr));
    putBytes(pdta, riffChunk("pbag", pbag));
    putBytes(pdta, riffChunk("pmod", pmod));
    putBytes(pdta, riffChunk("pgen", pgen));
    putBytes(pdta, riffChunk("inst", inst));
    putBytes(pdta, riffChunk("ibag", ibag));
    putBytes(pdta, riffChunk("imod", imod));
    putBytes(pdta, riffChunk("igen", igen));
    putBytes(pdta, riffChunk("shdr", shdr));

    std::vector<uint8_t> body;
    for (const auto& part : {riffList("LIST", "INFO", info), riffList("LIST", "sdta", sdta), riffList("LIST", "pdta", pdta)})
        putBytes(body, part);
    return riffList("RIFF", "sfbk", body);
}

std::vector<uint8_t> smallSoundFont() {
    Sf2Builder sf;
    std::vector<int16_t> values(3000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = int16_t((int(i) * 37) % 2000 - 1000);
    int s = sf.sample("tone", values, 22050, 60);
    int t = sf.sample("hit", std::vector<int16_t>(values.begin(), values.begin() + 800), 44100, 36);
    int tone = sf.instrument("Tone", {sf2Zone({sf2Gen(Sf2GenSampleModes, 1)}, s)});
    int kit = sf.instrument("Kit", {sf2Zone({sf2Range(Sf2GenKeyRange, 36, 36)}, t),
                                    sf2Zone({sf2Range(Sf2GenKeyRange, 38, 38), sf2Gen(Sf2GenCoarseTune, 2)}, t)});
    sf.preset("Tone", 0, 0, {sf2Zone({}, tone)});
    sf.preset("Tone up", 5, 0, {sf2Zone({sf2Gen(Sf2GenCoarseTune, 12)}, tone)});
    sf.preset("Kit", 0, 128, {sf2Zone({}, kit)});
    return sf.bytes();
}

}  // namespace tz::test
