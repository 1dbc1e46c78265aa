#include "instruments/dls_collection.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/byte_reader.h"
#include "platform/byte_source.h"

namespace tz {

namespace {

constexpr uint32_t kInfo = fourCC("INFO");
constexpr uint32_t kInam = fourCC("INAM");
constexpr uint32_t kData = fourCC("data");

// The sample data of the waves, the bulk of a bank, are the chunks read only
// when a song needs them.
constexpr uint32_t kWaveDataPath[] = {fourCC("wvpl"), fourCC("wave"), kData};

// Header sizes: what a record must hold for the fields we read.
constexpr uint32_t kWaveSampleHeaderSize = 20;
constexpr uint32_t kArticulationHeaderSize = 8;
constexpr uint32_t kPoolTableHeaderSize = 8;
constexpr uint32_t kCueSize = 4;

struct Walker {
    const RiffTree& tree;

    ByteReader reader(const RiffChunk& chunk) const {
        std::span<const uint8_t> d = tree.data(chunk);
        return ByteReader(d);
    }

    // Text up to its terminator (or the chunk's end).
    std::string_view text(const RiffChunk& chunk) const {
        std::span<const uint8_t> d = tree.data(chunk);
        const char* s = reinterpret_cast<const char*>(d.data());
        size_t n = 0;
        while (n < d.size() && s[n] != 0) ++n;
        return {s, n};
    }

    template <typename Visit>
    void children(const RiffChunk& parent, Visit visit) const {
        for (const RiffChunk* c = tree.child(parent); c; c = tree.next(*c)) visit(*c, RiffTree::effectiveId(*c));
    }

    // A header given by its own cbSize: at least `minimum` bytes, within the
    // chunk. Returns the size, or 0 when it is not usable.
    uint32_t headerSize(const RiffChunk& chunk, uint32_t minimum) const {
        ByteReader r = reader(chunk);
        uint32_t cbSize = 0;
        if (!r.u32le(cbSize) || cbSize < minimum || cbSize > chunk.length) return 0;
        return cbSize;
    }

    DlsWaveSample waveSample(const RiffChunk& chunk) const {
        DlsWaveSample ws;
        uint32_t cbSize = headerSize(chunk, kWaveSampleHeaderSize);
        if (!cbSize) return ws;
        ByteReader r = reader(chunk);
        uint16_t fineTune = 0;
        uint32_t attenuation = 0, loops = 0;
        r.skip(4);
        r.u16le(ws.unityNote);
        r.u16le(fineTune);
        r.u32le(attenuation);
        r.skip(4);  // fulOptions
        r.u32le(loops);
        ws.fineTune = int16_t(fineTune);
        ws.attenuation = int32_t(attenuation);
        ws.loopCount = std::min<uint32_t>(loops, (chunk.length - cbSize) / kDlsLoopSize);
        if (ws.loopCount > 0) {
            r.seek(cbSize + 4);  // the loop record's own cbSize is not needed
            r.u32le(ws.loop.type);
            r.u32le(ws.loop.start);
            r.u32le(ws.loop.length);
        }
        ws.present = true;
        return ws;
    }

    // An "lart"/"lar2" list: its first "art1"/"art2" child counts.
    void articulation(const RiffChunk& list, DlsArticulation& out) const {
        for (const RiffChunk* c = tree.child(list); c; c = tree.next(*c)) {
            uint32_t id = RiffTree::effectiveId(*c);
            if (id != fourCC("art1") && id != fourCC("art2")) continue;
            out = DlsArticulation{};
            uint32_t cbSize = headerSize(*c, kArticulationHeaderSize);
            if (!cbSize) return;
            ByteReader r = reader(*c);
            uint32_t count = 0;
            r.skip(4);
            r.u32le(count);
            out.connectionCount = std::min<uint32_t>(count, (c->length - cbSize) / kDlsConnectionSize);
            out.connections = tree.data(*c).subspan(cbSize, size_t(out.connectionCount) * kDlsConnectionSize);
            out.present = true;
            out.level2 = id == fourCC("art2");
            return;
        }
    }

