#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "instruments/config.h"
#include "instruments/dls_articulation.h"
#include "instruments/dls_collection.h"
#include "platform/input_stream.h"
#include "records/midi_song.h"
#include "song/song_assembly.h"
#include "synth/render.h"
#include "tests/support/player.h"
#include "tests/support/files.h"
#include "tests/support/sf2_builder.h"
#include "tests/support/smf_builder.h"
#include "tests/support/test_data.h"
#include "tools/bank/bank_command.h"
#include "soundfont/dls_writer.h"
#include "soundfont/sf2_reader.h"
#include "soundfont/sf2_to_dls.h"

namespace tz {
namespace {

using test::sf2Gen;
using test::sf2Range;
using test::sf2Zone;
using test::Sf2Builder;
using test::Sf2BuilderSample;

std::vector<int16_t> ramp(size_t n, int step = 3) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = int16_t(int(i) * step - 1000);
    return v;
}

Sf2Bank parse(const Sf2Builder& sf) {
    Sf2Bank bank;
    std::string error;
    EXPECT_TRUE(parseSf2(sf.bytes(), bank, error)) << error;
    return bank;
}

// Converted at a bank gain of 0 dB unless told otherwise.
DlsBankDesc convert(const Sf2Builder& sf, Sf2ConvertStats* statsOut = nullptr, double gainDb = 0.0) {
    Sf2Bank bank = parse(sf);
    DlsBankDesc dls;
    Sf2ConvertStats stats;
    std::string error;
    Sf2ConvertOptions options;
    options.gainDb = gainDb;
    EXPECT_TRUE(convertSf2ToDls(bank, dls, stats, error, options)) << error;
    if (statsOut) *statsOut = stats;
    return dls;
}

// A sine of `period` values (any real number), `count` values long.
std::vector<int16_t> sine(size_t count, double period, double amplitude = 16000) {
    std::vector<int16_t> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * double(i) / period)));
    return v;
}

// A sample looping over whole periods of a sine: 441 Hz at 44.1 kHz.
Sf2BuilderSample loopedSine(const std::string& name, double period = 100, double amplitude = 16000) {
    Sf2BuilderSample s;
    s.name = name;
    s.values = sine(4400, period, amplitude);
    s.loopStart = 0;
    s.loopEnd = 4400;
    return s;
}

// One note of a program on channel 1, in milliseconds.
struct TestNote {
    int program = 0;
    int key = 60;
    uint32_t on = 0, off = 500;
};

// What the engine plays of the notes with `dls`: interleaved stereo
// 16-bit frames at 44.1 kHz, up to `endMs`.
std::vector<int16_t> render(const DlsBankDesc& dls, const std::vector<TestNote>& notes, uint32_t endMs) {
    test::SmfBuilder smf(0, 1000);  // a tick is a millisecond
    auto& track = smf.track();
    track.tempo(0, 1000000);
    uint32_t now = 0;
    for (const TestNote& n : notes) {
        track.program(n.on - now, 0, n.program).noteOn(0, 0, n.key, 100).noteOff(n.off - n.on, 0, n.key);
        now = n.off;
    }
    track.controller(endMs - now, 0, 11, 127);
    std::vector<uint8_t> midi = smf.bytes();
    std::unique_ptr<DlsCollection> collection = indexDlsCollection(writeDlsBank(dls));
    EXPECT_TRUE(collection);
    std::unique_ptr<MidiSong> song = test::assembleSong(SongOptions{}, midi, collection.get());
    std::vector<int16_t> pcm;
    if (song) {
        std::vector<uint8_t> block(kBlockBytes);
        for (int32_t n; (n = renderBlock(*song, block.data())) > 0;)
            for (int32_t i = 0; i + 1 < n; i += 2) pcm.push_back(int16_t(block[size_t(i)] | block[size_t(i) + 1] << 8));
    }
    song.reset();
    EXPECT_FALSE(pcm.empty());
    return pcm;
}

size_t frameAt(double ms) { return size_t(ms * 44.1); }

// Mean power over [fromMs, toMs) of both channels, or of channel 0 or 1.
double powerOf(const std::vector<int16_t>& pcm, double fromMs, double toMs, int channel = -1) {
    size_t from = 2 * frameAt(fromMs), to = std::min(pcm.size(), 2 * frameAt(toMs));
    double sum = 0;
    size_t count = 0;
    for (size_t i = from; i < to; ++i) {
        if (channel >= 0 && int(i % 2) != channel) continue;
        sum += double(pcm[i]) * pcm[i];
        ++count;
    }
    return count ? sum / double(count) : 0.0;
}

double dbOf(double powerRatio) { return 10.0 * std::log10(powerRatio); }

// The frequency of the left channel over [fromMs, toMs), from its first
// and last rising zero crossings.
double frequencyOf(const std::vector<int16_t>& pcm, double fromMs, double toMs) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t f = frameAt(fromMs) + 1; f < frameAt(toMs) && 2 * f < pcm.size(); ++f) {
        double a = pcm[2 * f - 2], b = pcm[2 * f];
        if (a >= 0 || b < 0) continue;
        double at = double(f - 1) + a / (a - b);
        if (first < 0) first = at;
        last = at;
        ++crossings;
    }
    return crossings > 1 ? 44100.0 * (crossings - 1) / (last - first) : 0.0;
}

double centsBetween(double f, double reference) { return 1200.0 * std::log2(f / reference); }

// The time after which every value stays within +-threshold.
double silentAfterMs(const std::vector<int16_t>& pcm, int threshold = 8) {
    size_t last = 0;
    for (size_t i = 0; i < pcm.size(); ++i)
        if (std::abs(int(pcm[i])) > threshold) last = i / 2;
    return double(last) / 44.1;
}

// The constant block for `destination` among the classic sound's blocks.
int32_t scaleOf(const std::vector<DlsConnection>& blocks, uint16_t destination) {
    for (const DlsConnection& c : blocks)
        if (c.destination == destination && c.source == 0 && c.control == 0 && c.transform == 0) return c.scale;
    ADD_FAILURE() << "no block for destination " << destination;
    return 0;
}

std::vector<int16_t> waveValues(const DlsWaveDesc& w) {
    std::vector<int16_t> v(w.data.size() / 2);
    for (size_t i = 0; i < v.size(); ++i) v[i] = int16_t(w.data[2 * i] | w.data[2 * i + 1] << 8);
    return v;
}

// Wave levels are kept to a quarter of a decibel.
constexpr double kLevelStep = 0.13;

// The level of a wave's first values against `reference`, in dB.
double levelOf(const DlsWaveDesc& w, const std::vector<int16_t>& reference) {
    std::vector<int16_t> v = waveValues(w);
    double a = 0, b = 0;
    for (size_t i = 0; i < reference.size() && i < v.size(); ++i) {
        a += double(v[i]) * v[i];
        b += double(reference[i]) * reference[i];
    }
    return 10.0 * std::log10(a / b);
}

uint32_t rateFor(uint32_t rate, double cents) { return uint32_t(std::lround(rate * std::exp2(cents / 1200.0))); }

