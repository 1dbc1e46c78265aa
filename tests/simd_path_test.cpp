// Every SIMD path renders the same bytes as the plain loops: the dense song,
// patch voices with vibrato, tremolo and ping-pong loops on full-scale noise,
// and real songs with a bank made from TimGM6mb; in stereo and in mono.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "instruments/config.h"
#include "instruments/dls_collection.h"
#include "instruments/gus_patch.h"
#include "platform/input_stream.h"
#include "synth/output_convert.h"
#include "synth/render.h"
#include "synth/simd_path.h"
#include "tests/support/player.h"
#include "tests/support/dense_song.h"
#include "tests/support/files.h"
#include "tests/support/patch_builder.h"
#include "tests/support/song_fixture.h"
#include "tests/support/test_bank.h"
#include "tests/support/test_data.h"
#include "soundfont/dls_writer.h"
#include "soundfont/sf2_reader.h"
#include "soundfont/sf2_to_dls.h"

namespace tz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes renderToEnd(MidiSong& song) {
    Bytes out, block(kBlockBytes);
    for (;;) {
        const int32_t n = renderBlock(song, block.data());
        if (n <= 0) return out;
        out.insert(out.end(), block.begin(), block.begin() + n);
    }
}

Bytes renderMidi(const Bytes& midi, const DlsCollection& bank, uint8_t channels,
                 SoundProfile sound = SoundProfile::Classic) {
    SongOptions options;
    options.format.channels = channels;
    options.engine.sound = sound;
    std::unique_ptr<MidiSong> song = test::assembleSong(options, midi, &bank);
    if (!song) return {};
    return renderToEnd(*song);
}

std::unique_ptr<DlsCollection> loadBank(const Bytes& bytes) {
    return indexDlsCollection(bytes);
}

class SynthMixPaths : public ::testing::Test {
protected:
    void TearDown() override { forceSimdPath(saved_); }

    // Renders with the plain loops, then with every other path this machine
    // runs, and compares the bytes.
    void expectSameOnEveryPath(const std::string& what, const std::function<Bytes()>& render) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(forceSimdPath(SimdPath::Plain));
        const Bytes reference = render();
        ASSERT_FALSE(reference.empty());
        for (SimdPath path : {SimdPath::Baseline, SimdPath::Avx2}) {
            if (!forceSimdPath(path)) continue;
            const Bytes bytes = render();
            const auto diverge = std::mismatch(reference.begin(), reference.end(), bytes.begin(), bytes.end());
            EXPECT_TRUE(bytes == reference) << simdPathName(path) << ": " << bytes.size() << " bytes against "
                                            << reference.size() << ", first difference at byte "
                                            << (diverge.first - reference.begin());
        }
    }

    SimdPath saved_ = activeSimdPath();
};

// Renders seldom reach the sums far past full scale that the wide loops
// treat apart (beyond 32 bits); here every kind of sum meets every lane.
TEST_F(SynthMixPaths, Signed16ConversionOfSumsAtAndBeyondFullScale) {
    const int64_t edges[] = {0, 1, -1, 8191, 8192, -8192, -8193, (1 << 28) - 1, 1 << 28, -(1 << 28),
                             -(1 << 28) - 1, INT32_MAX, INT32_MIN, int64_t(INT32_MAX) + 1, int64_t(INT32_MIN) - 1,
                             int64_t(1) << 32, -(int64_t(1) << 32), (int64_t(1) << 32) + 5, INT64_MAX, INT64_MIN};
    std::vector<int64_t> mix;
    std::mt19937_64 rng(11);
    for (int i = 0; i < 2000; ++i) {
        const int64_t edge = edges[rng() % std::size(edges)];
        const int64_t near = int64_t(uint64_t(edge) + rng() % 5 - 2);  // wraps at the int64 ends
        mix.push_back(i % 3 == 0 ? edge : i % 3 == 1 ? int64_t(rng()) >> (rng() % 64) : near);
    }
    expectSameOnEveryPath("sums", [&] {
        Bytes out(2 * mix.size() + 2, 0xEE);
        convertSigned16(out.data(), mix.data(), int32_t(mix.size() - 3));  // a count that leaves a tail
        return out;
    });
}

