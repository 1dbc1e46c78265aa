#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "instruments/config.h"
#include "instruments/gus_patch.h"
#include "instruments/patch_path.h"
#include "records/midi_song.h"
#include "tests/support/patch_builder.h"

namespace tz {
namespace {

namespace fs = std::filesystem;
using test::PatchSampleSpec;
using test::PatchSpec;
using test::patchSample16;
using test::patchSample8;

// A temp directory on the patch search path for the duration of a test.
class GusPatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) /
               ("gus_patch_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        searchPath_ = {dir_.string()};
        song_ = std::make_unique<MidiSong>();
        song_->outputRate = 44100;
        song_->controlRatio = 44;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void write(const std::string& name, const PatchSpec& spec) {
        ASSERT_TRUE(test::writePatch(dir_ / name, spec));
    }
    std::unique_ptr<Instrument> load(const std::string& name, int32_t panning = -1, int32_t amplification = 100,
                                     int32_t fixedNote = -1, int32_t stripLoop = 0, int32_t stripEnvelope = 0,
                                     int32_t stripTail = 0) {
        return loadPatchInstrument(*song_, searchPath_, name, panning, amplification, fixedNote, stripLoop, stripEnvelope,
                                   stripTail);
    }
    // Writes a one-sample patch and loads it with the given arguments.
    std::unique_ptr<Instrument> loadOne(const PatchSampleSpec& sample, int32_t panning = -1,
                                        int32_t amplification = 100, int32_t fixedNote = -1,
                                        int32_t stripLoop = 0, int32_t stripEnvelope = 0, int32_t stripTail = 0) {
        PatchSpec spec;
        spec.samples = {sample};
        write("one.pat", spec);
        return load("one.pat", panning, amplification, fixedNote, stripLoop, stripEnvelope, stripTail);
    }
    static std::vector<int16_t> values(const Sample& s, int32_t extra = 0) {
        return std::vector<int16_t>(s.data.get(), s.data.get() + (s.dataLength >> kFractionBits) + extra);
    }

    fs::path dir_;
    PatchSearchPath searchPath_;
    std::unique_ptr<MidiSong> song_;
};

TEST_F(GusPatchTest, Loads16BitSignedSampleWithItsFields) {
    PatchSampleSpec s = patchSample16({100, -200, 300, 32767, -32768});
    s.loopStart = 2;
    s.loopEnd = 8;
    s.fractions = 0x5A;
    s.sampleRate = 22050;
    s.balance = 3;
    s.modes = 0x01 | 0x04 | 0x40;
    auto inst = loadOne(s);
    ASSERT_TRUE(inst);
    ASSERT_EQ(inst->sampleCount(), 1);
    const Sample& x = inst->samples[0];
    EXPECT_EQ(values(x, kGuardValues), (std::vector<int16_t>{100, -200, 300, 32767, -32768, -32768, -32768}));
    EXPECT_EQ(x.dataLength, 5 << 12);
    EXPECT_EQ(x.loopStart, (1 << 12) | (0xA << 8));
    EXPECT_EQ(x.loopEnd, (4 << 12) | (0x5 << 8));
    EXPECT_EQ(x.sampleRate, 22050);
    EXPECT_EQ(x.lowVelocity, 0);
    EXPECT_EQ(x.highVelocity, 127);
    EXPECT_EQ(x.panning, 3 * 8 + 4);
    EXPECT_EQ(x.fixedNote, 0);
    EXPECT_EQ(x.modes, 0x01 | 0x04 | 0x20 | 0x40);  // looping brings sustain
    EXPECT_FLOAT_EQ(x.volume, 1.0f);

    // Explicit panning and fixed note take their low bits.
    inst = load("one.pat", 0x80 | 100, 100, 0x100 | 60, 0, 0, 0);
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->samples[0].panning, 100);
    EXPECT_EQ(inst->samples[0].fixedNote, 60);
    // Balance above 15 wraps within seven bits.
    s.balance = 15;
    EXPECT_EQ(loadOne(s)->samples[0].panning, 124);
}

