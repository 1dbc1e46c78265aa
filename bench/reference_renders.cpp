#include "bench/reference_renders.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

#include <unistd.h>

#include "platform/paths.h"
#include "song/song_player.h"

namespace tz::bench {

Settings ourSettings(const std::string& bank, SoundProfile sound, int32_t voices, double reverb, double chorus) {
    Settings s;
    s.bank = utf8ToUtf16(bank);
    s.sound = sound;
    s.voices = voices;
    s.reverb = reverb;
    s.chorus = chorus;
    return s;
}

double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

bool renderOurs(const std::vector<uint8_t>& midi, const Settings& settings, OurRender& out) {
    std::unique_ptr<SongPlayer> player = SongPlayer::openMemory(midi, settings);
    if (!player) {
        std::fprintf(stderr, "the song player could not open a song with the bank %s\n",
                     utf16ToUtf8(settings.bank).c_str());
        return false;
    }
    player->loadInstruments();
    std::vector<uint8_t> bytes, block(4096);
    const double start = threadSeconds();
    for (int32_t n; (n = player->read(block.data(), int32_t(block.size()))) > 0;)
        bytes.insert(bytes.end(), block.begin(), block.begin() + n);
    out.cpuSeconds = threadSeconds() - start;
    out.pcm = test::pcmFromBytes(bytes);
    const MidiSong& song = player->song();
    out.stolen = song.stolenNoteCount;
    out.stolenAudible = song.stolenAudibleCount;
    out.lost = song.lostNoteCount;
    return true;
}

std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

namespace {

bool runToWav(const std::string& command, const std::filesystem::path& wav, test::StereoPcm& out) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0 || !test::readWav16(wav, out)) {
        std::fprintf(stderr, "could not render: %s\n", command.c_str());
        return false;
    }
    std::error_code ignored;
    std::filesystem::remove(wav, ignored);
    return true;
}

}  // namespace

bool renderFluid(const std::string& sf2, const std::string& midi, const std::filesystem::path& wav,
                 const std::string& options, test::StereoPcm& out) {
    // A song that once needed more voices than FluidSynth has may never end
    // its file: the timeout stops it.
    return runToWav("timeout 1200 fluidsynth -ni -r 44100 " + options + " -F " + shellQuoted(wav.string()) + " " +
                        shellQuoted(sf2) + " " + shellQuoted(midi),
                    wav, out);
}

bool renderSpessa(const std::string& script, const std::string& bank, const std::string& midi,
                  const std::filesystem::path& wav, const std::string& options, test::StereoPcm& out) {
    return runToWav("timeout 1200 node " + shellQuoted(script) + " " + shellQuoted(midi) + " " + shellQuoted(bank) +
                        " " + shellQuoted(wav.string()) + " " + options,
                    wav, out);
}

bool runTasks(const std::vector<std::function<bool()>>& tasks, int jobs) {
    std::atomic<size_t> next{0};
    std::atomic<bool> ok{true};
    auto work = [&] {
        for (size_t i; (i = next++) < tasks.size();)
            if (!tasks[i]()) ok = false;
    };
    std::vector<std::thread> threads;
    for (int j = 1; j < jobs && size_t(j) < tasks.size(); ++j) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    return ok;
}

WorkFolder::WorkFolder(const std::string& prefix)
    : path(std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()))) {
    std::filesystem::create_directories(path);
}

WorkFolder::~WorkFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

}  // namespace tz::bench
