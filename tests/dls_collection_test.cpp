#include "instruments/dls_collection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "soundfont/dls_writer.h"

namespace tz {
namespace {

std::unique_ptr<DlsCollection> loadBytes(const std::vector<uint8_t>& bytes) {
    return indexDlsCollection(bytes);
}

// Overwrites the 32-bit field at `fieldOffset` in the data of the n-th chunk
// whose identifier (or list type) is `tag`.
void patch32(std::vector<uint8_t>& bytes, const char (&tag)[5], int occurrence, size_t fieldOffset, uint32_t value) {
    for (size_t i = 0; i + 8 <= bytes.size(); ++i) {
        if (std::memcmp(&bytes[i], tag, 4) != 0) continue;
        if (occurrence-- > 0) continue;
        size_t at = i + 8 + fieldOffset;
        ASSERT_LE(at + 4, bytes.size());
        for (int b = 0; b < 4; ++b) bytes[at + size_t(b)] = uint8_t(value >> (8 * b));
        return;
    }
    FAIL() << "no chunk " << tag;
}

DlsWaveDesc wave(size_t values, uint32_t rate = 22050) {
    DlsWaveDesc w;
    w.sampleRate = rate;
    std::vector<int16_t> v(values);
    for (size_t i = 0; i < values; ++i) v[i] = int16_t(i * 7);
    w.data = pcm16Bytes(v);
    return w;
}

DlsRegionDesc region(uint16_t low, uint16_t high, uint32_t waveIndex) {
    DlsRegionDesc r;
    r.keyLow = low;
    r.keyHigh = high;
    r.waveIndex = waveIndex;
    r.waveSample.unityNote = 60;
    return r;
}

DlsBankDesc sampleBank() {
    DlsBankDesc bank;
    bank.name = "Test bank";
    DlsInstrumentDesc piano;
    piano.bank = 0x0300;
    piano.program = 5;
    piano.name = "Piano";
    piano.regions = {region(0, 59, 0), region(60, 127, 1)};
    piano.regions[1].velLow = 10;
    piano.regions[1].velHigh = 90;
    piano.regions[1].waveSample.loops = {{0, 100, 50}};
    piano.regions[1].hasArticulation = true;
    piano.regions[1].articulation = {{0, 0, kDlsDestPan, 0, 100 << 16}};
    piano.hasArticulation = true;
    piano.articulation = {{0, 0, kDlsDestAttackTime, 0, 0}, {0, 0, kDlsDestReleaseTime, 0, -1200 << 16}};
    DlsInstrumentDesc kit;
    kit.bank = kDlsDrumBank;
    kit.program = 0;
    kit.regions = {region(35, 36, 2)};
    bank.instruments = {piano, kit};
    bank.waves = {wave(100), wave(200, 44100), wave(10)};
    bank.waves[2].bitsPerSample = 8;
    bank.waves[2].data = {0, 128, 255};
    return bank;
}

TEST(DlsCollection, ReadsWhatTheWriterWrote) {
    auto dls = loadBytes(writeDlsBank(sampleBank()));
    ASSERT_TRUE(dls);
    EXPECT_EQ(dls->name, "Test bank");
    ASSERT_EQ(dls->instrumentCount, 2u);
    ASSERT_EQ(dls->instruments.size(), 2u);
    const DlsInstrument& piano = dls->instruments[0];
    EXPECT_EQ(piano.name, "Piano");
    EXPECT_EQ(piano.bank, 0x0300u);
    EXPECT_EQ(piano.program, 5u);
    ASSERT_EQ(piano.regions.size(), 2u);
    const DlsRegion& upper = piano.regions[1];
    EXPECT_EQ(upper.keyLow, 60);
    EXPECT_EQ(upper.velocityHigh, 90);
    EXPECT_EQ(upper.waveIndex, 1u);
    EXPECT_EQ(upper.waveSample.loopCount, 1u);
    EXPECT_EQ(upper.waveSample.loop.start, 100u);
    EXPECT_EQ(upper.waveSample.loop.length, 50u);
    EXPECT_FALSE(piano.regions[0].articulation.present);
    ASSERT_EQ(upper.articulation.connectionCount, 1u);
    ASSERT_EQ(piano.articulation.connectionCount, 2u);
    DlsConnection release = dlsConnection(piano.articulation, 1);
    EXPECT_EQ(release.destination, kDlsDestReleaseTime);
    EXPECT_EQ(release.scale, -1200 << 16);

    ASSERT_EQ(dls->waves.size(), 3u);
    EXPECT_EQ(dls->waves[1].sampleRate, 44100u);
    EXPECT_EQ(dls->waves[1].dataLength, 400u);
    EXPECT_EQ(dls->waves[2].bitsPerSample, 8);
}

TEST(DlsCollection, CountsThatDisagreeWithTheFile) {
    auto bytes = writeDlsBank(sampleBank());
    patch32(bytes, "ptbl", 0, 4, 2);       // 2 cues, 3 waves in the pool
    patch32(bytes, "insh", 0, 0, 1);       // piano: 1 region of 2
    patch32(bytes, "art1", 1, 4, 1000);    // piano's own articulation: 1000 blocks
    patch32(bytes, "wsmp", 1, 16, 99);     // region 2: 99 loops, one record
    auto dls = loadBytes(bytes);
    ASSERT_TRUE(dls);
    EXPECT_EQ(dls->waves.size(), 2u);
    ASSERT_EQ(dls->instruments[0].regions.size(), 1u);
    EXPECT_EQ(dls->instruments[0].articulation.connectionCount, 2u);

    auto more = writeDlsBank(sampleBank());
    patch32(more, "wsmp", 1, 16, 99);
    patch32(more, "colh", 0, 0, 1);  // 1 instrument of 2
    dls = loadBytes(more);
    ASSERT_TRUE(dls);
    ASSERT_EQ(dls->instruments.size(), 1u);
    EXPECT_EQ(dls->instruments[0].regions[1].waveSample.loopCount, 1u);

    // Header sizes that run past their chunk leave the record absent.
    auto broken = writeDlsBank(sampleBank());
    patch32(broken, "art1", 0, 0, 4000);
    patch32(broken, "wsmp", 0, 0, 4000);
    patch32(broken, "ptbl", 0, 0, 4000);
    dls = loadBytes(broken);
    ASSERT_TRUE(dls);
    EXPECT_FALSE(dls->instruments[0].regions[1].articulation.present);
    EXPECT_FALSE(dls->instruments[0].regions[0].waveSample.present);
    EXPECT_TRUE(dls->waves.empty());
}

TEST(DlsCollection, EffectiveIdentifiersAndLastOneWins) {
    // Two articulation lists on the instrument: the last one counts; within
    // a list only the first "art1" does.
    std::vector<uint8_t> art;
    auto block = [](uint16_t dest, int32_t scale) {
        std::vector<uint8_t> d = {8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, uint8_t(dest), uint8_t(dest >> 8), 0, 0};
        for (int i = 0; i < 4; ++i) d.push_back(uint8_t(uint32_t(scale) >> (8 * i)));
        return riffChunk("art1", d);
    };
    auto lart1 = riffList("LIST", "lart", block(kDlsDestPan, 1));
    auto lart2 = block(kDlsDestPan, 2);
    auto second = block(kDlsDestPan, 3);
    lart2.insert(lart2.end(), second.begin(), second.end());
    lart2 = riffList("LIST", "lart", lart2);
    std::vector<uint8_t> insh = {0, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0};
    std::vector<uint8_t> ins = riffChunk("insh", insh);
    ins.insert(ins.end(), lart1.begin(), lart1.end());
    ins.insert(ins.end(), lart2.begin(), lart2.end());
    std::vector<uint8_t> body = riffChunk("colh", {1, 0, 0, 0});
    auto lins = riffList("LIST", "lins", riffList("LIST", "ins ", ins));
    body.insert(body.end(), lins.begin(), lins.end());
    // A plain chunk called "INFO" is not a list and names nothing.
    auto info = riffChunk("INFO", {'x', 0});
    body.insert(body.end(), info.begin(), info.end());
    // Any RIFF form type is read like a DLS file.
    auto dls = loadBytes(riffList("RIFF", "XYZ ", body));
    ASSERT_TRUE(dls);
    ASSERT_EQ(dls->instruments.size(), 1u);
    EXPECT_EQ(dls->instruments[0].program, 7u);
    EXPECT_EQ(dlsConnection(dls->instruments[0].articulation, 0).scale, 2);
    EXPECT_TRUE(dls->name.empty());

    // "lins" before "colh" yields no instruments.
    std::vector<uint8_t> early = lins;
    auto colh = riffChunk("colh", {1, 0, 0, 0});
    early.insert(early.end(), colh.begin(), colh.end());
    dls = loadBytes(riffList("RIFF", "DLS ", early));
    ASSERT_TRUE(dls);
    EXPECT_TRUE(dls->instruments.empty());
}

TEST(DlsCollection, RepeatedListsFillTheSameRecords) {
    auto cat = [](std::vector<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    auto u32 = [](std::initializer_list<uint32_t> values) {
        std::vector<uint8_t> out;
        for (uint32_t v : values)
            for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
        return out;
    };
    auto rgnh = riffChunk("rgnh", {10, 0, 20, 0, 1, 0, 99, 0, 0, 0, 0, 0});
    auto wlnk = riffChunk("wlnk", u32({0, 0, 0}));
    auto wsmp = riffChunk("wsmp", u32({20, 62, 0, 0, 0}));
    auto fmt = riffChunk("fmt ", {1, 0, 1, 0, 0x22, 0x56, 0, 0});
    auto first = riffList("LIST", "lins",
                          riffList("LIST", "ins ",
                                   cat({riffChunk("insh", u32({1, 0, 7})),
                                        riffList("LIST", "INFO", riffChunk("INAM", {'A', 0})),
                                        riffList("LIST", "lrgn", riffList("LIST", "rgn ", cat({rgnh, wlnk})))})));
    // A second list whose instrument holds only a region with a wave sample:
    // header, name, key range and wave link read before stay.
    auto second = riffList("LIST", "lins",
                           riffList("LIST", "ins ", riffList("LIST", "lrgn", riffList("LIST", "rgn ", wsmp))));
    auto pool = riffChunk("ptbl", u32({8, 1, 0}));
    auto wvpl1 = riffList("LIST", "wvpl", riffList("LIST", "wave", cat({fmt, riffChunk("data", {1, 2, 3, 4})})));
    auto wvpl2 = riffList("LIST", "wvpl", riffList("LIST", "wave", wsmp));
    auto dls = loadBytes(
        riffList("RIFF", "DLS ", cat({riffChunk("colh", u32({1})), first, second, pool, wvpl1, wvpl2})));
    ASSERT_TRUE(dls);
    ASSERT_EQ(dls->instruments.size(), 1u);
    const DlsInstrument& ins = dls->instruments[0];
    EXPECT_TRUE(ins.hasHeader);
    EXPECT_EQ(ins.program, 7u);
    EXPECT_EQ(ins.name, "A");
    ASSERT_EQ(ins.regions.size(), 1u);
    EXPECT_TRUE(ins.regions[0].hasHeader);
    EXPECT_EQ(ins.regions[0].keyLow, 10);
    EXPECT_EQ(ins.regions[0].velocityHigh, 99);
    EXPECT_TRUE(ins.regions[0].hasWaveLink);
    EXPECT_TRUE(ins.regions[0].waveSample.present);
    EXPECT_EQ(ins.regions[0].waveSample.unityNote, 62);
    ASSERT_EQ(dls->waves.size(), 1u);
    EXPECT_TRUE(dls->waves[0].hasFormat);
    EXPECT_EQ(dls->waves[0].sampleRate, 22050u);
    EXPECT_EQ(dls->waves[0].dataLength, 4u);
    EXPECT_TRUE(dls->waves[0].waveSample.present);
}

}  // namespace
}  // namespace tz