TEST_F(GusPatchTest, Converts8BitSignedAndUnsignedData) {
    PatchSampleSpec s = patchSample8({0x80, 0xFF, 0x00, 0x7F});
    s.loopStart = 1;
    s.loopEnd = 3;
    auto inst = loadOne(s);
    ASSERT_TRUE(inst);
    const Sample& x = inst->samples[0];
    EXPECT_EQ(values(x, kGuardValues), (std::vector<int16_t>{-32768, -256, 0, 32512, 32512, 32512}));
    EXPECT_EQ(x.dataLength, 4 << 12);
    EXPECT_EQ(x.loopStart, 1 << 12);
    EXPECT_EQ(x.loopEnd, 3 << 12);

    s.modes = 0x02;  // unsigned
    inst = loadOne(s);
    ASSERT_TRUE(inst);
    EXPECT_EQ(values(inst->samples[0]), (std::vector<int16_t>{0, 32512, -32768, -256}));
    EXPECT_EQ(inst->samples[0].modes, 0x02);  // the file's bits stay

    PatchSampleSpec u = patchSample16({0, 0x7FFF, -0x8000});
    u.modes |= 0x02;
    inst = loadOne(u);
    ASSERT_TRUE(inst);
    EXPECT_EQ(values(inst->samples[0]), (std::vector<int16_t>{-32768, -1, 0}));
}

