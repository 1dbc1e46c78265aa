// End to end: real General-MIDI songs through the tzmidi host and the plug-in
// library, with a bank converted from Debian's TimGM6mb SoundFont.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/run_command.h"
#include "tests/support/smf_builder.h"
#include "tests/support/smf_timing.h"
#include "tests/support/test_data.h"

namespace tz {
namespace {

namespace fs = std::filesystem;

const char* kSongDir = test::kOpenMsxSongDir;
const char* kSoundFont = test::kTimGM6mbSoundFont;

// The exit status of a command; its output goes to *output when given.
int run(const std::string& command, std::string* output = nullptr) {
    test::CommandResult r = test::runCommand(command);
    if (output) *output = std::move(r.output);
    return r.status;
}

std::string tzmidi() { return std::string(TZ_BINARY_DIR) + "/tzmidi"; }

fs::path scratch() {
    fs::path dir = fs::path(TZ_BINARY_DIR) / "e2e";
    fs::create_directories(dir);
    return dir;
}

// The bank the songs play with, converted once per build tree.
std::string testBank() {
    fs::path bank = fs::path(TZ_BINARY_DIR) / "test-bank" / "TimGM6mb.dls";
    if (fs::exists(bank)) return bank.string();
    fs::create_directories(bank.parent_path());
    fs::path part = bank.string() + "." + std::to_string(::getpid());
    std::string out;
    if (run(tzmidi() + " bank " + kSoundFont + " -o " + part.string() + " --quiet", &out) != 0) {
        ADD_FAILURE() << out;
        return {};
    }
    fs::rename(part, bank);
    return bank.string();
}

std::vector<int16_t> readWav(const fs::path& path) {
    std::vector<uint8_t> bytes = test::readFileBytes(path);
    if (bytes.size() < 44 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF") return {};
    std::vector<int16_t> pcm((bytes.size() - 44) / 2);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(bytes[44 + 2 * i] | bytes[45 + 2 * i] << 8);
    return pcm;
}

double infoLength(const std::string& song, const std::string& bank, const std::string& sound = "classic") {
    std::string out;
    if (run(tzmidi() + " info '" + song + "' --bank " + bank + " --sound " + sound, &out) != 0) {
        ADD_FAILURE() << out;
        return -1;
    }
    size_t at = out.find("length: ");
    return at == std::string::npos ? -1 : std::stod(out.substr(at + 8));
}

// Root mean square of frames [from, to) of interleaved stereo PCM.
double rms(const std::vector<int16_t>& pcm, size_t from, size_t to) {
    to = std::min(to, pcm.size() / 2);
    if (to <= from) return 0.0;
    double sum = 0;
    for (size_t i = 2 * from; i < 2 * to; ++i) sum += double(pcm[i]) * pcm[i];
    return std::sqrt(sum / double(2 * (to - from)));
}

size_t longestFullScaleRun(const std::vector<int16_t>& pcm) {
    size_t best = 0, run = 0;
    for (size_t i = 0; i + 1 < pcm.size(); i += 2) {
        bool full = std::abs(int(pcm[i])) >= 32767 || std::abs(int(pcm[i + 1])) >= 32767;
        run = full ? run + 1 : 0;
        best = std::max(best, run);
    }
    return best;
}

std::vector<std::string> songs() {
    std::vector<std::string> out;
    if (fs::exists(kSongDir))
        for (const auto& e : fs::directory_iterator(kSongDir))
            if (e.path().extension() == ".mid") out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    if (out.empty()) out.push_back("(none)");
    return out;
}

class EndToEndSong : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "(none)" || !fs::exists(kSoundFont)) TZ_SKIP_WITHOUT_DATA("songs or SoundFont not installed");
        bank = testBank();
        ASSERT_FALSE(bank.empty());
        song = std::string(kSongDir) + "/" + GetParam();
    }
    std::string bank, song;
};

