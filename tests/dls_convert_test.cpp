#include "instruments/dls_convert.h"

#include <gtest/gtest.h>

#include <vector>

#include "records/midi_song.h"
#include "records/tables.h"
#include "soundfont/dls_writer.h"

namespace tz {
namespace {

struct Loaded {
    std::unique_ptr<DlsCollection> dls;
    std::unique_ptr<MidiSong> song;
};

Loaded load(const DlsBankDesc& desc) {
    Loaded out;
    auto bytes = writeDlsBank(desc);
    out.dls = indexDlsCollection(std::move(bytes));
    out.song = std::make_unique<MidiSong>();
    out.song->outputRate = 44100;
    out.song->controlRatio = 44;
    return out;
}

DlsWaveDesc wave16(size_t values) {
    std::vector<int16_t> v(values);
    for (size_t i = 0; i < values; ++i) v[i] = int16_t(int(i % 200) * 100 - 10000);
    DlsWaveDesc w;
    w.sampleRate = 22050;
    w.data = pcm16Bytes(v);
    return w;
}

DlsRegionDesc loopingRegion(uint32_t waveIndex = 0) {
    DlsRegionDesc r;
    r.waveIndex = waveIndex;
    r.waveSample.unityNote = 60;
    r.waveSample.loops = {{0, 1000, 500}};
    return r;
}

DlsBankDesc oneInstrument(std::vector<DlsRegionDesc> regions, size_t values = 4000) {
    DlsBankDesc bank;
    DlsInstrumentDesc ins;
    ins.program = 1;
    ins.regions = std::move(regions);
    bank.instruments = {ins};
    bank.waves = {wave16(values)};
    return bank;
}

DlsConnection block(uint16_t destination, int32_t scale) { return {0, 0, destination, 0, scale}; }

std::unique_ptr<Instrument> melodic(Loaded& l, int bank, int program) {
    return loadDlsInstrument(*l.song, *l.dls, false, bank, program);
}

TEST(DlsConvert, RegionFieldsAndLoop) {
    DlsRegionDesc r = loopingRegion();
    r.keyLow = 21;
    r.keyHigh = 108;
    r.velLow = 5;
    r.velHigh = 100;
    r.waveSample.unityNote = 69;
    auto l = load(oneInstrument({r}));
    auto ins = melodic(l, 0, 1);
    ASSERT_TRUE(ins);
    ASSERT_EQ(ins->sampleCount(), 1);
    const Sample& s = ins->samples[0];
    EXPECT_EQ(s.lowFrequency, 27500);
    EXPECT_EQ(s.highFrequency, 4186009);
    EXPECT_EQ(s.rootFrequency, 440000);
    EXPECT_EQ(s.lowVelocity, 5);
    EXPECT_EQ(s.highVelocity, 100);
    EXPECT_EQ(s.sampleRate, 22050);
    EXPECT_EQ(s.dataLength, 4000 << 12);
    EXPECT_EQ(s.loopStart, 1000 << 12);
    EXPECT_EQ(s.loopEnd, 1500 << 12);
    EXPECT_EQ(s.modes, Mode16Bit | ModeLooping | ModeSustain | ModeEnvelope);
    EXPECT_EQ(s.volume, 1.0f);
    EXPECT_EQ(s.data[0], -10000);
    // Guard values repeat the last value.
    EXPECT_EQ(s.data[4000], s.data[3999]);
    EXPECT_EQ(s.data[4001], s.data[3999]);
}

TEST(DlsConvert, LoopsAreClampedIntoTheData) {
    DlsRegionDesc past = loopingRegion();
    past.waveSample.loops = {{0, 3000, 5000}};
    DlsRegionDesc outside = loopingRegion();
    outside.waveSample.loops = {{0, 5000, 100}};
    DlsRegionDesc empty = loopingRegion();
    empty.waveSample.loops = {{0, 100, 0}};
    DlsRegionDesc wraps = loopingRegion();
    wraps.waveSample.loops = {{0, 10, 0xFFFFFFFFu}};
    auto l = load(oneInstrument({past, outside, empty, wraps}));
    auto ins = melodic(l, 0, 1);
    ASSERT_TRUE(ins);
    ASSERT_EQ(ins->sampleCount(), 4);
    EXPECT_EQ(ins->samples[0].loopStart, 3000 << 12);
    EXPECT_EQ(ins->samples[0].loopEnd, 4000 << 12);
    for (int i : {1, 2}) {
        // Nothing left of the loop: a one-shot sample without envelope.
        EXPECT_EQ(ins->samples[size_t(i)].modes, Mode16Bit) << i;
        EXPECT_EQ(ins->samples[size_t(i)].loopEnd, 0) << i;
        EXPECT_EQ(ins->samples[size_t(i)].envelopeRate[0], 0) << i;
    }
    EXPECT_EQ(ins->samples[3].loopStart, 10 << 12);
    EXPECT_EQ(ins->samples[3].loopEnd, 4000 << 12);
}

// Rates at 44100 Hz with 44 frames per control block.
constexpr int32_t kRate255Over6ms = 177853707;
constexpr int32_t kRate5Over6ms = 3487327;

TEST(DlsConvert, DefaultArticulationIsTheStandardsDefault) {
    auto l = load(oneInstrument({loopingRegion()}));
    auto ins = melodic(l, 0, 1);
    ASSERT_TRUE(ins);
    const Sample& s = ins->samples[0];
    // Every time 0 s, raised to 6 ms; sustain 100 %; centre pan.
    EXPECT_EQ(s.envelopeRate[0], kRate255Over6ms);
    EXPECT_EQ(s.envelopeTarget[0], 255 << 22);
    EXPECT_EQ(s.envelopeRate[1], kRate5Over6ms);
    EXPECT_EQ(s.envelopeTarget[1], 250 << 22);
    EXPECT_EQ(s.envelopeRate[2], kRate5Over6ms);
    EXPECT_EQ(s.envelopeTarget[2], 250 << 22);
    EXPECT_EQ(s.envelopeRate[3], kRate255Over6ms);
    EXPECT_EQ(s.envelopeTarget[3], 0);
    EXPECT_EQ(s.envelopeRate[4], 0x400000);
    EXPECT_EQ(s.envelopeRate[5], 0x400000);
    EXPECT_EQ(s.panning, 63);
}

TEST(DlsConvert, ArticulationTimesInTimecents) {
    DlsRegionDesc r = loopingRegion();
    r.hasArticulation = true;
    r.articulation = {
        block(kDlsDestAttackTime, 0),                // 0 timecents: one second
        block(kDlsDestHoldTime, kDlsTimeZero),       // no time: 6 ms floor
        block(kDlsDestReleaseTime, -12000 * 65536),  // under 1 ms: 6 ms floor
        block(kDlsDestDecayTime, 600 << 16),         // split over two blocks:
        block(kDlsDestDecayTime, 600 << 16),         //   1200 timecents, two seconds
        {1, 0, kDlsDestAttackTime, 0, 1200 << 16},   // not a plain block: ignored
        block(kDlsDestSustainLevel, 500 << 16),      // 50 %
    };
    auto l = load(oneInstrument({r}));
    auto ins = melodic(l, 0, 1);
    ASSERT_TRUE(ins);
    const Sample& s = ins->samples[0];
    EXPECT_EQ(s.envelopeRate[0], 1067122);  // 255 levels in 1000 ms
    EXPECT_EQ(s.envelopeRate[1], kRate5Over6ms);
    EXPECT_EQ(s.envelopeRate[2], 272011);    // 130 levels in 2000 ms
    EXPECT_EQ(s.envelopeTarget[2], 125 << 22);
    EXPECT_EQ(s.envelopeRate[3], 90670517);  // 130 levels in 6 ms
}

TEST(DlsConvert, SustainAndPanMapping) {
    struct Case {
        int32_t sustain;
        int32_t expected;
    };
    for (Case c : {Case{1000, 250}, Case{0, 0}, Case{-300, 0}, Case{2000, 250}, Case{999, 249}}) {
        DlsRegionDesc r = loopingRegion();
        r.hasArticulation = true;
        r.articulation = {block(kDlsDestSustainLevel, c.sustain * 65536)};
        auto l = load(oneInstrument({r}));
        auto ins = melodic(l, 0, 1);
        ASSERT_TRUE(ins);
        EXPECT_EQ(ins->samples[0].envelopeTarget[2], c.expected << 22) << c.sustain;
    }
    struct PanCase {
        int32_t pan;
        int8_t expected;
    };
    for (PanCase c : {PanCase{-500, 0}, PanCase{0, 63}, PanCase{500, 127}, PanCase{250, 95}, PanCase{9000, 127},
                      PanCase{-9000, 0}}) {
        DlsRegionDesc oneShot = loopingRegion();
        oneShot.waveSample.loops.clear();
        oneShot.hasArticulation = true;
        oneShot.articulation = {block(kDlsDestPan, c.pan * 65536)};
        auto l = load(oneInstrument({oneShot}));
        auto ins = melodic(l, 0, 1);
        ASSERT_TRUE(ins);
        // One-shot regions are panned too, but get no envelope.
        EXPECT_EQ(ins->samples[0].panning, c.expected) << c.pan;
        EXPECT_EQ(ins->samples[0].modes, Mode16Bit);
        EXPECT_EQ(ins->samples[0].envelopeRate[0], 0);
    }
}

TEST(DlsConvert, RegionArticulationComesBeforeTheInstruments) {
    DlsBankDesc bank = oneInstrument({loopingRegion(), loopingRegion(), loopingRegion()});
    bank.instruments[0].hasArticulation = true;
    bank.instruments[0].articulation = {block(kDlsDestPan, -500 << 16)};
    bank.instruments[0].regions[0].hasArticulation = true;
    bank.instruments[0].regions[0].articulation = {block(kDlsDestPan, 500 << 16)};
    bank.instruments[0].regions[1].hasArticulation = true;  // present but empty
    auto l = load(bank);
    auto ins = melodic(l, 0, 1);
    ASSERT_TRUE(ins);
    ASSERT_EQ(ins->sampleCount(), 3);
    EXPECT_EQ(ins->samples[0].panning, 127);
    EXPECT_EQ(ins->samples[1].panning, 0);
    EXPECT_EQ(ins->samples[2].panning, 0);
}

TEST(DlsConvert, EightBitWavesAreUnsigned) {
    DlsBankDesc bank = oneInstrument({loopingRegion()});
    bank.instruments[0].regions[0].waveSample.loops.clear();
    bank.waves[0].bitsPerSample = 8;
    bank.waves[0].data = {0, 128, 255, 129, 127};
    auto l = load(bank);
    auto ins = melodic(l, 0, 1);
    ASSERT_TRUE(ins);
    const Sample& s = ins->samples[0];
    ASSERT_EQ(s.dataLength, 5 << 12);
    const int16_t expected[] = {-32768, 0, 32512, 256, -256, -256, -256};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(s.data[i], expected[i]) << i;
}

TEST(DlsConvert, OverlongWavesAreCut) {
    DlsRegionDesc r = loopingRegion();
    r.waveSample.loops = {{0, 500000, 100000}};
    auto l = load(oneInstrument({r}, 600000));
    auto ins = melodic(l, 0, 1);
    ASSERT_TRUE(ins);
    const Sample& s = ins->samples[0];
    EXPECT_EQ(s.dataLength, kMaxSampleValues << 12);
    EXPECT_EQ(s.loopEnd, kMaxSampleValues << 12);
    EXPECT_GT(s.dataLength, 0);
}

TEST(DlsConvert, UnusableRegionsAreSkipped) {
    DlsRegionDesc good = loopingRegion();
    DlsRegionDesc noWaveSample = loopingRegion();
    noWaveSample.hasWaveSample = false;
    DlsRegionDesc badWave = loopingRegion(7);
    DlsRegionDesc badKey = loopingRegion();
    badKey.keyLow = 128;
    DlsRegionDesc badUnity = loopingRegion();
    badUnity.waveSample.unityNote = 300;
    DlsRegionDesc wideKeys = loopingRegion();
    wideKeys.keyHigh = 1000;
    auto l = load(oneInstrument({noWaveSample, badWave, good, badKey, badUnity, wideKeys}));
    auto ins = melodic(l, 0, 1);
    ASSERT_TRUE(ins);
    ASSERT_EQ(ins->sampleCount(), 2);
    EXPECT_EQ(ins->samples[1].highFrequency, noteFrequencyTable[127]);

    auto none = load(oneInstrument({noWaveSample, badWave}));
    EXPECT_FALSE(melodic(none, 0, 1));
    // A wave without data or with a sample rate of 0 serves no region.
    DlsBankDesc silent = oneInstrument({good});
    silent.waves[0].data.clear();
    auto empty = load(silent);
    EXPECT_FALSE(melodic(empty, 0, 1));
    DlsBankDesc noRate = oneInstrument({good});
    noRate.waves[0].sampleRate = 0;
    auto zero = load(noRate);
    EXPECT_FALSE(melodic(zero, 0, 1));
}

TEST(DlsConvert, MelodicLookupByBankAndProgram) {
    DlsBankDesc bank = oneInstrument({loopingRegion()});
    bank.instruments[0].bank = 3 << 8;
    bank.instruments[0].program = 5;
    DlsInstrumentDesc drum = bank.instruments[0];
    drum.bank = kDlsDrumBank;
    drum.program = 6;
    bank.instruments.push_back(drum);
    auto l = load(bank);
    EXPECT_TRUE(melodic(l, 3, 5));
    EXPECT_TRUE(melodic(l, 0, 5));   // bank 0 takes any bank of the program
    EXPECT_FALSE(melodic(l, 1, 5));  // other banks do not
    EXPECT_FALSE(melodic(l, 0, 6));  // a drum kit is no melodic instrument

}

TEST(DlsConvert, DrumKitsByKey) {
    DlsBankDesc bank;
    bank.waves = {wave16(100), wave16(200), wave16(300)};
    DlsInstrumentDesc kit;
    kit.bank = kDlsDrumBank | 0x0100;  // bank bits do not matter for kits
    kit.program = 0;
    DlsRegionDesc kick = loopingRegion(0);
    kick.waveSample.loops.clear();
    kick.keyLow = kick.keyHigh = 36;
    kick.velHigh = 63;
    DlsRegionDesc loudKick = kick;
    loudKick.waveIndex = 1;
    loudKick.velLow = 64;
    loudKick.velHigh = 127;
    DlsRegionDesc snares = kick;
    snares.waveIndex = 2;
    snares.keyLow = 38;
    snares.keyHigh = 40;
    kit.regions = {kick, snares, loudKick};
    DlsInstrumentDesc brush = kit;
    brush.program = 40;
    brush.regions = {snares};
    DlsInstrumentDesc later = kit;  // a second kit 0 is never used
    bank.instruments = {kit, brush, later};
    auto l = load(bank);

    auto n36 = loadDlsInstrument(*l.song, *l.dls, true, 0, 36);
    ASSERT_TRUE(n36);
    ASSERT_EQ(n36->sampleCount(), 2);  // both velocity layers, in region order
    EXPECT_EQ(n36->samples[0].dataLength, 100 << 12);
    EXPECT_EQ(n36->samples[1].dataLength, 200 << 12);
    EXPECT_EQ(n36->samples[1].lowVelocity, 64);
    auto n39 = loadDlsInstrument(*l.song, *l.dls, true, 0, 39);
    ASSERT_TRUE(n39);
    ASSERT_EQ(n39->sampleCount(), 1);
    EXPECT_EQ(n39->samples[0].dataLength, 300 << 12);
    EXPECT_FALSE(loadDlsInstrument(*l.song, *l.dls, true, 0, 50));  // no region covers it
    EXPECT_FALSE(loadDlsInstrument(*l.song, *l.dls, true, 0, 0));
    EXPECT_TRUE(loadDlsInstrument(*l.song, *l.dls, true, 40, 38));   // the brush kit
    EXPECT_FALSE(loadDlsInstrument(*l.song, *l.dls, true, 40, 36));
    EXPECT_FALSE(loadDlsInstrument(*l.song, *l.dls, true, 1, 36));   // no kit 1
    EXPECT_FALSE(loadDlsInstrument(*l.song, *l.dls, false, 0, 36));  // melodic 36 is not the kit
}

}  // namespace
}  // namespace tz