TEST_F(GusPatchTest, ReversedSampleIsTurnedAroundAndLoops) {
    PatchSampleSpec s = patchSample16({1, 2, 3, 4, 5});
    s.loopStart = 2;  // values 1..2
    s.loopEnd = 6;
    s.modes |= 0x10;
    auto inst = loadOne(s);
    ASSERT_TRUE(inst);
    const Sample& x = inst->samples[0];
    EXPECT_EQ(values(x, kGuardValues), (std::vector<int16_t>{5, 4, 3, 2, 1, 1, 1}));
    EXPECT_EQ(x.loopStart, 2 << 12);
    EXPECT_EQ(x.loopEnd, 4 << 12);
    EXPECT_EQ(x.modes & (0x10 | 0x04), 0x04);

    // Stripping the loop also drops the reverse bit: the data stay as stored.
    inst = loadOne(s, -1, 100, -1, 1);
    ASSERT_TRUE(inst);
    EXPECT_EQ(values(inst->samples[0]), (std::vector<int16_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(inst->samples[0].modes, 0x01);
}

TEST_F(GusPatchTest, VolumeFromAmplificationOrPeak) {
    auto volumeOf = [&](std::vector<int16_t> v, int32_t amplification) {
        auto inst = loadOne(patchSample16(v), -1, amplification);
        return inst ? inst->samples[0].volume : -1.0f;
    };
    EXPECT_FLOAT_EQ(volumeOf({1, 2}, 150), 1.5f);
    EXPECT_FLOAT_EQ(volumeOf({1, 2}, 0), 0.0f);
    EXPECT_FLOAT_EQ(volumeOf({100, -16384, 16000}, -1), 2.0f);
    EXPECT_FLOAT_EQ(volumeOf({100, -32768}, -1), 1.0f);
    EXPECT_FLOAT_EQ(volumeOf({0, 0, 0}, -1), 1.0f);  // silence keeps unit gain
}

TEST_F(GusPatchTest, EnvelopeBitDecisions) {
    struct Case {
        uint8_t modes;
        int32_t stripLoop;
        int32_t stripEnvelope;
        uint8_t rate0;     // 63 with the others makes all rates 63
        uint8_t offset5;
        uint8_t expected;
    };
    const Case cases[] = {
        {0x44, 0, 0, 10, 0, 0x64},     // kept as the file has it
        {0x41, 0, 0, 10, 0, 0x41},     // not looping, still kept at 0
        {0x44, 0, 1, 10, 0, 0x24},     // stripped
        {0x41, 0, -1, 10, 0, 0x01},    // no loop: sustain and envelope go
        {0x61, 0, 2, 10, 0, 0x01},     // any other value decides too
        {0x44, 0, -1, 10, 0, 0x64},    // looping, usable envelope
        {0x44, 0, -1, 63, 0, 0x24},    // all rates 63
        {0x44, 0, -1, 10, 100, 0x24},  // last offset 100
        {0x44, 0, -1, 10, 200, 0x64},  // last offset negative as a signed byte
        {0x48, 0, -1, 10, 0, 0x08},    // ping-pong without looping: no sustain
        {0x7C, 1, 0, 10, 0, 0x40},     // loop stripped, envelope kept
        {0x7C, 1, -1, 10, 0, 0x00},    // loop stripped, then no loop left
    };
    for (const Case& c : cases) {
        PatchSampleSpec s = patchSample8({1, 2, 3, 4});
        s.modes = c.modes;
        s.envelopeRates[0] = c.rate0;
        s.envelopeOffsets[5] = c.offset5;
        auto inst = loadOne(s, -1, 100, -1, c.stripLoop, c.stripEnvelope);
        ASSERT_TRUE(inst);
        EXPECT_EQ(inst->samples[0].modes, c.expected)
            << "modes " << int(c.modes) << " stripLoop " << c.stripLoop << " stripEnvelope " << c.stripEnvelope;
    }
}

TEST_F(GusPatchTest, EnvelopeRatesAndTargetsFollowTheSongRates) {
    PatchSampleSpec s = patchSample8({1, 2});
    const uint8_t rates[6] = {0xFF, 0x3F, 0x85, 0x00, 0x40, 0xC1};
    const uint8_t offsets[6] = {255, 128, 1, 0, 7, 250};
    std::copy(rates, rates + 6, s.envelopeRates);
    std::copy(offsets, offsets + 6, s.envelopeOffsets);
    auto inst = loadOne(s);
    ASSERT_TRUE(inst);
    const Sample& x = inst->samples[0];
    EXPECT_EQ(x.envelopeRate[0], 2838528);
    EXPECT_EQ(x.envelopeRate[1], 1453326336);
    EXPECT_EQ(x.envelopeRate[2], 40 * 44 << 10);
    EXPECT_EQ(x.envelopeRate[3], 0);
    EXPECT_EQ(x.envelopeRate[4], 0);
    EXPECT_EQ(x.envelopeRate[5], 44 << 10);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(x.envelopeTarget[i], int32_t(uint32_t(offsets[i]) << 22));

    // At 22050 Hz the per-block change doubles per frame: 5 << 3 = 40 -> 80.
    song_->outputRate = 22050;
    song_->controlRatio = 22;
    inst = load("one.pat");
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->samples[0].envelopeRate[2], 80 * 22 << 10);
}

TEST_F(GusPatchTest, TremoloAndVibratoSteps) {
    PatchSampleSpec s = patchSample8({1, 2});
    s.tremoloSweep = 5;
    s.tremoloRate = 10;
    s.tremoloDepth = 20;
    s.vibratoSweep = 5;
    s.vibratoRate = 10;
    s.vibratoDepth = 30;
    auto inst = loadOne(s);
    ASSERT_TRUE(inst);
    const Sample& x = inst->samples[0];
    EXPECT_EQ(x.tremoloSweepStep, 496);  // 44 * 2490368 / (5 * 44100)
    EXPECT_EQ(x.tremoloPhaseStep, 8);    // (440 << 15) / (44100 * 38)
    EXPECT_EQ(x.tremoloDepth, 20);
    EXPECT_EQ(x.vibratoPeriod, 2618);    // 44100 * 38 / 640
    EXPECT_EQ(x.vibratoSweepStep, 29568);  // 2618 * 38 * 65536 / 220500
    EXPECT_EQ(x.vibratoDepth, 30);

    // Where period x 38 x 65536 needs more than 24 bits, its single-precision
    // rounding shows: 890647 x 38 x 65536 becomes 2218038657024 (exactly it
    // is 2218038788096), giving 1478654 where exact arithmetic or a division
    // in single precision gives 1478655.
    song_->outputRate = 1500038;
    song_->controlRatio = 255;
    s.vibratoSweep = 1;
    s.vibratoRate = 1;
    inst = loadOne(s);
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->samples[0].vibratoPeriod, 890647);
    EXPECT_EQ(inst->samples[0].vibratoSweepStep, 1478654);
    song_->outputRate = 44100;
    song_->controlRatio = 44;
    s.vibratoSweep = 5;
    s.vibratoRate = 10;

    // No sweep: modulation without fade-in. No rate or no depth: none at all.
    s.tremoloSweep = 0;
    s.vibratoSweep = 0;
    s.tremoloRate = 0;
    s.vibratoDepth = 0;
    inst = loadOne(s);
    ASSERT_TRUE(inst);
    const Sample& y = inst->samples[0];
    EXPECT_EQ(y.tremoloSweepStep, 0);
    EXPECT_EQ(y.tremoloPhaseStep, 0);
    EXPECT_EQ(y.tremoloDepth, 0);
    EXPECT_EQ(y.vibratoPeriod, 0);
    EXPECT_EQ(y.vibratoSweepStep, 0);
    EXPECT_EQ(y.vibratoDepth, 0);
}

