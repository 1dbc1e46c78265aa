// tzmidi as a user runs it: the audio files and stream it renders, batches
// with a broken file, info's lines, one exit status for a bad command line,
// and play through SDL's disk driver, with its keys typed on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/run_command.h"
#include "tests/support/smf_builder.h"
#include "tests/support/test_bank.h"

namespace tz {
namespace {

namespace fs = std::filesystem;

using test::runCommand;

// A value from the statistics `sox ... -n stat` prints, or -1.
double soxStat(const std::string& output, const std::string& name) {
    const size_t at = output.find(name + ":");
    return at == std::string::npos ? -1.0 : std::atof(output.c_str() + at + name.size() + 1);
}

bool have(const std::string& program) { return runCommand("command -v " + program).status == 0; }

// A song of `seconds` held chord at 120 bpm, with a title and a Latin-1
// copyright that carries an escape sequence a terminal must never see.
std::vector<uint8_t> chordSong(int seconds) {
    test::SmfBuilder smf(1, 480);
    smf.track().text(0, 3, "Held Chord").text(0, 2, "\xA9 nobody\x1b[2J").tempo(0, 500000);
    smf.track().noteOn(0, 0, 60, 100).noteOn(0, 0, 64, 100).noteOff(uint32_t(960 * seconds), 0, 60).noteOff(0, 0, 64);
    return smf.bytes();
}

std::vector<uint8_t> pcmOfWav(const fs::path& wav) {
    std::vector<uint8_t> bytes = test::readFileBytes(wav);
    return bytes.size() < 44 ? std::vector<uint8_t>() : std::vector<uint8_t>(bytes.begin() + 44, bytes.end());
}

class Tzmidi : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::path(TZ_BINARY_DIR) / ("tzmidi-test-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        ASSERT_TRUE(test::writeFileBytes(dir / "bank.dls", test::smallGmBank()));
        ASSERT_TRUE(test::writeFileBytes(dir / "song.mid", chordSong(2)));
        const std::string version = runCommand(tzmidi + " --version").output;
        writesCompressed = version.find("flac ogg opus") != std::string::npos;
        plays = version.find("play: SDL") != std::string::npos;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return "'" + (dir / name).string() + "'"; }
    // The plug-in's own sound: the lengths and bytes below are the classic
    // sound's.
    std::string bank() const { return " --bank " + path("bank.dls") + " --sound classic"; }

