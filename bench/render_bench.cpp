// Rendering speed as a multiple of real time: a crafted dense song that keeps
// all 32 voices busy, and any MIDI files named on the command line, with the
// baseline and the AVX2 path where the machine runs it (or the paths named).
//
//   render_bench [--bank FILE.dls] [--sound classic|standard] [--reverb L] [--chorus L]
//                [--rounds N] [--no-hash] [--path baseline|avx2|plain]... [FILE.mid ...]
//
// Without --bank the small test bank is used. --sound chooses the sound
// (default classic); --reverb and --chorus set the standard sound's effects,
// 0 (off) to 1 (default: the sound's own levels). Times are the thread's CPU
// time, so a busy machine disturbs the figures less; the median of the
// rounds is reported. Each song's line ends with a hash of the rendered
// bytes, so a faster engine can show at once that it renders the same; the
// hash takes a render of its own, which --no-hash leaves out (the lines then
// show no hash).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/input_stream.h"
#include "records/midi_song.h"
#include "song/song_player.h"
#include "synth/simd_path.h"
#include "tests/support/dense_song.h"
#include "tests/support/player.h"

namespace {

double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Result {
    double seconds = 0;       // CPU time
    double musicSeconds = 0;  // rendered
    double busyVoices = 0;    // mean voices sounding per block
    double voiceFrames = 0;   // frames times the voices sounding at the end of each block
    uint64_t hash = 0;        // FNV-1a of the rendered bytes
};

uint64_t fnv1a(uint64_t h, const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * 0x100000001b3ull;
    return h;
}

// Opens the song as the plug-in does, its instruments loaded, and renders it
// to its end. The hash, when asked for, is taken outside the timed calls.
bool renderOnce(const std::vector<uint8_t>& midi, const tz::Settings& bank, bool hashOutput, Result& result) {
    std::unique_ptr<tz::SongPlayer> player = tz::SongPlayer::openMemory(midi, bank);
    if (!player) return false;
    player->loadInstruments();
    const tz::MidiSong* song = &player->song();

    std::vector<uint8_t> block(4096);
    int64_t bytes = 0, blocks = 0, busy = 0, voiceFrames = 0;
    uint64_t hash = 0xcbf29ce484222325ull;
    const double start = threadSeconds();
    for (;;) {
        const int32_t n = player->read(block.data(), int32_t(block.size()));
        if (n <= 0) break;
        if (hashOutput) hash = fnv1a(hash, block.data(), size_t(n));
        bytes += n;
        ++blocks;
        int sounding = 0;
        for (int v = 0; v < song->voiceCount; ++v) sounding += song->voices[v].state != tz::VoiceState::Free;
        busy += sounding;
        voiceFrames += int64_t(sounding) * (n / song->bytesPerFrame);
    }
    result.seconds = threadSeconds() - start;
    result.musicSeconds = double(bytes) / song->bytesPerFrame / song->outputRate;
    result.busyVoices = blocks ? double(busy) / double(blocks) : 0;
    result.voiceFrames = double(voiceFrames);
    result.hash = hash;
    return true;
}

// The median of the rounds' CPU times; the other figures are the same in
// every round.
bool measure(const std::vector<uint8_t>& midi, const tz::Settings& bank, int rounds, bool hash, Result& result) {
    if (!renderOnce(midi, bank, hash, result)) return false;
    if (!hash) result.hash = 0;
    if (!hash && rounds == 1) return true;
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        Result timed;
        if (!renderOnce(midi, bank, false, timed)) return false;
        times.push_back(timed.seconds);
    }
    std::sort(times.begin(), times.end());
    const size_t n = times.size();
    result.seconds = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    return true;
}

struct Totals {
    double seconds = 0, musicSeconds = 0, voiceFrames = 0;
    uint64_t hash = 0xcbf29ce484222325ull;
    void add(const Result& r) {
        seconds += r.seconds;
        musicSeconds += r.musicSeconds;
        voiceFrames += r.voiceFrames;
        hash = fnv1a(hash, reinterpret_cast<const uint8_t*>(&r.hash), sizeof r.hash);
    }
    Result asResult() const {
        Result r;
        r.seconds = seconds;
        r.musicSeconds = musicSeconds;
        r.voiceFrames = voiceFrames;
        r.busyVoices = musicSeconds > 0 ? voiceFrames / (musicSeconds * 44100.0) : 0;
        r.hash = hash;
        return r;
    }
};

void printLine(const char* name, const Result& r) {
    const double seconds = std::max(r.seconds, 1e-9);
    std::printf("%-36s %7.1f %7.1f %10.1f %9.1f  ", name, r.musicSeconds, r.busyVoices, r.musicSeconds / seconds,
                r.voiceFrames / seconds * 1e-6);
    if (r.hash != 0)
        std::printf("%016llx\n", static_cast<unsigned long long>(r.hash));
    else
        std::printf("-\n");
}

bool readFile(const char* path, std::vector<uint8_t>& out) { return tz::readWholeFile(path, out, size_t(1) << 30); }

struct Options {
    std::string bankPath;
    tz::SoundProfile sound = tz::SoundProfile::Classic;
    double reverb = -1.0, chorus = -1.0;  // negative: the sound's own
    bool hash = true;
    int rounds = 3;
    std::vector<tz::SimdPath> paths;  // the baseline and AVX2 where available, unless named
    std::vector<std::string> files;
};

