// The renders the sound benchmarks set side by side: ours through the song
// player in this process, FluidSynth's fast file render of a SoundFont and
// SpessaSynth (bench/spessa/render.mjs under node) of a bank, each of a MIDI
// file; and what the benchmarks share besides: a work folder, thread CPU
// time, and a few renders run at once.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "song/settings.h"
#include "tests/support/signal_analysis.h"

namespace tz::bench {

struct OurRender {
    test::StereoPcm pcm;
    // The song's counts once it has played to its end.
    int32_t stolen = 0, stolenAudible = 0, lost = 0;
    double cpuSeconds = 0;  // of the reads, on the rendering thread
};

// Settings that play from `bank` with `sound`, `voices` (0: the sound's
// own) and the standard sound's reverb and chorus at these levels
// (negative: the defaults).
Settings ourSettings(const std::string& bank, SoundProfile sound, int32_t voices = 0, double reverb = 0.0,
                     double chorus = 0.0);
// The whole song as the player delivers it. False (and a message) when it
// cannot be opened.
bool renderOurs(const std::vector<uint8_t>& midi, const Settings& settings, OurRender& out);

std::string shellQuoted(const std::string& s);

// FluidSynth's render of `midi` with `sf2` at 44.1 kHz into `wav`, read back
// and removed; `options` go on its command line (such as "-R 0 -C 0").
bool renderFluid(const std::string& sf2, const std::string& midi, const std::filesystem::path& wav,
                 const std::string& options, test::StereoPcm& out);
// SpessaSynth's render with `bank` through the script render.mjs, likewise
// (options such as "--no-reverb --no-chorus --tail 3").
bool renderSpessa(const std::string& script, const std::string& bank, const std::string& midi,
                  const std::filesystem::path& wav, const std::string& options, test::StereoPcm& out);

double threadSeconds();

// Runs the tasks on up to `jobs` threads at once; true when every one
// returned true.
bool runTasks(const std::vector<std::function<bool()>>& tasks, int jobs);

// A folder of this process's own for renders, removed at the end.
struct WorkFolder {
    explicit WorkFolder(const std::string& prefix);
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;
    std::filesystem::path path;
};

}  // namespace tz::bench