    const std::string tzmidi = std::string(TZ_BINARY_DIR) + "/tzmidi";
    fs::path dir;
    bool writesCompressed = false;
    bool plays = false;
};

TEST_F(Tzmidi, RendersFlacOggAndAWavStreamOfTheWholeSong) {
    ASSERT_EQ(runCommand(tzmidi + " render " + path("song.mid") + " -o " + path("song.wav") + bank() + " -q").status, 0);
    const std::vector<uint8_t> pcm = pcmOfWav(dir / "song.wav");
    ASSERT_EQ(pcm.size(), 2u * 44100 * 4);

    // The stream's header cannot hold the length; the reader must still take it all.
    if (have("sox")) {
        test::CommandResult piped = runCommand(tzmidi + " render " + path("song.mid") + " -o -" + bank() + " -q | sox -t wav - -n stat");
        EXPECT_EQ(piped.status, 0) << piped.output;
        EXPECT_EQ(soxStat(piped.output, "Samples read"), double(pcm.size() / 2)) << piped.output;
        EXPECT_EQ(piped.output.find("WARN"), std::string::npos) << piped.output;
    }

    if (!writesCompressed || !have("flac") || !have("sox")) GTEST_SKIP() << "no libsndfile in tzmidi, or no flac/sox";
    ASSERT_EQ(runCommand(tzmidi + " render " + path("song.mid") + " -o " + path("song.flac") + bank() + " -q").status, 0);
    ASSERT_EQ(runCommand("flac -d -s -f -o " + path("decoded.wav") + " " + path("song.flac")).status, 0);
    EXPECT_TRUE(pcmOfWav(dir / "decoded.wav") == pcm) << "FLAC is lossless";
    EXPECT_NE(runCommand("metaflac --export-tags-to=- " + path("song.flac")).output.find("title=Held Chord"),
              std::string::npos);

    ASSERT_EQ(runCommand(tzmidi + " render " + path("song.mid") + " -o " + path("song.ogg") + bank() + " -q").status, 0);
    test::CommandResult ogg = runCommand("sox " + path("song.ogg") + " -n stat");
    EXPECT_EQ(soxStat(ogg.output, "Length (seconds)"), 2.0) << ogg.output;
}

TEST_F(Tzmidi, BatchRendersEverySongItCanAndNamesTheOnesItCannot) {
    ASSERT_TRUE(test::writeFileBytes(dir / "in" / "other.mid", chordSong(1)));
    ASSERT_TRUE(test::writeFileBytes(dir / "in" / "broken.mid", std::vector<uint8_t>{'M', 'T', 'h', 'd', 0, 0}));
    const std::string format = writesCompressed ? "flac" : "wav";
    test::CommandResult r = runCommand(tzmidi + " render " + path("song.mid") + " " + path("in/broken.mid") + " " + path("missing.mid") +
                   " " + path("in/other.mid") + " -d " + path("out") + " --format " + format + bank());
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("broken.mid' is a damaged MIDI file"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("cannot open '" + (dir / "missing.mid").string()), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("rendered 2 of 4 songs"), std::string::npos) << r.output;
    EXPECT_GT(fs::file_size(dir / "out" / ("song." + format)), 1000u);
    EXPECT_GT(fs::file_size(dir / "out" / ("other." + format)), 1000u);
    EXPECT_FALSE(fs::exists(dir / "out" / ("broken." + format)));
}

TEST_F(Tzmidi, InfoPrintsTheSongsTextsTracksAndNotes) {
    test::CommandResult r = runCommand(tzmidi + " info " + path("song.mid") + bank());
    ASSERT_EQ(r.status, 0) << r.output;
    for (const char* line : {"\nkind: 1\n", "\nsample_rate: 44100\n", "\nchannels: 2\n", "\nbits_per_sample: 16\n",
                             "\nlength: 2.000\n", "\ntitle: Held Chord\n", "\ncopyright: \u00A9 nobody [2J\n",
                             "\ntracks: 2\n", "\nnotes: 2\n"})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << " in\n" << r.output;
    EXPECT_EQ(r.output.find('\x1b'), std::string::npos);
}

TEST_F(Tzmidi, SettingsShowWhereEachValueComesFromAndThePlugInIgnoresWhatItCannotUse) {
    const std::string ini = "# for the test\nbank = bank.dls\ncolour = blue\npatches = missing.cfg\n";
    ASSERT_TRUE(test::writeFileBytes(dir / "tz_midi.ini", std::vector<uint8_t>(ini.begin(), ini.end())));
    const std::string env = "TZ_MIDI_SETTINGS=" + path("tz_midi.ini") + " ";
    test::CommandResult r = runCommand(env + tzmidi + " settings");
    EXPECT_EQ(r.status, 1) << r.output;
    for (const std::string& line : {"bank = " + (dir / "bank.dls").string() + "  (" + (dir / "tz_midi.ini").string() + ":2)",
                                   std::string("patches = (none)  (default)"), std::string(":3: unknown key 'colour'"),
                                   std::string(":4: patches cannot open")})
        EXPECT_NE(r.output.find(line), std::string::npos) << line << " in\n" << r.output;
    // The plug-in plays with the bank the file names, the other lines ignored.
    EXPECT_EQ(runCommand(env + tzmidi + " render " + path("song.mid") + " -o " + path("a.wav") + " -q --sound classic").status, 0);
    ASSERT_EQ(runCommand(tzmidi + " render " + path("song.mid") + " -o " + path("b.wav") + bank() + " -q").status, 0);
    EXPECT_TRUE(pcmOfWav(dir / "a.wav") == pcmOfWav(dir / "b.wav"));
    // The command line comes first.
    r = runCommand(env + tzmidi + " settings --bank " + path("song.mid"));
    EXPECT_NE(r.output.find("bank = " + (dir / "song.mid").string() + "  (--bank)"), std::string::npos) << r.output;
}

TEST_F(Tzmidi, AFailureNamesTheFileItBelongsTo) {
    ASSERT_TRUE(test::writeFileBytes(dir / "broken.dls", std::vector<uint8_t>{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}));
    test::CommandResult r =
        runCommand(tzmidi + " render " + path("song.mid") + " -o " + path("x.wav") + " --bank " + path("broken.dls"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("the bank '" + (dir / "broken.dls").string() + "' is not a DLS bank"), std::string::npos)
        << r.output;
    ASSERT_TRUE(test::writeFileBytes(dir / "cut.mid", std::vector<uint8_t>{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 1, 0xE0}));
    r = runCommand(tzmidi + " info " + path("cut.mid") + bank());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("cut.mid' is a damaged MIDI file: a track runs past the end of the file"), std::string::npos)
        << r.output;
    r = runCommand("TZMIDI_DEFAULT_BANK=" + path("none.dls") + " " + tzmidi + " render " + path("song.mid") + " -o " + path("x.wav"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("no General-MIDI bank"), std::string::npos) << r.output;
}

TEST_F(Tzmidi, EveryCommandTakesHelpAndGivesStatusTwoForABadCommandLine) {
    for (const char* command : {"play", "render", "info", "settings", "bank"}) {
        EXPECT_EQ(runCommand(tzmidi + " " + command + " --help").status, 0) << command;
        EXPECT_EQ(runCommand(tzmidi + " " + command + " song.mid --no-such-option").status, 2) << command;
        // Every command but settings needs a file.
        if (std::string(command) != "settings") {
            EXPECT_EQ(runCommand(tzmidi + " " + command).status, 2) << command;
        }
    }
    EXPECT_EQ(runCommand(tzmidi).status, 2);
    EXPECT_EQ(runCommand(tzmidi + " frobnicate").status, 2);
    EXPECT_EQ(runCommand(tzmidi + " render a.mid b.mid -o one.wav").status, 2);
    EXPECT_EQ(runCommand(tzmidi + " render a.mid -o song.mp3").status, 2);
    EXPECT_EQ(runCommand(tzmidi + " render a.mid -o - --format flac").status, 2);
    EXPECT_EQ(runCommand(tzmidi + " render a.mid -o a.wav --seek -1").status, 2);
    // A song that cannot be read is a failure, not a bad command line.
    EXPECT_EQ(runCommand(tzmidi + " render " + path("missing.mid") + " -o " + path("x.wav") + bank()).status, 1);
}

TEST_F(Tzmidi, PlaysToTheEndOnTheDeviceWhatRenderWrites) {
    if (!plays) GTEST_SKIP() << "tzmidi built without SDL2";
    const std::string disk = "SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=" + path("device.raw") + " ";
    test::CommandResult r = runCommand(disk + tzmidi + " play " + path("song.mid") + bank() + " </dev/null");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Playing 1/1: song.mid (0:02)"), std::string::npos) << r.output;
    ASSERT_EQ(runCommand(tzmidi + " render " + path("song.mid") + " -o " + path("song.wav") + bank() + " -q").status, 0);

    // The device plays silence before the first bytes arrive and after the
    // last; in between it must get exactly the song, without a gap.
    auto trimmed = [](std::vector<uint8_t> pcm) {
        pcm.erase(pcm.begin(), std::find_if(pcm.begin(), pcm.end(), [](uint8_t b) { return b != 0; }));
        return pcm;
    };
    const std::vector<uint8_t> song = trimmed(pcmOfWav(dir / "song.wav"));
    const std::vector<uint8_t> device = trimmed(test::readFileBytes(dir / "device.raw"));
    ASSERT_FALSE(song.empty());
    ASSERT_GE(device.size(), song.size());
    EXPECT_TRUE(std::equal(song.begin(), song.end(), device.begin()));
    EXPECT_TRUE(std::all_of(device.begin() + std::ptrdiff_t(song.size()), device.end(), [](uint8_t b) { return b == 0; }));

    test::CommandResult none = runCommand("SDL_AUDIODRIVER=no-such-driver " + tzmidi + " play " + path("song.mid") + bank());
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.output.find("no audio device"), std::string::npos) << none.output;
}

// tzmidi play on a pseudo-terminal, as a person at a terminal runs it.
class PlayerOnTerminal {
public:
    PlayerOnTerminal(const std::string& tzmidi, const std::vector<std::string>& args, const fs::path& deviceFile) {
        pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            ::setenv("SDL_AUDIODRIVER", "disk", 1);
            ::setenv("SDL_DISKAUDIOFILE", deviceFile.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(tzmidi.c_str()), const_cast<char*>("play")};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(tzmidi.c_str(), argv.data());
            ::_exit(127);
        }
        ::tcgetattr(master_, &before_);
    }
    ~PlayerOnTerminal() {
        if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) ::close(master_);
    }

    void type(const std::string& keys) { ASSERT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }

    // Reads the screen until it shows `text` `times` times in all; false after 10 s.
    bool waitFor(const std::string& text, size_t times = 1) {
        for (int i = 0; i < 100; ++i) {
            size_t found = 0;
            for (size_t at = screen_.find(text); at != std::string::npos; at = screen_.find(text, at + 1)) ++found;
            if (found >= times) return true;
            if (!readScreen()) return false;
        }
        return false;
    }

    // The exit status, or 128 + the signal that ended it; -1 when it does not end within 10 s.
    int wait() {
        for (int i = 0; i < 100; ++i) {
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            readScreen();
        }
        return -1;
    }

    // The terminal is as it was before the player took it.
    bool restored() const {
        termios now;
        ::tcgetattr(master_, &now);
        return now.c_lflag == before_.c_lflag && now.c_cc[VMIN] == before_.c_cc[VMIN];
    }
    const std::string& screen() const { return screen_; }