TEST_P(EndToEndSong, ReportsItsLengthAndSoundsThroughout) {
    test::SongTiming timing = test::readSongTiming(song);
    ASSERT_TRUE(timing.ok);
    double length = infoLength(song, bank);
    EXPECT_NEAR(length, timing.lengthSeconds, 0.005);

    fs::path wav = scratch() / (GetParam() + ".wav");
    std::string out;
    ASSERT_EQ(run(tzmidi() + " render '" + song + "' -o " + wav.string() + " --quiet --sound classic --bank " + bank, &out),
              0)
        << out;
    std::vector<int16_t> pcm = readWav(wav);
    fs::remove(wav);
    // Every sample up to the end is delivered.
    EXPECT_NEAR(double(pcm.size() / 2) / 44100.0, length, 0.001);
    // Each whole second during which a note is held sounds.
    for (size_t second = 0; second + 1 < size_t(length); ++second) {
        bool held = std::any_of(timing.notes.begin(), timing.notes.end(), [&](const test::NoteSpan& n) {
            return n.on <= double(second) && n.off >= double(second + 1);
        });
        if (held) {
            EXPECT_GT(rms(pcm, second * 44100, (second + 1) * 44100), 30.0) << "silent at " << second << " s";
        }
    }
    // Loud passages may clip for a moment, never for long.
    EXPECT_LT(longestFullScaleRun(pcm), 441u);

    // The standard sound: a second of tail after the last event, the whole
    // of it delivered, sounding, and without clipping.
    const double standardLength = infoLength(song, bank, "standard");
    EXPECT_NEAR(standardLength, length + 1.0, 0.002);
    ASSERT_EQ(run(tzmidi() + " render '" + song + "' -o " + wav.string() + " --quiet --sound standard --bank " + bank, &out),
              0)
        << out;
    std::vector<int16_t> standard = readWav(wav);
    fs::remove(wav);
    EXPECT_NEAR(double(standard.size() / 2) / 44100.0, standardLength, 0.001);
    EXPECT_GT(rms(standard, 0, standard.size() / 2), 100.0);
    EXPECT_LE(std::count_if(standard.begin(), standard.end(), [](int16_t v) { return v == 32767 || v == -32768; }),
              100);
}

INSTANTIATE_TEST_SUITE_P(OpenMsx, EndToEndSong, ::testing::ValuesIn(songs()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name;
                             for (char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kSoundFont) || !fs::exists(kSongDir)) TZ_SKIP_WITHOUT_DATA("songs or SoundFont not installed");
        bank = testBank();
        ASSERT_FALSE(bank.empty());
    }
    std::vector<int16_t> render(const std::string& song, const std::string& extra, const std::string& sound = "classic") {
        fs::path wav = scratch() / ("render-" + std::to_string(::getpid()) + ".wav");
        std::string out;
        EXPECT_EQ(run(tzmidi() + " render '" + song + "' -o " + wav.string() + " --quiet --sound " + sound + " --bank " + bank + " " + extra,
                      &out),
                  0)
            << out;
        std::vector<int16_t> pcm = readWav(wav);
        fs::remove(wav);
        return pcm;
    }
    std::string bank;
};

TEST_F(EndToEnd, RendersAreDeterministicWhateverTheReadSize) {
    std::string song = std::string(kSongDir) + "/tttheme2.mid";
    std::vector<int16_t> a = render(song, "");
    std::vector<int16_t> b = render(song, "--read-size 999");
    ASSERT_FALSE(a.empty());
    EXPECT_TRUE(a == b);
}

TEST_F(EndToEnd, ASoundFontPlaysExactlyAsTheBankMadeFromIt) {
    // Played directly, its presets converted as the song needs them, and from
    // the bank `tzmidi bank` wrote: the same bytes in both sounds, whole and
    // after a seek.
    for (const char* name : {"tttheme2.mid", "chuggachugga.mid", "harp_harmony.mid", "5432gone_redfarn.mid"}) {
        const std::string song = std::string(kSongDir) + "/" + name;
        for (const std::string sound : {"classic", "standard"}) {
            for (const std::string extra : {"", "--seek 20.5"}) {
                const std::vector<int16_t> fromBank = render(song, extra, sound);
                const std::string direct = "--sound " + sound + " --bank " + kSoundFont + " " + extra;
                fs::path wav = scratch() / ("direct-" + std::to_string(::getpid()) + ".wav");
                std::string out;
                ASSERT_EQ(run(tzmidi() + " render '" + song + "' -o " + wav.string() + " --quiet " + direct, &out), 0) << out;
                EXPECT_TRUE(readWav(wav) == fromBank) << name << " " << sound << " " << extra;
                fs::remove(wav);
            }
        }
    }
}