TEST_F(GusPatchTest, FixedNoteSamplesArePreResampled) {
    // Root A4 recorded at the output rate: at note 69 the data stay the same.
    std::vector<int16_t> ramp;
    for (int i = 0; i < 9; ++i) ramp.push_back(int16_t(i * 100));
    PatchSampleSpec s = patchSample16(ramp);
    auto inst = loadOne(s, -1, 100, 69);
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->samples[0].sampleRate, 0);
    EXPECT_EQ(inst->samples[0].dataLength, 9 << 12);
    EXPECT_EQ(values(inst->samples[0]), ramp);

    // An octave up halves the length; the frames are spread over the source.
    inst = loadOne(s, -1, 100, 81);
    ASSERT_TRUE(inst);
    const Sample& x = inst->samples[0];
    EXPECT_EQ(x.sampleRate, 0);
    EXPECT_EQ(x.dataLength, 9 << 11);
    EXPECT_EQ(x.loopStart, 0);
    EXPECT_EQ(x.loopEnd, 9 << 11);
    EXPECT_EQ(values(x, kGuardValues), (std::vector<int16_t>{0, 266, 533, 799, 799, 799}));

    // A looping sample keeps its data and rate even with a fixed note.
    s.modes |= 0x04;
    inst = loadOne(s, -1, 100, 81);
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->samples[0].sampleRate, 44100);
    EXPECT_EQ(values(inst->samples[0]), ramp);
    EXPECT_EQ(inst->samples[0].fixedNote, 81);
}

TEST_F(GusPatchTest, StripTailCutsAtTheLoopEnd) {
    PatchSampleSpec s = patchSample16({1, 2, 3, 4, 5, 6});
    s.loopStart = 2;
    s.loopEnd = 6;
    s.fractions = 0x31;
    s.modes |= 0x04;
    auto inst = loadOne(s, -1, 100, -1, 0, 0, 1);
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->samples[0].dataLength, (3 << 12) | (3 << 8));
    EXPECT_EQ(inst->samples[0].loopEnd, inst->samples[0].dataLength);

    // After pre-resampling the cut uses the moved loop end.
    s.modes = 0x01;
    inst = loadOne(s, -1, 100, 81, 0, 0, 1);
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->samples[0].sampleRate, 0);
    EXPECT_EQ(inst->samples[0].dataLength, ((3 << 12) | (3 << 8)) / 2);
}

TEST_F(GusPatchTest, SeveralSamplesLoadInFileOrder) {
    PatchSpec spec;
    spec.headerText = "GF1PATCH100";
    spec.samples = {patchSample16({1, 2}), patchSample8({3}), patchSample16({4, 5, 6})};
    spec.samples[1].balance = 0;
    write("multi.pat", spec);
    auto inst = load("multi.pat");
    ASSERT_TRUE(inst);
    ASSERT_EQ(inst->sampleCount(), 3);
    EXPECT_EQ(inst->samples[0].dataLength, 2 << 12);
    EXPECT_EQ(inst->samples[1].data[0], 3 << 8);
    EXPECT_EQ(inst->samples[1].panning, 4);
    EXPECT_EQ(values(inst->samples[2]), (std::vector<int16_t>{4, 5, 6}));

    // A count byte of 0 or a negative one gives an instrument without samples.
    spec.sampleCountByte = 0;
    write("multi.pat", spec);
    inst = load("multi.pat");
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->sampleCount(), 0);
    spec.sampleCountByte = 200;
    write("multi.pat", spec);
    inst = load("multi.pat");
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->sampleCount(), 0);
}