TEST(Sf2Reader, ReadsHierarchyWithGlobalZones) {
    Sf2Builder sf;
    int s0 = sf.sample("a", ramp(100));
    int s1 = sf.sample("b", ramp(50));
    int i0 = sf.instrument("Inst", {sf2Zone({sf2Gen(Sf2GenInitialAttenuation, 10)}, -1),
                                    sf2Zone({sf2Range(Sf2GenKeyRange, 0, 60)}, s0), sf2Zone({}, s1)});
    sf.preset("P", 5, 0, {sf2Zone({sf2Gen(Sf2GenPan, 100)}, -1), sf2Zone({}, i0)});
    Sf2Bank bank = parse(sf);
    EXPECT_EQ(bank.name, "Test bank");
    ASSERT_EQ(bank.presets.size(), 1u);
    EXPECT_EQ(bank.presets[0].program, 5);
    EXPECT_TRUE(bank.presets[0].hasGlobalZone);
    ASSERT_EQ(bank.presets[0].zones.size(), 2u);
    EXPECT_EQ(bank.presets[0].zones[1].target, i0);
    ASSERT_EQ(bank.instruments.size(), 1u);
    EXPECT_TRUE(bank.instruments[0].hasGlobalZone);
    ASSERT_EQ(bank.instruments[0].zones.size(), 3u);
    EXPECT_EQ(bank.instruments[0].zones[2].target, s1);
    ASSERT_EQ(bank.samples.size(), 2u);
    EXPECT_EQ(bank.samples[1].start, sf.sampleStart(1));
    EXPECT_EQ(bank.samples[1].end, sf.sampleStart(1) + 50);
}