private:
    // Adds what the player wrote within 0.1 s to the screen; false once it is gone.
    bool readScreen() {
        pollfd in{master_, POLLIN, 0};
        if (::poll(&in, 1, 100) <= 0) return true;
        char buffer[4096];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            ::usleep(100000);  // gone: the caller's wait still needs its time
            return false;
        }
        screen_.append(buffer, size_t(n));
        return true;
    }

    pid_t pid_ = -1;
    int master_ = -1;
    termios before_{};
    std::string screen_;
};

TEST_F(Tzmidi, PlayerKeysOnATerminalAndTheTerminalPutBack) {
    if (!plays) GTEST_SKIP() << "tzmidi built without SDL2";
    ASSERT_TRUE(test::writeFileBytes(dir / "long.mid", chordSong(40)));
    const std::vector<std::string> songs{(dir / "long.mid").string(), (dir / "song.mid").string(), "--bank",
                                         (dir / "bank.dls").string(), "--sound", "classic"};
    {
        PlayerOnTerminal player(tzmidi, songs, dir / "device.raw");
        ASSERT_TRUE(player.waitFor("0:00 / 0:40")) << player.screen();
        player.type("\x1b[C");  // right: 10 s on
        EXPECT_TRUE(player.waitFor("0:10 / 0:40")) << player.screen();
        player.type("\x1b[A");  // up: 60 s on, past the end, so the next song
        EXPECT_TRUE(player.waitFor("Playing 2/2: song.mid")) << player.screen();
        player.type("p");
        EXPECT_TRUE(player.waitFor("Playing 1/2: long.mid", 2)) << player.screen();
        player.type(" ");
        EXPECT_TRUE(player.waitFor("paused")) << player.screen();
        player.type("q");
        EXPECT_EQ(player.wait(), 0) << player.screen();
        EXPECT_TRUE(player.restored());
    }
    {
        PlayerOnTerminal player(tzmidi, songs, dir / "device.raw");
        ASSERT_TRUE(player.waitFor("0:00 / 0:40")) << player.screen();
        player.type("\x03");  // Ctrl-C
        EXPECT_EQ(player.wait(), 128 + SIGINT) << player.screen();
        EXPECT_TRUE(player.restored());
    }
}

}  // namespace
}  // namespace tz