TEST_F(EndToEnd, SeekingDeliversTheRestOfTheSong) {
    std::string song = std::string(kSongDir) + "/tttheme2.mid";
    double length = infoLength(song, bank);
    for (double at : {0.0, 1.5, 10.25, 40.0, length / 2}) {
        std::vector<int16_t> pcm = render(song, "--seek " + std::to_string(at));
        // The engine positions on whole samples: ms x 441 / 10.
        int64_t ms = int64_t(at * 1000.0);
        int64_t target = ms * 441 / 10;
        EXPECT_NEAR(double(pcm.size() / 2), std::round(length * 44100) - double(target), 50) << at;
        // The song plays on after the seek (the music is not silent).
        EXPECT_GT(rms(pcm, 0, pcm.size() / 2), 100.0) << at;
    }
    EXPECT_TRUE(render(song, "--seek " + std::to_string(length + 5)).empty());
}

TEST_F(EndToEnd, EveryGeneralMidiDrumSoundsDistinctly) {
    // Notes 35..81 on channel 10, one every half second, division 480 at 120 bpm.
    test::SmfBuilder smf(0, 480);
    auto& t = smf.track();
    for (int note = 35; note <= 81; ++note) t.noteOn(note == 35 ? 0 : 240, 9, note, 110).noteOff(240, 9, note);
    std::vector<uint8_t> bytes = smf.bytes();
    fs::path mid = scratch() / "drums.mid";
    ASSERT_TRUE(test::writeFileBytes(mid, bytes));
    std::vector<int16_t> pcm = render(mid.string(), "");
    ASSERT_GE(pcm.size() / 2, size_t(46 * 22050));
    std::vector<std::vector<int16_t>> hits;
    for (int i = 0; i <= 46; ++i) {
        size_t from = size_t(i) * 22050;
        // The quietest hits (triangle, ride cymbal) sound at about 110.
        EXPECT_GT(rms(pcm, from, from + 8820), 50.0) << "drum note " << 35 + i << " is silent";
        hits.emplace_back(pcm.begin() + std::ptrdiff_t(2 * from),
                          pcm.begin() + std::ptrdiff_t(2 * std::min(from + 8820, pcm.size() / 2)));
    }
    // Neighbouring notes are different instruments in a General-MIDI kit.
    int same = 0;
    for (size_t i = 1; i < hits.size(); ++i) same += hits[i] == hits[i - 1];
    EXPECT_EQ(same, 0);
}

// Debian's freepats configuration, as its package lists it.
std::string freepatsConfiguration() {
    std::string out;
    if (run("dpkg -L freepats 2>/dev/null | grep '/freepats\\.cfg$' | grep -v /doc/ | head -n 1", &out) != 0) return {};
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return fs::exists(out) ? out : std::string();
}

TEST(EndToEndPatches, FreepatsAloneOpensAndPlaysEverySong) {
    const std::string cfg = freepatsConfiguration();
    if (cfg.empty() || !fs::exists(kSongDir)) TZ_SKIP_WITHOUT_DATA("freepats or the songs are not installed");
    const fs::path out = scratch() / ("freepats-" + std::to_string(::getpid()));
    std::string songList;
    for (const std::string& name : songs()) songList += " '" + std::string(kSongDir) + "/" + name + "'";
    // No bank anywhere: the patches are all there is.
    std::string log;
    ASSERT_EQ(run("TZMIDI_DEFAULT_BANK=/nonexistent " + tzmidi() + " render" + songList + " -d " + out.string() +
                      " --quiet --patches " + cfg,
                  &log),
              0)
        << log;
    for (const std::string& name : songs()) {
        const std::vector<int16_t> pcm = readWav(out / (name.substr(0, name.size() - 4) + ".wav"));
        const test::SongTiming timing = test::readSongTiming(std::string(kSongDir) + "/" + name);
        // The standard sound, tzmidi's default: a second of tail.
        EXPECT_NEAR(double(pcm.size() / 2) / 44100.0, timing.lengthSeconds + 1.0, 0.005) << name;
        // At the patches' level songs sound without clipping.
        EXPECT_GT(rms(pcm, 0, pcm.size() / 2), 300.0) << name;
        EXPECT_LE(std::count_if(pcm.begin(), pcm.end(), [](int16_t v) { return v == 32767 || v == -32768; }), 100)
            << name;
    }
    fs::remove_all(out);
}

}  // namespace
}  // namespace tz