TEST_F(SynthMixPaths, DenseSong) {
    const std::unique_ptr<DlsCollection> bank = loadBank(test::smallGmBank());
    ASSERT_TRUE(bank);
    const Bytes midi = test::denseSong();
    for (uint8_t channels : {2, 1})
        expectSameOnEveryPath("channels " + std::to_string(channels),
                              [&] { return renderMidi(midi, *bank, channels); });
    expectSameOnEveryPath("standard", [&] { return renderMidi(midi, *bank, 2, SoundProfile::Standard); });
}

// Full-scale noise, so that any slip in a product or a sum shows.
std::vector<int16_t> noise(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int16_t> values(count);
    for (int16_t& v : values) v = int16_t(rng());
    values[0] = -32768;
    values[1] = 32767;
    return values;
}

// Five patches, one per program: a forward loop ending on the data's end
// with vibrato and tremolo; a ping-pong loop with fast vibrato, run backwards
// half the time; a sample without loop, with vibrato; a ping-pong loop two
// values long, shorter than most steps; a fixed-note sample, converted to the
// output rate and handed out in place.
std::vector<test::PatchSpec> patchSpecs() {
    std::vector<test::PatchSpec> specs(5);
    test::PatchSampleSpec forward = test::patchSample16(noise(3000, 1));
    forward.sampleRate = 22050;
    forward.loopStart = 2 * 1000;
    forward.loopEnd = 2 * 3000;
    forward.modes = 0x01 | 0x04 | 0x20 | 0x40;
    forward.vibratoSweep = 5, forward.vibratoRate = 10, forward.vibratoDepth = 30;
    forward.tremoloSweep = 5, forward.tremoloRate = 10, forward.tremoloDepth = 20;
    specs[0].samples = {forward};

    test::PatchSampleSpec pingPong = test::patchSample16(noise(2000, 2));
    pingPong.loopStart = 2 * 500;
    pingPong.loopEnd = 2 * 1500;
    pingPong.fractions = 0x73;
    pingPong.modes = 0x01 | 0x04 | 0x08 | 0x20 | 0x40;
    pingPong.vibratoRate = 40, pingPong.vibratoDepth = 80;
    pingPong.tremoloRate = 30, pingPong.tremoloDepth = 60;
    specs[1].samples = {pingPong};

    test::PatchSampleSpec once = test::patchSample16(noise(20000, 3));
    once.sampleRate = 32000;
    once.modes = 0x01;
    once.vibratoRate = 20, once.vibratoDepth = 50;
    specs[2].samples = {once};

    test::PatchSampleSpec tiny = test::patchSample16(noise(64, 4));
    tiny.loopStart = 2 * 60;
    tiny.loopEnd = 2 * 62;
    tiny.modes = 0x01 | 0x04 | 0x08 | 0x20 | 0x40;
    specs[3].samples = {tiny};

    test::PatchSampleSpec fixed = test::patchSample16(noise(5000, 5));
    fixed.modes = 0x01;
    specs[4].samples = {fixed};
    return specs;
}

