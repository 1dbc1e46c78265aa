#include "soundfont/dls_writer.h"

#include <cstring>

#include "platform/byte_writer.h"

namespace tz {

namespace {

std::vector<uint8_t> infoList(const std::string& name) {
    std::vector<uint8_t> text;
    for (char c : name) text.push_back(uint8_t(c));
    text.push_back(0);
    return riffList("LIST", "INFO", riffChunk("INAM", text));
}

std::vector<uint8_t> waveSampleChunk(const DlsWaveSampleDesc& ws) {
    std::vector<uint8_t> d;
    putU32le(d, 20);
    putU16le(d, ws.unityNote);
    putU16le(d, uint16_t(ws.fineTune));
    putU32le(d, uint32_t(ws.attenuation));
    putU32le(d, ws.options);
    putU32le(d, uint32_t(ws.loops.size()));
    for (const DlsLoop& loop : ws.loops) {
        putU32le(d, 16);
        putU32le(d, loop.type);
        putU32le(d, loop.start);
        putU32le(d, loop.length);
    }
    return riffChunk("wsmp", d);
}

std::vector<uint8_t> articulationChunk(const std::vector<DlsConnection>& blocks, bool level2) {
    std::vector<uint8_t> d;
    putU32le(d, 8);
    putU32le(d, uint32_t(blocks.size()));
    for (const DlsConnection& c : blocks) {
        putU16le(d, c.source);
        putU16le(d, c.control);
        putU16le(d, c.destination);
        putU16le(d, c.transform);
        putU32le(d, uint32_t(c.scale));
    }
    return riffChunk(level2 ? "art2" : "art1", d);
}

std::vector<uint8_t> articulationList(const std::vector<DlsConnection>& blocks, bool level2) {
    return riffList("LIST", level2 ? "lar2" : "lart", articulationChunk(blocks, level2));
}

std::vector<uint8_t> regionList(const DlsRegionDesc& r) {
    std::vector<uint8_t> body;
    std::vector<uint8_t> header;
    putU16le(header, r.keyLow);
    putU16le(header, r.keyHigh);
    putU16le(header, r.velLow);
    putU16le(header, r.velHigh);
    putU16le(header, r.options);
    putU16le(header, r.keyGroup);
    putBytes(body, riffChunk("rgnh", header));
    if (r.hasWaveSample) putBytes(body, waveSampleChunk(r.waveSample));
    std::vector<uint8_t> link;
    putU16le(link, 0);  // fusOptions
    putU16le(link, 0);  // usPhaseGroup
    putU32le(link, 1);  // ulChannel: left/mono
    putU32le(link, r.waveIndex);
    putBytes(body, riffChunk("wlnk", link));
    if (r.hasArticulation) putBytes(body, articulationList(r.articulation, r.articulationLevel2));
    if (!r.classicArticulation.empty())
        putBytes(body, riffList("LIST", kDlsClassicArticulationList, articulationChunk(r.classicArticulation, false)));
    return riffList("LIST", "rgn ", body);
}

std::vector<uint8_t> instrumentList(const DlsInstrumentDesc& ins) {
    std::vector<uint8_t> body;
    std::vector<uint8_t> header;
    putU32le(header, uint32_t(ins.regions.size()));
    putU32le(header, ins.bank);
    putU32le(header, ins.program);
    putBytes(body, riffChunk("insh", header));
    std::vector<uint8_t> regions;
    for (const DlsRegionDesc& r : ins.regions) putBytes(regions, regionList(r));
    putBytes(body, riffList("LIST", "lrgn", regions));
    if (ins.hasArticulation) putBytes(body, articulationList(ins.articulation, ins.articulationLevel2));
    if (!ins.name.empty()) putBytes(body, infoList(ins.name));
    return riffList("LIST", "ins ", body);
}

std::vector<uint8_t> waveList(const DlsWaveDesc& w) {
    std::vector<uint8_t> body;
    std::vector<uint8_t> fmt;
    uint32_t blockAlign = uint32_t(w.channels) * ((w.bitsPerSample + 7u) / 8u);
    putU16le(fmt, w.formatTag);
    putU16le(fmt, w.channels);
    putU32le(fmt, w.sampleRate);
    putU32le(fmt, w.sampleRate * blockAlign);
    putU16le(fmt, blockAlign);
    putU16le(fmt, w.bitsPerSample);
    putBytes(body, riffChunk("fmt ", fmt));
    if (w.hasWaveSample) putBytes(body, waveSampleChunk(w.waveSample));
    putBytes(body, riffChunk("data", w.data));
    if (!w.name.empty()) putBytes(body, infoList(w.name));
    return riffList("LIST", "wave", body);
}

}  // namespace

std::vector<uint8_t> pcm16Bytes(const std::vector<int16_t>& values) {
    std::vector<uint8_t> out;
    out.reserve(values.size() * 2);
    for (int16_t v : values) putU16le(out, uint16_t(v));
    return out;
}

std::vector<uint8_t> writeDlsBank(const DlsBankDesc& bank) {
    std::vector<uint8_t> body;

    std::vector<uint8_t> colh;
    putU32le(colh, uint32_t(bank.instruments.size()));
    putBytes(body, riffChunk("colh", colh));

    std::vector<uint8_t> instruments;
    for (const DlsInstrumentDesc& ins : bank.instruments) putBytes(instruments, instrumentList(ins));
    putBytes(body, riffList("LIST", "lins", instruments));

    // The pool table's cues are offsets of the wave lists from the start of
    // the wave pool's body (after its list type).
    std::vector<uint8_t> pool;
    std::vector<uint8_t> ptbl;
    putU32le(ptbl, 8);
    putU32le(ptbl, uint32_t(bank.waves.size()));
    for (const DlsWaveDesc& w : bank.waves) {
        putU32le(ptbl, uint32_t(pool.size()));
        putBytes(pool, waveList(w));
    }
    putBytes(body, riffChunk("ptbl", ptbl));
    putBytes(body, riffList("LIST", "wvpl", pool));

    if (!bank.name.empty()) putBytes(body, infoList(bank.name));
    return riffList("RIFF", "DLS ", body);
}

}  // namespace tz