    // Sets the fields of `region` whose chunks the list holds; the others keep
    // what an earlier list for the same region gave them.
    void region(const RiffChunk& list, DlsRegion& region) const {
        children(list, [&](const RiffChunk& c, uint32_t id) {
            if (id == fourCC("rgnh")) {
                ByteReader r = reader(c);
                DlsRegion h;
                if (r.u16le(h.keyLow) && r.u16le(h.keyHigh) && r.u16le(h.velocityLow) && r.u16le(h.velocityHigh)) {
                    region.hasHeader = true;
                    region.keyLow = h.keyLow;
                    region.keyHigh = h.keyHigh;
                    region.velocityLow = h.velocityLow;
                    region.velocityHigh = h.velocityHigh;
                    region.options = 0;
                    region.keyGroup = 0;
                    if (r.u16le(h.options) && r.u16le(h.keyGroup)) {
                        region.options = h.options;
                        region.keyGroup = h.keyGroup;
                    }
                } else {
                    region.hasHeader = false;
                }
            } else if (id == fourCC("wlnk")) {
                ByteReader r = reader(c);
                region.hasWaveLink = r.skip(8) && r.u32le(region.waveIndex);
            } else if (id == fourCC("wsmp")) {
                region.waveSample = waveSample(c);
            } else if (id == fourCC("lart") || id == fourCC("lar2")) {
                articulation(c, region.articulation);
            } else if (id == fourCC(kDlsClassicArticulationList)) {
                articulation(c, region.classicArticulation);
            }
        });
    }

    void instrument(const RiffChunk& list, DlsInstrument& ins) const {
        children(list, [&](const RiffChunk& c, uint32_t id) {
            if (id == fourCC("insh")) {
                ByteReader r = reader(c);
                ins.regions.clear();
                ins.hasHeader = r.u32le(ins.regionCount) && r.u32le(ins.bank) && r.u32le(ins.program);
                if (!ins.hasHeader) ins.regionCount = 0;
            } else if (id == fourCC("lart") || id == fourCC("lar2")) {
                articulation(c, ins.articulation);
            } else if (id == kInfo) {
                children(c, [&](const RiffChunk& info, uint32_t infoId) {
                    if (infoId == kInam) ins.name = text(info);
                });
            } else if (id == fourCC("lrgn")) {
                uint32_t index = 0;
                children(c, [&](const RiffChunk& rgn, uint32_t rgnId) {
                    if (rgnId != fourCC("rgn ") && rgnId != fourCC("rgn2")) return;
                    if (index >= ins.regionCount) return;
                    if (index >= ins.regions.size()) ins.regions.emplace_back();
                    region(rgn, ins.regions[index]);
                    ++index;
                });
            }
        });
    }

    // Like region(): what the list does not hold stays as it was.
    void wave(const RiffChunk& list, DlsWave& wave) const {
        children(list, [&](const RiffChunk& c, uint32_t id) {
            if (id == fourCC("fmt ")) {
                ByteReader r = reader(c);
                DlsWave f;
                if (r.u16le(f.formatTag) && r.u16le(f.channels) && r.u32le(f.sampleRate)) {
                    wave.hasFormat = true;
                    wave.formatTag = f.formatTag;
                    wave.channels = f.channels;
                    wave.sampleRate = f.sampleRate;
                    wave.bitsPerSample = 16;
                    if (r.seek(14)) r.u16le(wave.bitsPerSample);
                } else {
                    wave.hasFormat = false;
                }
            } else if (id == kData) {
                // Left in the file by the tree reader (kWaveDataPath); its
                // position is where the bytes lie all the same.
                wave.hasData = true;
                wave.dataPosition = kRiffHeaderSize + c.position;
                wave.dataLength = c.length;
            } else if (id == fourCC("wsmp")) {
                wave.waveSample = waveSample(c);
            }
        });
    }