TEST(Sf2Reader, RejectsDamagedFilesWithAReason) {
    Sf2Builder sf;
    int s = sf.sample("a", ramp(100));
    int i = sf.instrument("I", {sf2Zone({}, s)});
    sf.preset("P", 0, 0, {sf2Zone({}, i)});
    const std::vector<uint8_t> good = sf.bytes();
    auto findTag = [&](const std::vector<uint8_t>& b, const char* tag) {
        for (size_t k = 0; k + 4 <= b.size(); ++k)
            if (std::equal(tag, tag + 4, b.begin() + long(k))) return k;
        ADD_FAILURE() << "no " << tag;
        return size_t(0);
    };
    auto expectError = [](std::vector<uint8_t> bytes, const std::string& part) {
        Sf2Bank bank;
        std::string error;
        EXPECT_FALSE(parseSf2(std::move(bytes), bank, error));
        EXPECT_NE(error.find(part), std::string::npos) << error;
    };

    expectError({'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, "not a SoundFont");
    expectError(std::vector<uint8_t>(good.begin(), good.begin() + 20), "runs past");

    // phdr two bytes short of a whole number of records.
    std::vector<uint8_t> b = good;
    auto shrink = [&](size_t sizeField) {
        uint32_t v = uint32_t(b[sizeField] | b[sizeField + 1] << 8 | b[sizeField + 2] << 16 | b[sizeField + 3] << 24) - 2;
        for (int k = 0; k < 4; ++k) b[sizeField + size_t(k)] = uint8_t(v >> (8 * k));
    };
    size_t phdrAt = findTag(b, "phdr");
    size_t phdrEnd = phdrAt + 8 + (b[phdrAt + 4] | b[phdrAt + 5] << 8);
    b.erase(b.begin() + long(phdrEnd - 2), b.begin() + long(phdrEnd));
    shrink(phdrAt + 4);
    shrink(findTag(b, "pdta") - 4);
    shrink(4);
    expectError(b, "'phdr' chunk size 74");

    b = good;  // the preset's zone index past the bags
    size_t phdr = findTag(b, "phdr") + 8;
    b[phdr + 38 + 24] = 9;  // the terminal record's wPresetBagNdx
    expectError(b, "zone indices");

    b = good;  // the zone names instrument 7 of 1
    size_t pgen = findTag(b, "pgen") + 8;
    b[pgen + 2] = 7;
    expectError(b, "names instrument 7");

    b = good;
    size_t smpl = findTag(b, "smpl");
    b[smpl] = 'x';
    expectError(b, "no 'smpl'");

    Sf2Builder v3 = sf;
    v3.versionMajor = 3;
    expectError(v3.bytes(), "not supported");
}

TEST(Sf2Convert, InstrumentValuesAreAbsoluteAndPresetValuesAdd) {
    Sf2Builder sf;
    int s = sf.sample("a", ramp(200), 22050, 60);
    // Instrument: global attenuation 100 cB and release 0 tc; the first zone
    // replaces the attenuation, the second keeps the global one.
    int i = sf.instrument("I", {sf2Zone({sf2Gen(Sf2GenInitialAttenuation, 100), sf2Gen(Sf2GenReleaseVolEnv, 0),
                                         sf2Gen(Sf2GenPan, -100)},
                                        -1),
                                sf2Zone({sf2Range(Sf2GenKeyRange, 0, 59), sf2Gen(Sf2GenInitialAttenuation, 200)}, s),
                                sf2Zone({sf2Range(Sf2GenKeyRange, 60, 127)}, s)});
    // Preset: global +50 cB and +20 cents; the zone's own +30 cB replaces
    // the global attenuation but the fine tune still comes from the global
    // zone. Address offsets and sample modes are not allowed at preset level.
    sf.preset("P", 0, 0,
              {sf2Zone({sf2Gen(Sf2GenInitialAttenuation, 50), sf2Gen(Sf2GenFineTune, 20),
                        sf2Gen(Sf2GenReleaseVolEnv, 1200), sf2Gen(Sf2GenStartAddrsOffset, 10)},
                       -1),
               sf2Zone({sf2Gen(Sf2GenInitialAttenuation, 30), sf2Gen(Sf2GenPan, 300),
                        sf2Gen(Sf2GenSampleModes, 1)},
                       i)});
    DlsBankDesc dls = convert(sf);
    ASSERT_EQ(dls.instruments.size(), 1u);
    const auto& regions = dls.instruments[0].regions;
    ASSERT_EQ(regions.size(), 2u);
    // Attenuations of 200 + 30 and 100 + 30 cB, sounded at 0.4 of their
    // nominal value in the sample values.
    EXPECT_NEAR(levelOf(dls.waves.at(regions[0].waveIndex), ramp(200)), -9.2, kLevelStep);
    EXPECT_NEAR(levelOf(dls.waves.at(regions[1].waveIndex), ramp(200)), -5.2, kLevelStep);
    EXPECT_EQ(regions[0].waveSample.attenuation, 0);
    // The preset's 20 cents are in the rate.
    EXPECT_EQ(regions[0].waveSample.unityNote, 60);
    EXPECT_EQ(regions[0].waveSample.fineTune, 0);
    EXPECT_EQ(dls.waves.at(regions[0].waveIndex).sampleRate, rateFor(22050, 20));
    EXPECT_EQ(scaleOf(regions[0].classicArticulation, kDlsDestPan), 200 * 65536);
    // Sample modes at preset level are ignored: a one-shot, looping only in
    // its silent tail.
    ASSERT_EQ(regions[0].waveSample.loops.size(), 1u);
    EXPECT_GE(regions[0].waveSample.loops[0].start, 200u);
    // Release 0 + 1200 tc (2 s per 100 dB) at full sustain.
    Sf2VolumeEnvelope env;
    env.release = 1200;
    EXPECT_EQ(scaleOf(regions[0].classicArticulation, kDlsDestReleaseTime),
              scaleOf(volumeEnvelopeConnections(env, 0), kDlsDestReleaseTime));
    // The preset's start offset was ignored: every wave holds the whole sample.
    for (const DlsRegionDesc& r : regions) {
        std::vector<int16_t> values = waveValues(dls.waves.at(r.waveIndex));
        ASSERT_GE(values.size(), 200u);
        EXPECT_TRUE(std::all_of(values.begin() + 200, values.end(), [](int16_t v) { return v == 0; }));
    }
}

TEST(Sf2Convert, KeyAndVelocityRangesIntersect) {
    Sf2Builder sf;
    int s = sf.sample("a", ramp(100));
    int i = sf.instrument("I", {sf2Zone({sf2Range(Sf2GenKeyRange, 0, 50), sf2Range(Sf2GenVelRange, 0, 80)}, s),
                                sf2Zone({sf2Range(Sf2GenKeyRange, 51, 60)}, s),
                                sf2Zone({sf2Range(Sf2GenKeyRange, 90, 127)}, s),
                                sf2Zone({sf2Range(Sf2GenKeyRange, 40, 70), sf2Range(Sf2GenVelRange, 0, 9)}, s)});
    sf.preset("P", 0, 0, {sf2Zone({sf2Range(Sf2GenKeyRange, 40, 80), sf2Range(Sf2GenVelRange, 10, 127)}, i)});
    DlsBankDesc dls = convert(sf);
    ASSERT_EQ(dls.instruments.size(), 1u);
    const auto& r = dls.instruments[0].regions;
    ASSERT_EQ(r.size(), 2u);  // 90..127 misses the keys, the last zone the velocities
    EXPECT_EQ(r[0].keyLow, 40);
    EXPECT_EQ(r[0].keyHigh, 50);
    EXPECT_EQ(r[0].velLow, 10);
    EXPECT_EQ(r[0].velHigh, 80);
    EXPECT_EQ(r[1].keyLow, 51);
    EXPECT_EQ(r[1].keyHigh, 60);
    EXPECT_EQ(r[1].velLow, 10);
    EXPECT_EQ(r[1].velHigh, 127);
}

TEST(Sf2Convert, RootKeyAndTuning) {
    Sf2Builder sf;
    Sf2BuilderSample a;
    a.name = "a";
    a.values = ramp(100);
    a.originalPitch = 64;
    a.pitchCorrection = -30;
    int s = sf.sample(a);
    int i = sf.instrument(
        "I", {sf2Zone({sf2Range(Sf2GenKeyRange, 0, 30)}, s),  // original pitch and correction
              sf2Zone({sf2Range(Sf2GenKeyRange, 31, 60), sf2Gen(Sf2GenOverridingRootKey, 48)}, s),
              sf2Zone({sf2Range(Sf2GenKeyRange, 61, 90), sf2Gen(Sf2GenCoarseTune, 2), sf2Gen(Sf2GenFineTune, 45)}, s),
              sf2Zone({sf2Range(Sf2GenKeyRange, 91, 127), sf2Gen(Sf2GenOverridingRootKey, 2),
                       sf2Gen(Sf2GenCoarseTune, 12)},
                      s)});
    sf.preset("P", 0, 0, {sf2Zone({}, i)});
    DlsBankDesc dls = convert(sf);
    const auto& r = dls.instruments.at(0).regions;
    ASSERT_EQ(r.size(), 4u);
    auto rate = [&](size_t i) { return dls.waves.at(r[i].waveIndex).sampleRate; };
    // Whole semitones in the unity note, the rest in the wave's rate.
    EXPECT_EQ(r[0].waveSample.unityNote, 64);
    EXPECT_EQ(rate(0), rateFor(44100, -30));
    EXPECT_EQ(r[1].waveSample.unityNote, 48);
    EXPECT_EQ(rate(1), rateFor(44100, -30));
    EXPECT_EQ(r[1].waveIndex, r[0].waveIndex);
    // -30 + 45 + 200 = 215 cents: two semitones go into the unity note.
    EXPECT_EQ(r[2].waveSample.unityNote, 62);
    EXPECT_EQ(rate(2), rateFor(44100, 15));
    // Root 2 an octave up would need unity note -10: clamped to 0 with the
    // rest in the rate.
    EXPECT_EQ(r[3].waveSample.unityNote, 0);
    EXPECT_EQ(rate(3), rateFor(44100, 1170 - 200));
    for (const DlsRegionDesc& region : r) EXPECT_EQ(region.waveSample.fineTune, 0);
}

TEST(Sf2Convert, OffsetsLoopsAndSharedSlices) {
    Sf2Builder sf;
    Sf2BuilderSample a;
    a.name = "a";
    a.values = ramp(70000, 1);
    a.loopStart = 100;
    a.loopEnd = 600;
    int s = sf.sample(a);
    int i = sf.instrument(
        "I",
        {// Loops continuously: the loop is relative to the slice.
         sf2Zone({sf2Range(Sf2GenKeyRange, 0, 20), sf2Gen(Sf2GenSampleModes, 1)}, s),
         // Loops until release, same slice: shares the wave.
         sf2Zone({sf2Range(Sf2GenKeyRange, 21, 40), sf2Gen(Sf2GenSampleModes, 3)}, s),
         // No loop (mode 2 is not a loop mode).
         sf2Zone({sf2Range(Sf2GenKeyRange, 41, 60), sf2Gen(Sf2GenSampleModes, 2)}, s),
         // Fine and coarse offsets move the slice and the loop.
         sf2Zone({sf2Range(Sf2GenKeyRange, 61, 80), sf2Gen(Sf2GenSampleModes, 1), sf2Gen(Sf2GenStartAddrsOffset, 40),
                  sf2Gen(Sf2GenEndAddrsCoarseOffset, -1), sf2Gen(Sf2GenEndAddrsOffset, -4),
                  sf2Gen(Sf2GenStartloopAddrsOffset, 10), sf2Gen(Sf2GenEndloopAddrsOffset, -20)},
                 s),
         // A loop that lies beyond the slice is dropped.
         sf2Zone({sf2Range(Sf2GenKeyRange, 81, 100), sf2Gen(Sf2GenSampleModes, 1),
                  sf2Gen(Sf2GenStartloopAddrsCoarseOffset, 3), sf2Gen(Sf2GenEndloopAddrsCoarseOffset, 3)},
                 s)});
    sf.preset("P", 0, 0, {sf2Zone({}, i)});
    Sf2ConvertStats stats;
    DlsBankDesc dls = convert(sf, &stats);
    const auto& r = dls.instruments.at(0).regions;
    ASSERT_EQ(r.size(), 5u);
    ASSERT_EQ(r[0].waveSample.loops.size(), 1u);
    EXPECT_EQ(r[0].waveSample.loops[0].start, 100u);
    EXPECT_EQ(r[0].waveSample.loops[0].length, 500u);
    ASSERT_EQ(r[1].waveSample.loops.size(), 1u);
    ASSERT_EQ(r[3].waveSample.loops.size(), 1u);
    EXPECT_EQ(r[3].waveSample.loops[0].start, 100u + 10 - 40);
    EXPECT_EQ(r[3].waveSample.loops[0].length, 500u - 10 - 20);
    EXPECT_EQ(stats.droppedLoops, 1u);
    // Zones 2 and 4 play once: their loops lie in the silent tail.
    for (size_t k : {2u, 4u}) {
        ASSERT_EQ(r[k].waveSample.loops.size(), 1u) << k;
        EXPECT_GE(r[k].waveSample.loops[0].start, 70000u) << k;
    }
    EXPECT_EQ(stats.silentTails, 1u);

    // Zones 0 and 1 loop the same slice, zones 2 and 4 play it once; zone 3
    // plays its own.
    EXPECT_EQ(r[0].waveIndex, r[1].waveIndex);
    EXPECT_EQ(r[2].waveIndex, r[4].waveIndex);
    EXPECT_NE(r[0].waveIndex, r[2].waveIndex);
    EXPECT_NE(r[0].waveIndex, r[3].waveIndex);
    ASSERT_EQ(dls.waves.size(), 3u);
    std::vector<int16_t> moved = waveValues(dls.waves.at(r[3].waveIndex));
    ASSERT_EQ(moved.size(), 70000u - 40 - 32768 - 4);
    EXPECT_EQ(moved.front(), ramp(70000, 1)[40]);
    EXPECT_EQ(moved.back(), ramp(70000, 1)[70000 - 32768 - 5]);
}

TEST(Sf2Convert, OverlongSlicesAreCut) {
    Sf2Builder sf;
    Sf2BuilderSample a;
    a.name = "long";
    a.values = ramp(kMaxWaveValues + 1000, 0);
    a.loopStart = 1000;
    a.loopEnd = 5000;
    int s = sf.sample(a);
    int i = sf.instrument("I", {sf2Zone({sf2Range(Sf2GenKeyRange, 0, 60), sf2Gen(Sf2GenSampleModes, 1)}, s),
                                sf2Zone({sf2Range(Sf2GenKeyRange, 61, 127)}, s)});
    sf.preset("P", 0, 0, {sf2Zone({}, i)});
    Sf2ConvertStats stats;
    DlsBankDesc dls = convert(sf, &stats);
    const auto& r = dls.instruments.at(0).regions;
    ASSERT_EQ(r.size(), 2u);
    // The looping zone ends at its loop end, the other at the engine's limit.
    EXPECT_EQ(dls.waves.at(r[0].waveIndex).data.size(), 5000u * 2);
    EXPECT_EQ(dls.waves.at(r[1].waveIndex).data.size(), size_t(kMaxWaveValues) * 2);
    EXPECT_EQ(stats.truncatedWaves, 2u);
}

TEST(Sf2Convert, BanksDrumKitsAndSkippedPresets) {
    Sf2Builder sf;
    int s = sf.sample("a", ramp(100));
    int i = sf.instrument("I", {sf2Zone({}, s)});
    int bad = sf.sample("bad", ramp(10));
    sf.preset("Kit", 16, 128, {sf2Zone({}, i)});
    sf.preset("Variation", 3, 8, {sf2Zone({}, i)});
    sf.preset("Piano", 3, 0, {sf2Zone({}, i)});
    sf.preset("Piano again", 3, 0, {sf2Zone({}, i)});
    sf.preset("Other", 1, 200, {sf2Zone({}, i)});
    // A zone whose sample points lie outside the sample data.
    int broken = sf.instrument("Broken", {sf2Zone({sf2Gen(Sf2GenEndAddrsCoarseOffset, 100)}, bad)});
    sf.preset("Broken", 4, 0, {sf2Zone({}, broken)});
    Sf2ConvertStats stats;
    DlsBankDesc dls = convert(sf, &stats);
    ASSERT_EQ(dls.instruments.size(), 3u);
    EXPECT_EQ(dls.instruments[0].name, "Piano");
    EXPECT_EQ(dls.instruments[0].bank, 0u);
    EXPECT_EQ(dls.instruments[0].program, 3u);
    EXPECT_EQ(dls.instruments[1].bank, 8u << 8);
    EXPECT_EQ(dls.instruments[2].bank, kDlsDrumBank);
    EXPECT_EQ(dls.instruments[2].program, 16u);
    EXPECT_EQ(stats.melodicInstruments, 2u);
    EXPECT_EQ(stats.drumKits, 1u);
    EXPECT_EQ(stats.skippedPresets, 3u);  // duplicate, bank 200, nothing playable
    EXPECT_EQ(stats.skippedZones, 1u);
    EXPECT_EQ(dls.waves.size(), 1u);

    // A bank with nothing playable fails.
    Sf2Builder empty;
    int e = empty.sample("bad", ramp(10));
    int ei = empty.instrument("I", {sf2Zone({sf2Gen(Sf2GenStartAddrsOffset, 20)}, e)});
    empty.preset("P", 0, 0, {sf2Zone({}, ei)});
    Sf2Bank bank = parse(empty);
    std::string error;
    EXPECT_FALSE(convertSf2ToDls(bank, dls, stats, error));
    EXPECT_FALSE(error.empty());
}

TEST(Sf2Convert, OverlappingZonesBecomeRegionsThatNeverOverlap) {
    // Constant samples: their level is their value.
    Sf2Builder sf;
    auto flat = [&](const char* name, int16_t value, uint16_t type = Sf2SampleMono) {
        Sf2BuilderSample s;
        s.name = name;
        s.values = std::vector<int16_t>(1000, value);
        s.sampleType = type;
        return sf.sample(s);
    };
    int a = flat("A", 1000), b = flat("B", 2000), c = flat("C", 3000), d = flat("D", 5000);
    // A and B split the keys; C lies across the split; D covers every key
    // at high velocities.
    int layered = sf.instrument("Layered", {sf2Zone({sf2Range(Sf2GenKeyRange, 0, 59)}, a),
                                            sf2Zone({sf2Range(Sf2GenKeyRange, 60, 127)}, b),
                                            sf2Zone({sf2Range(Sf2GenKeyRange, 50, 69)}, c),
                                            sf2Zone({sf2Range(Sf2GenVelRange, 100, 127)}, d)});
    sf.preset("Layered", 0, 0, {sf2Zone({}, layered)});
    int left = flat("L", 1000, Sf2SampleLeft), right = flat("R", 1000, Sf2SampleRight);
    int pair = sf.instrument("Pair", {sf2Zone({sf2Gen(Sf2GenPan, -500)}, left), sf2Zone({sf2Gen(Sf2GenPan, 500)}, right)});
    sf.preset("Pair", 1, 0, {sf2Zone({}, pair)});
    Sf2ConvertStats stats;
    DlsBankDesc dls = convert(sf, &stats);
    ASSERT_EQ(dls.instruments.size(), 2u);

    struct Expected {
        int keyLow, keyHigh, velLow, velHigh, value;
        double db;  // above the value, the power of the others sounding there
    };
    auto folded = [](std::initializer_list<double> others, double kept) {
        double sum = kept * kept;
        for (double o : others) sum += o * o;
        return 10.0 * std::log10(sum / (kept * kept));
    };
    const Expected expected[] = {
        {0, 49, 0, 99, 1000, 0.0},           {0, 49, 100, 127, 5000, folded({1000}, 5000)},
        {50, 59, 0, 99, 3000, folded({1000}, 3000)}, {50, 59, 100, 127, 5000, folded({1000, 3000}, 5000)},
        {60, 69, 0, 99, 3000, folded({2000}, 3000)}, {60, 69, 100, 127, 5000, folded({2000, 3000}, 5000)},
        {70, 127, 0, 99, 2000, 0.0},         {70, 127, 100, 127, 5000, folded({2000}, 5000)},
    };
    const auto& regions = dls.instruments[0].regions;
    ASSERT_EQ(regions.size(), std::size(expected));
    for (size_t i = 0; i < regions.size(); ++i) {
        const DlsRegionDesc& r = regions[i];
        const Expected& e = expected[i];
        EXPECT_EQ(r.keyLow, e.keyLow) << i;
        EXPECT_EQ(r.keyHigh, e.keyHigh) << i;
        EXPECT_EQ(r.velLow, e.velLow) << i;
        EXPECT_EQ(r.velHigh, e.velHigh) << i;
        EXPECT_NEAR(levelOf(dls.waves.at(r.waveIndex), std::vector<int16_t>(1000, int16_t(e.value))), e.db, kLevelStep)
            << i;
    }

    // The pair: one region in the middle, 3 dB up.
    const auto& p = dls.instruments[1].regions;
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(scaleOf(p[0].classicArticulation, kDlsDestPan), 0);
    EXPECT_NEAR(levelOf(dls.waves.at(p[0].waveIndex), std::vector<int16_t>(1000, 1000)), 3.0, kLevelStep);
    EXPECT_EQ(stats.stereoSidesDropped, 1u);
    EXPECT_EQ(stats.layersDropped, 0u);
}

TEST(Sf2Convert, EnvelopeBlocksInTheReadersUnits) {
    Sf2VolumeEnvelope env;
    env.attack = -1200;  // 500 ms
    env.hold = 0;        // 1 s: a sum of 0 would read as no time
    env.decay = 2400;    // 4 s per 100 dB
    env.sustain = 180;   // 18 dB down: half of the engine's 36 dB range
    env.release = -12000;
    std::vector<DlsConnection> r = volumeEnvelopeConnections(env, -250);
    EXPECT_EQ(scaleOf(r, kDlsDestAttackTime), -1200 * 65536);
    EXPECT_EQ(scaleOf(r, kDlsDestHoldTime), 1);
    EXPECT_EQ(scaleOf(r, kDlsDestSustainLevel), 500 * 65536);
    EXPECT_EQ(scaleOf(r, kDlsDestPan), -250 * 65536);
    // Level 125 of 255: the decay covers 130 steps of 36/254 dB in the time
    // the SoundFont takes for that many decibels.
    double decayDb = 130 * 36.0 / 254.0;
    EXPECT_EQ(scaleOf(r, kDlsDestDecayTime), int32_t(std::lround(2400 + 1200 * std::log2(decayDb / 100))) * 65536);
    double releaseDb = 130 * 36.0 / 254.0;
    EXPECT_EQ(scaleOf(r, kDlsDestReleaseTime),
              int32_t(std::lround(-12000 + 1200 * std::log2(releaseDb / 100))) * 65536);

    env.sustain = 0;
    r = volumeEnvelopeConnections(env, 0);
    EXPECT_EQ(scaleOf(r, kDlsDestSustainLevel), 1000 * 65536);
    env.sustain = 1440;
    env.attack = -32768;
    r = volumeEnvelopeConnections(env, 900);
    EXPECT_EQ(scaleOf(r, kDlsDestSustainLevel), 0);
    EXPECT_EQ(scaleOf(r, kDlsDestAttackTime), kDlsTimeZero);
    EXPECT_EQ(scaleOf(r, kDlsDestPan), 500 * 65536);
}

TEST(Sf2Convert, WrittenBankReadsBack) {
    Sf2Builder sf;
    Sf2BuilderSample a;
    a.name = "a";
    a.values = ramp(1000);
    a.loopStart = 200;
    a.loopEnd = 900;
    a.originalPitch = 57;
    a.sampleRate = 32000;
    int s = sf.sample(a);
    int i = sf.instrument("I", {sf2Zone({sf2Gen(Sf2GenSampleModes, 1), sf2Range(Sf2GenKeyRange, 30, 90),
                                         sf2Gen(Sf2GenSustainVolEnv, 90)},
                                        s)});
    sf.preset("Lead", 80, 0, {sf2Zone({}, i)});
    sf.preset("Kit", 0, 128, {sf2Zone({}, i)});
    std::unique_ptr<DlsCollection> dls = indexDlsCollection(writeDlsBank(convert(sf)));
    ASSERT_TRUE(dls);
    ASSERT_EQ(dls->instruments.size(), 2u);
    const DlsInstrument& lead = dls->instruments[0];
    EXPECT_EQ(lead.name, "Lead");
    EXPECT_EQ(lead.program, 80u);
    EXPECT_EQ(lead.bank, 0u);
    EXPECT_EQ(dls->instruments[1].bank, kDlsDrumBit);
    ASSERT_EQ(lead.regions.size(), 1u);
    const DlsRegion& r = lead.regions[0];
    EXPECT_EQ(r.keyLow, 30);
    EXPECT_EQ(r.keyHigh, 90);
    EXPECT_EQ(r.waveSample.unityNote, 57);
    ASSERT_EQ(r.waveSample.loopCount, 1u);
    EXPECT_EQ(r.waveSample.loop.start, 200u);
    EXPECT_EQ(r.waveSample.loop.length, 700u);
    // The sustain of 90 cB twice: on the classic sound's 36 dB envelope, and
    // as the DLS model states it, in the region's Level 2 articulation.
    auto sustainOf = [](const DlsArticulation& a) {
        int32_t found = -1;
        for (uint32_t k = 0; k < a.connectionCount; ++k) {
            DlsConnection c = dlsConnection(a, k);
            if (c.destination == kDlsDestSustainLevel && c.source == 0) found = c.scale;
        }
        return found;
    };
    ASSERT_TRUE(r.classicArticulation.present);
    EXPECT_FALSE(r.classicArticulation.level2);
    EXPECT_EQ(sustainOf(r.classicArticulation), 750 * 65536);  // 9 dB of 36
    ASSERT_TRUE(r.articulation.present);
    EXPECT_TRUE(r.articulation.level2);
    EXPECT_EQ(sustainOf(r.articulation), 910 * 65536);
    ASSERT_EQ(dls->waves.size(), 1u);
    EXPECT_EQ(dls->waves[0].sampleRate, 32000u);
    ASSERT_EQ(dls->waves[0].dataLength, 2000u);
    uint8_t first[4];
    ASSERT_TRUE(readDlsWaveData(*dls, dls->waves[0], nullptr, first, sizeof first));
    EXPECT_EQ(int16_t(first[2] | first[3] << 8), ramp(1000)[1]);
}

// The whole scale of the resolved connection from `source` under `control`
// into `destination`; -99999 when there is none.
double scaleIn(const Articulation& a, uint16_t source, uint16_t control, uint16_t destination) {
    for (const ArticulationConnection& c : a.connections)
        if (c.source == source && c.control == control && c.destination == destination) return c.scale / 65536.0;
    return -99999;
}

// The articulation the standard sound resolves for each region of the first
// instrument of the bank as written.
std::vector<std::shared_ptr<const Articulation>> resolvedRegions(const DlsBankDesc& desc) {
    std::vector<std::shared_ptr<const Articulation>> out;
    std::unique_ptr<DlsCollection> dls = indexDlsCollection(writeDlsBank(desc));
    EXPECT_TRUE(dls && !dls->instruments.empty());
    if (!dls || dls->instruments.empty()) return out;
    const DlsInstrument& ins = dls->instruments[0];
    for (const DlsRegion& r : ins.regions) out.push_back(resolveArticulation(ins, r, dls->waves.at(r.waveIndex), false));
    return out;
}

TEST(Sf2Convert, RegionsStateTheZonesArticulationAsDls) {
    using namespace dls;
    Sf2Builder sf;
    int s = sf.sample(loopedSine("a"));
    int i = sf.instrument(
        "I", {sf2Zone({sf2Range(Sf2GenKeyRange, 0, 59), sf2Gen(Sf2GenSampleModes, 1), sf2Gen(Sf2GenSustainVolEnv, 300),
                       sf2Gen(Sf2GenDecayVolEnv, 0), sf2Gen(Sf2GenInitialFilterFc, 5000),
                       sf2Gen(Sf2GenInitialFilterQ, 60), sf2Gen(Sf2GenExclusiveClass, 1),
                       sf2Gen(Sf2GenModLfoToVolume, -30), sf2Gen(Sf2GenFreqModLfo, -1200),
                       sf2Gen(Sf2GenReverbEffectsSend, 150)},
                      s),
              sf2Zone({sf2Range(Sf2GenKeyRange, 60, 127), sf2Gen(Sf2GenSampleModes, 1),
                       sf2Gen(Sf2GenHoldVolEnv, -1200), sf2Gen(Sf2GenKeynumToVolEnvHold, -100),
                       sf2Gen(Sf2GenSustainModEnv, 250), sf2Gen(Sf2GenModEnvToFilterFc, -3000)},
                      s)});
    // The preset's value adds to the instrument's.
    sf.preset("P", 0, 0, {sf2Zone({sf2Gen(Sf2GenInitialFilterQ, 20)}, i)});
    std::vector<std::shared_ptr<const Articulation>> regions = resolvedRegions(convert(sf));
    ASSERT_EQ(regions.size(), 2u);
    const Articulation& low = *regions[0];
    const Articulation& high = *regions[1];

    // 300 cB down is a sustain of 70 %, on an envelope of 96 dB that decays
    // in 1 s (0 timecents) and sets out after 1 ms.
    EXPECT_EQ(scaleIn(low, SrcNone, SrcNone, DstEg1Sustain), 700);
    EXPECT_EQ(scaleIn(low, SrcNone, SrcNone, DstEg1Decay), 0);
    EXPECT_EQ(scaleIn(low, SrcNone, SrcNone, DstEg1Delay), -12000);
    EXPECT_EQ(scaleIn(low, SrcNone, SrcNone, DstFilterCutoff), 5000);
    EXPECT_EQ(scaleIn(low, SrcNone, SrcNone, DstFilterQ), 80);
    EXPECT_EQ(low.keyGroup, 1);
    EXPECT_EQ(high.keyGroup, 0);
    // Velocity leaves the cutoff alone, as in the SoundFont player.
    for (const Articulation* a : {&low, &high})
        EXPECT_TRUE(std::none_of(a->connections.begin(), a->connections.end(), [](const ArticulationConnection& c) {
            return c.source == SrcVelocity && c.destination == DstFilterCutoff;
        }));
    // The LFO swings the gain 3 dB, quieter at its peak, at 4.088 Hz; the
    // vibrato keeps the SoundFont's 8.176 Hz for the modulation wheel's 50
    // cents.
    EXPECT_EQ(scaleIn(low, SrcLfo, SrcNone, DstGain), -30);
    for (const ArticulationConnection& c : low.connections) {
        if (c.source == SrcLfo || c.source == SrcVibrato) {
            EXPECT_EQ(c.sourceShape, (Shape{Curve::Linear, true, false}));
        }
    }
    EXPECT_EQ(scaleIn(low, SrcNone, SrcNone, DstLfoFrequency), -1200);
    EXPECT_EQ(scaleIn(high, SrcLfo, SrcNone, DstGain), -99999);
    EXPECT_EQ(scaleIn(high, SrcNone, SrcNone, DstVibratoFrequency), 0);
    EXPECT_EQ(scaleIn(high, SrcVibrato, SrcCc1, DstPitch), 50);
    EXPECT_EQ(scaleIn(high, SrcVibrato, SrcChannelPressure, DstPitch), 50);
    // Sends: the controllers' 20 %, and the zone's own 15 %.
    EXPECT_EQ(scaleIn(low, SrcCc91, SrcNone, DstReverb), 200);
    EXPECT_EQ(scaleIn(low, SrcCc93, SrcNone, DstChorus), 200);
    EXPECT_EQ(scaleIn(low, SrcNone, SrcNone, DstReverb), 150);
    EXPECT_EQ(scaleIn(high, SrcNone, SrcNone, DstReverb), -99999);

    // Hold 0.5 s at key 60, 100 timecents longer a key lower: the base is
    // the hold at key 0.
    EXPECT_EQ(scaleIn(high, SrcNone, SrcNone, DstEg1Hold), -1200 - 6000);
    EXPECT_EQ(scaleIn(high, SrcKeyNumber, SrcNone, DstEg1Hold), 12800);
    EXPECT_EQ(scaleIn(high, SrcNone, SrcNone, DstEg1Sustain), 1000);
    EXPECT_EQ(scaleIn(high, SrcNone, SrcNone, DstFilterCutoff), 13500);
    // The modulation envelope, 25 % down at its sustain, closes the filter.
    EXPECT_EQ(scaleIn(high, SrcNone, SrcNone, DstEg2Sustain), 750);
    EXPECT_EQ(scaleIn(high, SrcEg2, SrcNone, DstFilterCutoff), -3000);
    EXPECT_EQ(scaleIn(low, SrcEg2, SrcNone, DstFilterCutoff), -99999);
}

TEST(Sf2Convert, TuningInWaveSampleKeepsTheSamplesOwnRateAndValues) {
    Sf2Builder sf;
    Sf2BuilderSample a;
    a.name = "a";
    a.values = ramp(1000);
    a.sampleRate = 32000;
    a.originalPitch = 62;
    a.pitchCorrection = -20;
    int s = sf.sample(a);
    int i = sf.instrument("I", {sf2Zone({sf2Gen(Sf2GenFineTune, 37), sf2Gen(Sf2GenCoarseTune, 2),
                                         sf2Gen(Sf2GenInitialAttenuation, 100), sf2Gen(Sf2GenScaleTuning, 50)},
                                        s)});
    sf.preset("P", 0, 0, {sf2Zone({}, i)});
    Sf2Bank bank = parse(sf);
    DlsBankDesc dls;
    Sf2ConvertStats stats;
    std::string error;
    Sf2ConvertOptions options;
    options.gainDb = -9.0;
    options.tuningInWaveSample = true;
    ASSERT_TRUE(convertSf2ToDls(bank, dls, stats, error, options)) << error;

    // One region for all keys, its wave the sample as recorded: no silent
    // tail, no loop.
    ASSERT_EQ(dls.instruments.at(0).regions.size(), 1u);
    const DlsRegionDesc& r = dls.instruments[0].regions[0];
    ASSERT_EQ(dls.waves.size(), 1u);
    EXPECT_EQ(dls.waves[0].sampleRate, 32000u);
    EXPECT_EQ(waveValues(dls.waves[0]), ramp(1000));
    EXPECT_TRUE(r.waveSample.loops.empty());
    // Coarse tune in the unity note, the cents in the fine tune, and the
    // level (-9 dB of bank gain, 0.4 x 10 dB of attenuation) in the gain.
    EXPECT_EQ(r.waveSample.unityNote, 60);
    EXPECT_EQ(r.waveSample.fineTune, 17);
    EXPECT_EQ(r.waveSample.attenuation, -130 * 65536);
    std::vector<std::shared_ptr<const Articulation>> resolved = resolvedRegions(dls);
    ASSERT_EQ(resolved.size(), 1u);
    EXPECT_EQ(resolved[0]->attenuationCb, 130);
    EXPECT_EQ(resolved[0]->fineTuneCents, 17);
    // 50 cents a key, and key 62 where the unity note and fine tune put it:
    // 50 x 62 + 3100 - 100 x 60 + 17 = 217 cents over the recording.
    EXPECT_EQ(scaleIn(*resolved[0], dls::SrcKeyNumber, dls::SrcNone, dls::DstPitch), 50 * 128);
    EXPECT_EQ(scaleIn(*resolved[0], dls::SrcNone, dls::SrcNone, dls::DstPitch), 3100);
}

// What a listener hears of each mapping, through the engine.

TEST(Sf2ConvertSound, TuningBeyondWholeSemitonesIsInTheWavesRate) {
    Sf2Builder sf;
    Sf2BuilderSample a = loopedSine("a");  // 441 Hz, recorded at key 60
    a.pitchCorrection = -20;
    int s = sf.sample(a);
    int i = sf.instrument("I", {sf2Zone({sf2Gen(Sf2GenSampleModes, 1), sf2Gen(Sf2GenFineTune, 37),
                                         sf2Gen(Sf2GenCoarseTune, 1)},
                                        s)});
    sf.preset("P", 0, 0, {sf2Zone({sf2Gen(Sf2GenFineTune, 10)}, i)});
    DlsBankDesc dls = convert(sf);
    // -20 + 37 + 10 + 100 cents above the recording; nothing is left in the
    // header for a reader that does apply its fine tune.
    EXPECT_EQ(dls.instruments.at(0).regions.at(0).waveSample.fineTune, 0);
    std::vector<int16_t> pcm = render(dls, {{0, 60, 0, 500}, {0, 67, 500, 1000}}, 1000);
    EXPECT_NEAR(centsBetween(frequencyOf(pcm, 100, 450), 441.0), 127.0, 1.0);
    EXPECT_NEAR(centsBetween(frequencyOf(pcm, 600, 950), 441.0), 827.0, 1.0);
}

TEST(Sf2ConvertSound, AttenuationAndBankGainAreInTheSampleValues) {
    Sf2Builder sf;
    int s = sf.sample(loopedSine("a"));
    int full = sf.instrument("Full", {sf2Zone({sf2Gen(Sf2GenSampleModes, 1)}, s)});
    int soft = sf.instrument("Soft", {sf2Zone({sf2Gen(Sf2GenSampleModes, 1), sf2Gen(Sf2GenInitialAttenuation, 100)}, s)});
    sf.preset("Full", 0, 0, {sf2Zone({}, full)});
    sf.preset("Soft", 1, 0, {sf2Zone({sf2Gen(Sf2GenInitialAttenuation, 50)}, soft)});
    const std::vector<TestNote> notes{{0, 60, 0, 500}, {1, 60, 500, 1000}};
    DlsBankDesc dls = convert(sf);
    EXPECT_EQ(dls.instruments.at(1).regions.at(0).waveSample.attenuation, 0);
    // 150 cB nominal sound as 6 dB.
    std::vector<int16_t> pcm = render(dls, notes, 1000);
    EXPECT_NEAR(dbOf(powerOf(pcm, 600, 950) / powerOf(pcm, 100, 450)), -6.0, 0.1);
    std::vector<int16_t> quieter = render(convert(sf, nullptr, -4.5), notes, 1000);
    EXPECT_NEAR(dbOf(powerOf(quieter, 100, 450) / powerOf(pcm, 100, 450)), -4.5, 0.1);
    EXPECT_NEAR(dbOf(powerOf(quieter, 600, 950) / powerOf(pcm, 100, 450)), -10.5, 0.1);
}

TEST(Sf2ConvertSound, StereoSidesAndLayersSoundWithTheirSummedPower) {
    Sf2Builder sf;
    Sf2BuilderSample left = loopedSine("L"), right = loopedSine("R");
    left.sampleType = Sf2SampleLeft;
    left.sampleLink = 1;
    right.sampleType = Sf2SampleRight;
    int l = sf.sample(left), r = sf.sample(right), m = sf.sample(loopedSine("M"));
    int high = sf.sample(loopedSine("H", 50));  // 882 Hz
    int swell = sf.sample(loopedSine("S", 100, 20000));
    auto looped = [](std::vector<test::Sf2BuilderGen> gens) {
        gens.push_back(sf2Gen(Sf2GenSampleModes, 1));
        return gens;
    };
    int mono = sf.instrument("Mono", {sf2Zone(looped({}), m)});
    int pair = sf.instrument("Pair", {sf2Zone(looped({sf2Gen(Sf2GenPan, -500)}), l),
                                      sf2Zone(looped({sf2Gen(Sf2GenPan, 500)}), r)});
    // A layer 6 dB down listed first, and one 2 dB up that takes 4 s to
    // rise: the one loudest over the first second is played.
    int layers = sf.instrument("Layers", {sf2Zone(looped({sf2Gen(Sf2GenInitialAttenuation, 150)}), m),
                                          sf2Zone(looped({}), high),
                                          sf2Zone(looped({sf2Gen(Sf2GenAttackVolEnv, 2400)}), swell)});
    sf.preset("Mono", 0, 0, {sf2Zone({}, mono)});
    sf.preset("Pair", 1, 0, {sf2Zone({}, pair)});
    sf.preset("Layers", 2, 0, {sf2Zone({}, layers)});
    std::vector<int16_t> pcm = render(convert(sf), {{0, 60, 0, 500}, {1, 60, 500, 1000}, {2, 60, 1000, 1500}}, 1500);
    const double monoPower = powerOf(pcm, 100, 450);
    EXPECT_NEAR(dbOf(powerOf(pcm, 600, 950) / monoPower), 3.0, 0.15);
    EXPECT_NEAR(powerOf(pcm, 600, 950, 0) / powerOf(pcm, 600, 950, 1), 1.0, 0.01);  // in the middle
    EXPECT_NEAR(frequencyOf(pcm, 1100, 1450), 882.0, 1.0);
    const double swellPower = std::pow(20000.0 / 16000.0, 2) / 48.0;  // (t / 4 s)^2 over a second
    EXPECT_NEAR(dbOf(powerOf(pcm, 1100, 1450) / monoPower), dbOf(1.0 + 0.25 + swellPower), 0.15);
}

TEST(Sf2ConvertSound, OneShotSamplesStopAtTheirRelease) {
    Sf2Builder sf;
    int ring = sf.sample("ring", sine(88200, 100));  // 2 s
    int tick = sf.sample("tick", sine(4410, 100));   // 0.1 s
    // Released over 0.2 s per 100 dB.
    int i = sf.instrument("I", {sf2Zone({sf2Range(Sf2GenKeyRange, 0, 63), sf2Gen(Sf2GenReleaseVolEnv, -2786)}, ring),
                                sf2Zone({sf2Range(Sf2GenKeyRange, 64, 127), sf2Gen(Sf2GenReleaseVolEnv, -2786)}, tick)});
    sf.preset("P", 0, 0, {sf2Zone({}, i)});
    DlsBankDesc dls = convert(sf);
    std::vector<int16_t> held = render(dls, {{0, 60, 0, 300}}, 2500);
    EXPECT_GT(powerOf(held, 200, 300), 0.5 * powerOf(held, 50, 150));
    EXPECT_GT(silentAfterMs(held), 300.0);
    EXPECT_LT(silentAfterMs(held), 400.0);
    // A sample shorter than the note still ends where it ends.
    std::vector<int16_t> shortOne = render(dls, {{0, 64, 0, 1000}}, 1500);
    EXPECT_NEAR(silentAfterMs(shortOne), 100.0 * std::exp2(-4.0 / 12.0), 10.0);
}

TEST(Sf2ConvertSound, ScaleTuningSetsTheKeySpacing) {
    Sf2Builder sf;
    int s = sf.sample(loopedSine("a"));  // 441 Hz, recorded at key 60
    int half = sf.instrument("Half", {sf2Zone({sf2Gen(Sf2GenSampleModes, 1), sf2Gen(Sf2GenScaleTuning, 50)}, s)});
    int fixed = sf.instrument(
        "Fixed", {sf2Zone({sf2Gen(Sf2GenSampleModes, 1), sf2Gen(Sf2GenScaleTuning, 0), sf2Gen(Sf2GenFineTune, 30)}, s)});
    sf.preset("Half", 0, 0, {sf2Zone({}, half)});
    sf.preset("Fixed", 1, 0, {sf2Zone({}, fixed)});
    Sf2ConvertStats stats;
    DlsBankDesc dls = convert(sf, &stats);
    const std::vector<TestNote> notes{{0, 60, 0, 400},     {0, 61, 400, 800},   {0, 72, 800, 1200},
                                      {0, 35, 1200, 1600}, {1, 40, 1600, 2000}, {1, 90, 2000, 2400}};
    const double cents[] = {0, 50, 600, -1250, 30, 30};
    std::vector<int16_t> pcm = render(dls, notes, 2400);
    for (size_t n = 0; n < notes.size(); ++n)
        EXPECT_NEAR(centsBetween(frequencyOf(pcm, notes[n].on + 100, notes[n].off - 20), 441.0), cents[n], 1.0)
            << "key " << notes[n].key;
    EXPECT_EQ(stats.scaleTunedZones, 2u);
    // Keys that differ by whole semitones share a wave: two rates for the
    // half-spaced keys, one for the fixed pitch.
    EXPECT_EQ(dls.waves.size(), 3u);
}

std::string tempPath(const char* name) { return std::string(TZ_BINARY_DIR) + "/" + name; }

TEST(Sf2Command, ConvertsAndReportsErrors) {
    Sf2Builder sf;
    int s = sf.sample("a", ramp(100));
    int i = sf.instrument("I", {sf2Zone({}, s)});
    sf.preset("P", 0, 0, {sf2Zone({}, i)});
    std::string in = tempPath("sf2_command_test.sf2"), out = tempPath("sf2_command_test.dls");
    std::vector<uint8_t> bytes = sf.bytes();
    ASSERT_TRUE(test::writeFileBytes(in, bytes));
    std::remove(out.c_str());

    auto run = [](std::vector<std::string> args) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        return runBankCommand(int(argv.size()), argv.data());
    };
    EXPECT_EQ(run({"bank", in, "-o", out, "--quiet"}), 0);
    std::vector<uint8_t> written = test::readFileBytes(out);
    ASSERT_GE(written.size(), 12u);
    EXPECT_EQ(std::string(written.begin(), written.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(written.begin() + 8, written.begin() + 12), "DLS ");

    EXPECT_EQ(run({"bank", in, "-o", out, "--gain", "-6.5", "--quiet"}), 0);
    EXPECT_EQ(run({"bank", in, "-o", out, "--tuning-in-wsmp", "--quiet"}), 0);
    std::unique_ptr<DlsCollection> raw = indexDlsCollection(test::readFileBytes(out));
    ASSERT_TRUE(raw && raw->waves.size() == 1u);
    EXPECT_EQ(raw->waves[0].dataLength, 200u);  // the sample's values, no silent tail
    EXPECT_EQ(run({"bank", in}), 2);
    EXPECT_EQ(run({"bank", in, "-o", out, "--loud"}), 2);
    EXPECT_EQ(run({"bank", in, "-o", out, "--gain", "loud"}), 2);
    EXPECT_EQ(run({"bank", in, "-o", out, "--gain", "99"}), 2);
    EXPECT_EQ(run({"bank", in, "-o", out, "--gain"}), 2);
    EXPECT_EQ(run({"bank", tempPath("no_such_bank.sf2"), "-o", out, "--quiet"}), 1);
    std::remove(in.c_str());
    std::remove(out.c_str());
}

TEST(Sf2Convert, DebianTimGM6mb) {
    const char* path = test::kTimGM6mbSoundFont;
    if (std::FILE* f = std::fopen(path, "rb"))
        std::fclose(f);
    else
        TZ_SKIP_WITHOUT_DATA(path << " is not installed");
    auto started = std::chrono::steady_clock::now();
    Sf2Bank bank;
    std::string error;
    ASSERT_TRUE(loadSf2File(path, bank, error)) << error;
    DlsBankDesc desc;
    Sf2ConvertStats stats;
    ASSERT_TRUE(convertSf2ToDls(bank, desc, stats, error)) << error;
    std::vector<uint8_t> bytes = writeDlsBank(desc);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("TimGM6mb: %u melodic, %u kits, %u regions, %u waves, %zu bytes, %.2f s\n", stats.melodicInstruments,
                stats.drumKits, stats.regions, stats.waves, bytes.size(), seconds);
    EXPECT_GE(stats.melodicInstruments, 128u);
    EXPECT_GE(stats.drumKits, 1u);
    for (const DlsWaveDesc& w : desc.waves) EXPECT_LE(w.data.size() / 2, kMaxWaveValues);

    std::unique_ptr<DlsCollection> dls = indexDlsCollection(bytes);
    ASSERT_TRUE(dls);
    EXPECT_EQ(dls->instruments.size(), desc.instruments.size());
    EXPECT_EQ(dls->waves.size(), desc.waves.size());
    // Every General MIDI program is there in bank 0.
    std::vector<bool> programs(128);
    for (const DlsInstrument& ins : dls->instruments)
        if (ins.bank == 0 && ins.program < 128) programs[ins.program] = true;
    EXPECT_EQ(std::count(programs.begin(), programs.end(), true), 128);
}

}  // namespace
}  // namespace tz