Options parseArguments(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--bank") && i + 1 < argc) {
            o.bankPath = argv[++i];
        } else if (!std::strcmp(argv[i], "--sound") && i + 1 < argc) {
            o.sound = !std::strcmp(argv[++i], "standard") ? tz::SoundProfile::Standard : tz::SoundProfile::Classic;
        } else if (!std::strcmp(argv[i], "--reverb") && i + 1 < argc) {
            o.reverb = std::clamp(std::atof(argv[++i]), 0.0, 1.0);
        } else if (!std::strcmp(argv[i], "--chorus") && i + 1 < argc) {
            o.chorus = std::clamp(std::atof(argv[++i]), 0.0, 1.0);
        } else if (!std::strcmp(argv[i], "--no-hash")) {
            o.hash = false;
        } else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) {
            o.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (!std::strcmp(argv[i], "--path") && i + 1 < argc) {
            const std::string name = argv[++i];
            o.paths.push_back(name == "avx2"    ? tz::SimdPath::Avx2
                              : name == "plain" ? tz::SimdPath::Plain
                                                : tz::SimdPath::Baseline);
        } else {
            o.files.push_back(argv[i]);
        }
    }
    if (o.paths.empty())
        for (tz::SimdPath path : {tz::SimdPath::Baseline, tz::SimdPath::Avx2})
            if (tz::simdPathAvailable(path)) o.paths.push_back(path);
    return o;
}

// Settings that play from the bank at `path`, or from the small test bank,
// with the sound chosen. False (and a message) when it does not open.
bool chooseBank(const Options& o, tz::Settings& bank) {
    const std::string& path = o.bankPath;
    bank = tz::test::bankSettings(path.empty() ? tz::test::smallGmBankFile() : std::filesystem::path(path));
    bank.sound = o.sound;
    bank.reverb = o.reverb;
    bank.chorus = o.chorus;
    if (tz::SongPlayer::openMemory(tz::test::denseSong(), bank)) return true;
    std::fprintf(stderr, "the bank %s cannot be played from\n", path.c_str());
    return false;
}

using Songs = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

// The dense song first, then the files that can be read, by file name.
Songs readSongs(const std::vector<std::string>& files) {
    Songs songs;
    songs.emplace_back("dense (crafted)", tz::test::denseSong());
    for (const std::string& path : files) {
        std::vector<uint8_t> bytes;
        if (!readFile(path.c_str(), bytes)) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            continue;
        }
        const size_t slash = path.find_last_of('/');
        songs.emplace_back(slash == std::string::npos ? path : path.substr(slash + 1), std::move(bytes));
    }
    return songs;
}

struct PathFigures {
    tz::SimdPath path;
    Result dense, files;
};

// Every song with the path forced, a line each, and the files' total.
PathFigures measurePath(tz::SimdPath path, const Songs& songs, const tz::Settings& bank, int rounds, bool hash) {
    std::printf("\n%s\n%-36s %7s %7s %10s %9s  %s\n", tz::simdPathName(path), "song", "music s", "voices",
                "x realtime", "Mvf/s", "output hash");
    PathFigures f{path, {}, {}};
    Totals set;
    for (size_t i = 0; i < songs.size(); ++i) {
        const auto& [name, midi] = songs[i];
        Result result;
        if (!measure(midi, bank, rounds, hash, result)) {
            std::printf("%-36s not readable\n", name.c_str());
            continue;
        }
        printLine(name.c_str(), result);
        if (i == 0)
            f.dense = result;
        else
            set.add(result);
    }
    f.files = set.asResult();
    if (!hash) f.files.hash = 0;
    if (songs.size() > 2) printLine("all files", f.files);
    return f;
}

// The paths side by side, as multiples of real time and Mvf/s (millions of
// voice-frames per second); true when every path rendered the same bytes.
bool printComparison(const std::vector<PathFigures>& figures, bool hashed) {
    std::printf("\n%-16s %14s %9s %14s %9s\n", "path", "dense x", "Mvf/s", "files x", "Mvf/s");
    bool same = true;
    for (const PathFigures& f : figures) {
        auto x = [](const Result& r) { return r.musicSeconds / std::max(r.seconds, 1e-9); };
        auto mvf = [](const Result& r) { return r.voiceFrames / std::max(r.seconds, 1e-9) * 1e-6; };
        std::printf("%-16s %14.1f %9.1f", tz::simdPathName(f.path), x(f.dense), mvf(f.dense));
        if (f.files.musicSeconds > 0)
            std::printf(" %14.1f %9.1f\n", x(f.files), mvf(f.files));
        else
            std::printf(" %14s %9s\n", "-", "-");
        same = same && f.dense.hash == figures[0].dense.hash && f.files.hash == figures[0].files.hash;
    }
    if (!hashed)
        std::printf("output: not hashed (--no-hash)\n");
    else if (figures.size() > 1)
        std::printf("output: %s on every path\n", same ? "the same bytes" : "DIFFERENT BYTES");
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parseArguments(argc, argv);
    tz::Settings bank;
    if (!chooseBank(o, bank)) return 1;
    const Songs songs = readSongs(o.files);

    std::printf("bank: %s\n", o.bankPath.empty() ? "small test bank" : o.bankPath.c_str());
    if (o.sound == tz::SoundProfile::Standard) {
        const tz::EngineSettings engine = tz::engineSettings(bank, 44100);
        std::printf("sound: standard, reverb %.2f, chorus %.2f\n", double(engine.reverb), double(engine.chorus));
    } else {
        std::printf("sound: classic\n");
    }
    std::vector<PathFigures> figures;
    for (tz::SimdPath path : o.paths) {
        if (!tz::forceSimdPath(path)) {
            std::printf("\n%s: not available on this machine\n", tz::simdPathName(path));
            continue;
        }
        figures.push_back(measurePath(path, songs, bank, o.rounds, o.hash));
    }
    return printComparison(figures, o.hash) ? 0 : 1;
}
