#include "tools/bank/dls_writer.h"

#include <cstring>

namespace tz {

namespace {

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
    size_t at = out.size();
    out.resize(at + more.size());
    if (!more.empty()) std::memcpy(out.data() + at, more.data(), more.size());
}

void putTag(std::vector<uint8_t>& out, const char (&tag)[5]) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(tag[i]));
}

std::vector<uint8_t> infoList(const std::string& name) {
    std::vector<uint8_t> text;
    for (char c : name) text.push_back(uint8_t(c));
    text.push_back(0);
    return riffList("LIST", "INFO", riffChunk("INAM", text));
}

std::vector<uint8_t> waveSampleChunk(const DlsWaveSampleDesc& ws) {
    std::vector<uint8_t> d;
    put32(d, 20);
    put16(d, ws.unityNote);
    put16(d, uint16_t(ws.fineTune));
    put32(d, uint32_t(ws.attenuation));
    put32(d, ws.options);
    put32(d, uint32_t(ws.loops.size()));
    for (const DlsLoopDesc& loop : ws.loops) {
        put32(d, 16);
        put32(d, loop.type);
        put32(d, loop.start);
        put32(d, loop.length);
    }
    return riffChunk("wsmp", d);
}

std::vector<uint8_t> articulationList(const std::vector<DlsConnectionDesc>& blocks) {
    std::vector<uint8_t> d;
    put32(d, 8);
    put32(d, uint32_t(blocks.size()));
    for (const DlsConnectionDesc& c : blocks) {
        put16(d, c.source);
        put16(d, c.control);
        put16(d, c.destination);
        put16(d, c.transform);
        put32(d, uint32_t(c.scale));
    }
    return riffList("LIST", "lart", riffChunk("art1", d));
}

std::vector<uint8_t> regionList(const DlsRegionDesc& r) {
    std::vector<uint8_t> body;
    std::vector<uint8_t> header;
    put16(header, r.keyLow);
    put16(header, r.keyHigh);
    put16(header, r.velLow);
    put16(header, r.velHigh);
    put16(header, r.options);
    put16(header, r.keyGroup);
    append(body, riffChunk("rgnh", header));
    if (r.hasWaveSample) append(body, waveSampleChunk(r.waveSample));
    std::vector<uint8_t> link;
    put16(link, 0);  // fusOptions
    put16(link, 0);  // usPhaseGroup
    put32(link, 1);  // ulChannel: left/mono
    put32(link, r.waveIndex);
    append(body, riffChunk("wlnk", link));
    if (r.hasArticulation) append(body, articulationList(r.articulation));
    return riffList("LIST", "rgn ", body);
}

std::vector<uint8_t> instrumentList(const DlsInstrumentDesc& ins) {
    std::vector<uint8_t> body;
    std::vector<uint8_t> header;
    put32(header, uint32_t(ins.regions.size()));
    put32(header, ins.bank);
    put32(header, ins.program);
    append(body, riffChunk("insh", header));
    std::vector<uint8_t> regions;
    for (const DlsRegionDesc& r : ins.regions) append(regions, regionList(r));
    append(body, riffList("LIST", "lrgn", regions));
    if (ins.hasArticulation) append(body, articulationList(ins.articulation));
    if (!ins.name.empty()) append(body, infoList(ins.name));
    return riffList("LIST", "ins ", body);
}

std::vector<uint8_t> waveList(const DlsWaveDesc& w) {
    std::vector<uint8_t> body;
    std::vector<uint8_t> fmt;
    uint32_t blockAlign = uint32_t(w.channels) * ((w.bitsPerSample + 7u) / 8u);
    put16(fmt, w.formatTag);
    put16(fmt, w.channels);
    put32(fmt, w.sampleRate);
    put32(fmt, w.sampleRate * blockAlign);
    put16(fmt, blockAlign);
    put16(fmt, w.bitsPerSample);
    append(body, riffChunk("fmt ", fmt));
    if (w.hasWaveSample) append(body, waveSampleChunk(w.waveSample));
    append(body, riffChunk("data", w.data));
    if (!w.name.empty()) append(body, infoList(w.name));
    return riffList("LIST", "wave", body);
}

}  // namespace

std::vector<uint8_t> riffChunk(const char (&id)[5], const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    out.reserve(data.size() + 9);
    putTag(out, id);
    put32(out, uint32_t(data.size()));
    append(out, data);
    if (data.size() & 1) out.push_back(0);
    return out;
}

std::vector<uint8_t> riffList(const char (&id)[5], const char (&type)[5], const std::vector<uint8_t>& body) {
    std::vector<uint8_t> data;
    data.reserve(body.size() + 4);
    putTag(data, type);
    append(data, body);
    return riffChunk(id, data);
}

std::vector<uint8_t> pcm16Bytes(const std::vector<int16_t>& values) {
    std::vector<uint8_t> out;
    out.reserve(values.size() * 2);
    for (int16_t v : values) put16(out, uint16_t(v));
    return out;
}

std::vector<uint8_t> writeDlsBank(const DlsBankDesc& bank) {
    std::vector<uint8_t> body;

    std::vector<uint8_t> colh;
    put32(colh, uint32_t(bank.instruments.size()));
    append(body, riffChunk("colh", colh));

    std::vector<uint8_t> instruments;
    for (const DlsInstrumentDesc& ins : bank.instruments) append(instruments, instrumentList(ins));
    append(body, riffList("LIST", "lins", instruments));

    // The pool table's cues are offsets of the wave lists from the start of
    // the wave pool's body (after its list type).
    std::vector<uint8_t> pool;
    std::vector<uint8_t> ptbl;
    put32(ptbl, 8);
    put32(ptbl, uint32_t(bank.waves.size()));
    for (const DlsWaveDesc& w : bank.waves) {
        put32(ptbl, uint32_t(pool.size()));
        append(pool, waveList(w));
    }
    append(body, riffChunk("ptbl", ptbl));
    append(body, riffList("LIST", "wvpl", pool));

    if (!bank.name.empty()) append(body, infoList(bank.name));
    return riffList("RIFF", "DLS ", body);
}

}  // namespace tz