namespace tz {
namespace {

// The scaling of sample points into wave values is std::round cut to 16
// bits, halves away from zero, whatever the scale and the count.
TEST(Sf2Convert, ScaledPointsRoundHalvesAwayFromZeroAndCutTo16Bits) {
    std::vector<int16_t> points;
    for (int v = -32768; v <= 32767; v += 251) points.push_back(int16_t(v));
    for (int v : {-32768, -3, -1, 0, 1, 3, 32767}) points.push_back(int16_t(v));
    std::vector<uint8_t> bytes = pcm16Bytes(points);
    for (double scale : {0.5, 1.5, 0.2511886431509580, 1.0, 2.0, 3.98107170553497, -0.5, 70000.0}) {
        for (size_t count : {points.size(), points.size() - 3, size_t(5)}) {
            std::vector<int16_t> out(count);
            const bool saturated = sf2ScalePoints(bytes.data(), count, scale, out.data());
            bool expectSaturated = false;
            for (size_t i = 0; i < count; ++i) {
                const double v = std::round(points[i] * scale);
                expectSaturated = expectSaturated || v > 32767.0 || v < -32768.0;
                ASSERT_EQ(out[i], int16_t(std::clamp(v, -32768.0, 32767.0))) << scale << " at " << i;
            }
            EXPECT_EQ(saturated, expectSaturated) << scale;
        }
    }
}

}  // namespace
}  // namespace tz