// Notes from far below to far above the roots (steps from a small fraction
// of a value to many values a frame) on five channels panned across the
// field, with bends, releases, notes struck again while they sound (the old
// voice fades) and an all-sounds-off.
std::vector<MidiEvent> patchEvents() {
    using test::event;
    std::vector<MidiEvent> events{event(0, 0, EventOpcode::None)};
    const uint8_t pans[] = {0, 30, 64, 100, 127};
    for (uint8_t c = 0; c < 5; ++c) {
        events.push_back(event(0, c, EventOpcode::ProgramChange, c));
        events.push_back(event(0, c, EventOpcode::Panning, pans[c]));
        events.push_back(event(150000, c, EventOpcode::Panning, pans[4 - c]));
    }
    std::mt19937 rng(7);
    for (int32_t t = 100; t < 300000; t += 700 + int32_t(rng() % 3000)) {
        const uint8_t c = uint8_t(rng() % 5);
        const uint8_t note = uint8_t(12 + rng() % 108);
        events.push_back(event(t, c, EventOpcode::NoteOn, note, uint8_t(1 + rng() % 127)));
        events.push_back(event(t + 500 + int32_t(rng() % 30000), c, EventOpcode::NoteOff, note));
        if (rng() % 4 == 0)
            events.push_back(event(t + int32_t(rng() % 5000), c, EventOpcode::PitchBend, 0, uint8_t(rng() % 128)));
        if (rng() % 8 == 0) events.push_back(event(t + 300, c, EventOpcode::NoteOn, note, 100));
    }
    events.push_back(event(200000, 1, EventOpcode::AllSoundsOff));
    events.push_back(event(330000, 0, EventOpcode::EndOfSong));
    std::stable_sort(events.begin(), events.end(),
                     [](const MidiEvent& a, const MidiEvent& b) { return a.time < b.time; });
    return events;
}

TEST_F(SynthMixPaths, PatchVoicesWithVibratoTremoloAndPingPongLoops) {
    const fs::path dir = fs::path(::testing::TempDir()) / ("simd_paths_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::vector<test::PatchSpec> specs = patchSpecs();
    for (size_t i = 0; i < specs.size(); ++i)
        ASSERT_TRUE(test::writePatch(dir / ("p" + std::to_string(i) + ".pat"), specs[i]));

    for (uint8_t channels : {2, 1}) {
        expectSameOnEveryPath("channels " + std::to_string(channels), [&] {
            auto song = test::makeSong(SampleFormat::kSigned16, channels);
            for (int i = 0; i < 5; ++i) {
                const std::string path = (dir / ("p" + std::to_string(i) + ".pat")).string();
                std::unique_ptr<Instrument> instrument =
                    loadPatchInstrument(*song, {}, path, -1, 100, i == 4 ? 60 : -1, 0, 0, 0);
                if (!instrument) return Bytes{};
                test::putInstrument(*song, false, 0, i, std::move(instrument->samples));
            }
            song->events = patchEvents();
            startSong(*song);
            return renderToEnd(*song);
        });
    }
    fs::remove_all(dir);
}

TEST_F(SynthMixPaths, RealSongs) {
    const char* soundFont = test::kTimGM6mbSoundFont;
    const fs::path songs = test::kOpenMsxSongDir;
    if (!fs::exists(soundFont) || !fs::exists(songs)) TZ_SKIP_WITHOUT_DATA("songs or SoundFont not installed");
    Sf2Bank sf2;
    DlsBankDesc desc;
    Sf2ConvertStats stats;
    std::string error;
    ASSERT_TRUE(loadSf2File(soundFont, sf2, error)) << error;
    ASSERT_TRUE(convertSf2ToDls(sf2, desc, stats, error)) << error;
    const std::unique_ptr<DlsCollection> bank = loadBank(writeDlsBank(desc));
    ASSERT_TRUE(bank);
    // Three of the densest songs.
    for (const char* name : {"tttheme2", "slow_neasy_redfarn", "keep_on_rolling"}) {
        const Bytes midi = test::readFileBytes(songs / (std::string(name) + ".mid"));
        ASSERT_FALSE(midi.empty()) << name;
        expectSameOnEveryPath(name, [&] { return renderMidi(midi, *bank, 2); });
    }
    // The standard sound: its filters, envelopes, LFOs, reverb and chorus.
    const Bytes midi = test::readFileBytes(songs / "tttheme2.mid");
    expectSameOnEveryPath("tttheme2, standard", [&] { return renderMidi(midi, *bank, 2, SoundProfile::Standard); });
}

}  // namespace
}  // namespace tz