    void collection(DlsCollection& dls) const {
        children(tree.root(), [&](const RiffChunk& c, uint32_t id) {
            if (id == kInfo) {
                children(c, [&](const RiffChunk& info, uint32_t infoId) {
                    if (infoId == kInam) dls.name = text(info);
                    else if (infoId == fourCC("IART")) dls.artist = text(info);
                    else if (infoId == fourCC("ICOP")) dls.rights = text(info);
                    else if (infoId == fourCC("ICMT")) dls.comment = text(info);
                });
            } else if (id == fourCC("colh")) {
                ByteReader r = reader(c);
                dls.instruments.clear();
                if (!r.u32le(dls.instrumentCount)) dls.instrumentCount = 0;
            } else if (id == fourCC("ptbl")) {
                dls.waves.clear();
                dls.cueCount = 0;
                uint32_t cbSize = headerSize(c, kPoolTableHeaderSize);
                if (cbSize) {
                    ByteReader r = reader(c);
                    uint32_t cues = 0;
                    r.skip(4);
                    r.u32le(cues);
                    dls.cueCount = std::min<uint32_t>(cues, (c.length - cbSize) / kCueSize);
                }
            } else if (id == fourCC("wvpl")) {
                uint32_t index = 0;
                children(c, [&](const RiffChunk& w, uint32_t waveId) {
                    if (waveId != fourCC("wave") || index >= dls.cueCount) return;
                    if (index >= dls.waves.size()) dls.waves.emplace_back();
                    wave(w, dls.waves[index]);
                    ++index;
                });
            } else if (id == fourCC("lins")) {
                uint32_t index = 0;
                children(c, [&](const RiffChunk& i, uint32_t insId) {
                    if (insId != fourCC("ins ") || index >= dls.instrumentCount) return;
                    // Records are cleared only by "colh"; a second list fills
                    // them again field by field.
                    if (index >= dls.instruments.size()) dls.instruments.emplace_back();
                    instrument(i, dls.instruments[index]);
                    ++index;
                });
            }
        });
    }
};

}  // namespace

std::shared_ptr<int16_t[]> DlsSharedWaves::find(uint32_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < waves_.size() ? waves_[index].lock() : nullptr;
}

std::shared_ptr<int16_t[]> DlsSharedWaves::offer(uint32_t index, std::shared_ptr<int16_t[]> data) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= waves_.size()) return data;
    if (std::shared_ptr<int16_t[]> held = waves_[index].lock()) return held;
    waves_[index] = data;
    return data;
}

std::unique_ptr<DlsCollection> indexDlsCollection(const ByteSource& file) {
    std::unique_ptr<RiffTree> tree = readRiffTree(file, kWaveDataPath);
    if (!tree) return nullptr;
    try {
        auto dls = std::make_unique<DlsCollection>();
        Walker{*tree}.collection(*dls);
        dls->sharedWaves.resize(dls->waves.size());
        // The records point into the buffer, which moves without moving its
        // bytes; the chunk nodes are needed no more.
        dls->image = std::move(tree->buffer);
        return dls;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::unique_ptr<DlsCollection> indexDlsCollection(std::vector<uint8_t> file) {
    try {
        auto bytes = std::make_unique<MemorySource>(std::move(file));
        std::unique_ptr<DlsCollection> dls = indexDlsCollection(*bytes);
        if (dls) dls->ownBytes = std::move(bytes);
        return dls;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool readDlsWaveData(const DlsCollection& dls, const DlsWave& wave, const ByteSource* file, void* out, size_t count) {
    if (!wave.hasData || count > wave.dataLength) return false;
    const ByteSource* source = dls.ownBytes ? dls.ownBytes.get() : file;
    return source && source->read(wave.dataPosition, out, count);
}

DlsConnection dlsConnection(const DlsArticulation& articulation, uint32_t index) {
    DlsConnection c;
    if (index >= articulation.connectionCount) return c;
    ByteReader r(articulation.connections.subspan(size_t(index) * kDlsConnectionSize, kDlsConnectionSize));
    uint32_t scale = 0;
    r.u16le(c.source);
    r.u16le(c.control);
    r.u16le(c.destination);
    r.u16le(c.transform);
    r.u32le(scale);
    c.scale = int32_t(scale);
    return c;
}

}  // namespace tz