TEST_F(GusPatchTest, RejectsBrokenFiles) {
    PatchSpec good;
    good.samples = {patchSample16({1, 2, 3, 4})};
    auto rejects = [&](const std::vector<uint8_t>& bytes) {
        EXPECT_TRUE(test::writeFileBytes(dir_ / "bad.pat", bytes));
        return load("bad.pat") == nullptr;
    };
    std::vector<uint8_t> bytes = test::buildPatch(good);
    ASSERT_FALSE(rejects(bytes));

    EXPECT_TRUE(rejects({}));
    EXPECT_TRUE(rejects(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 238)));  // short header
    EXPECT_TRUE(rejects(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 239 + 95)));  // short sample header
    EXPECT_TRUE(rejects(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1)));  // short wave data

    auto variant = [&](auto change) {
        PatchSpec spec = good;
        change(spec);
        return rejects(test::buildPatch(spec));
    };
    EXPECT_TRUE(variant([](PatchSpec& p) { p.headerText = "GF1PATCH120"; }));
    EXPECT_TRUE(variant([](PatchSpec& p) { p.identifier = "ID#000003"; }));
    EXPECT_TRUE(variant([](PatchSpec& p) { p.instrumentCount = 2; }));
    EXPECT_TRUE(variant([](PatchSpec& p) { p.layerCount = 2; }));
    EXPECT_FALSE(variant([](PatchSpec& p) { p.instrumentCount = 0; p.layerCount = 0; }));
    EXPECT_TRUE(variant([](PatchSpec& p) { p.sampleCountByte = 2; }));  // second sample missing
    EXPECT_TRUE(variant([](PatchSpec& p) { p.samples[0].waveSize = 1 << 30; }));
    EXPECT_TRUE(variant([](PatchSpec& p) { p.samples[0].loopEnd = 10; }));
    EXPECT_TRUE(variant([](PatchSpec& p) { p.samples[0].loopStart = 6; p.samples[0].loopEnd = 4; }));
    EXPECT_TRUE(variant([](PatchSpec& p) { p.samples[0].rootFrequency = 0; }));
    EXPECT_TRUE(variant([](PatchSpec& p) { p.samples[0].sampleRate = 0; }));
    // A loop that is empty once its fractions are applied cannot be played.
    EXPECT_TRUE(variant([](PatchSpec& p) {
        p.samples[0].modes |= 0x04;
        p.samples[0].loopStart = 2;
        p.samples[0].loopEnd = 2;
    }));
    EXPECT_TRUE(variant([](PatchSpec& p) {
        p.samples[0].modes |= 0x04;
        p.samples[0].loopStart = 2;
        p.samples[0].loopEnd = 3;
        p.samples[0].fractions = 0x0F;
    }));
    // The same loop is harmless on a sample that doesn't loop.
    EXPECT_FALSE(variant([](PatchSpec& p) {
        p.samples[0].loopStart = 2;
        p.samples[0].loopEnd = 2;
    }));
    // A second broken sample fails the whole instrument.
    EXPECT_TRUE(variant([](PatchSpec& p) {
        p.samples.push_back(patchSample8({1, 2}));
        p.samples[1].loopEnd = 3;
    }));
    // No song rate to work with.
    song_->outputRate = 0;
    EXPECT_TRUE(rejects(bytes));
}

TEST_F(GusPatchTest, SampleSizeLimit) {
    // Positions carry 12 fraction bits: 2^19 values don't fit, one fewer does.
    PatchSpec spec;
    spec.samples = {patchSample8(std::vector<uint8_t>((1 << 19) - 1, 0x10))};
    write("big.pat", spec);
    auto inst = load("big.pat");
    ASSERT_TRUE(inst);
    EXPECT_EQ(inst->samples[0].dataLength, ((1 << 19) - 1) << 12);
    spec.samples = {patchSample8(std::vector<uint8_t>(1 << 19, 0x10))};
    write("big.pat", spec);
    EXPECT_FALSE(load("big.pat"));
}

TEST_F(GusPatchTest, SearchPathOrderAndNames) {
    fs::path second = dir_ / "second";
    PatchSpec a;
    a.samples = {patchSample16({111})};
    PatchSpec b;
    b.samples = {patchSample16({222})};
    ASSERT_TRUE(test::writePatch(dir_ / "piano.pat", a));
    ASSERT_TRUE(test::writePatch(second / "piano.pat", b));
    ASSERT_TRUE(test::writePatch(second / "organ.pat", b));
    auto first = [&](const std::string& name) -> int {
        auto inst = load(name);
        return inst && inst->sampleCount() == 1 ? inst->samples[0].data[0] : -1;
    };

    searchPath_ = {dir_.string(), second.string()};
    EXPECT_EQ(first("piano.pat"), 111);
    EXPECT_EQ(first("piano"), 111);  // found with the suffix added
    EXPECT_EQ(first("organ"), 222);  // later directories are searched too
    EXPECT_EQ(first("flute"), -1);

    searchPath_ = {second.string(), dir_.string()};
    EXPECT_EQ(first("piano"), 222);
    // A directory that ends in a backslash gets no second one.
    searchPath_ = {dir_.string() + "\\"};
    EXPECT_EQ(first("piano"), 111);
    // A name starting with a backslash is tried as given only.
    EXPECT_EQ(first("\\piano.pat"), -1);
    // A name that opens as given is used as is.
    EXPECT_EQ(first((second / "piano.pat").string()), 222);
    // Directories on the path don't count as patches.
    fs::create_directories(dir_ / "drum.pat");
    searchPath_ = {dir_.string(), second.string()};
    ASSERT_TRUE(test::writePatch(second / "drum.pat", b));
    EXPECT_EQ(first("drum.pat"), 222);
    // Candidates too long for a path are skipped, not cut.
    searchPath_ = {std::string(1100, 'x'), dir_.string()};
    EXPECT_EQ(first("piano"), 111);
    EXPECT_FALSE(openPatchFile(searchPath_, ""));
    EXPECT_FALSE(load(""));
}

}  // namespace
}  // namespace tz
