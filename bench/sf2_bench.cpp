// A SoundFont played preset by preset: what indexing it costs, what a song's
// open and first read cost when its presets are converted then, and memory.
//
//   sf2_bench SOUNDFONT.sf2 SONG.mid [SONG.mid ...]
//       the index (time over 20 runs, memory); for every song an open and
//       first read with its presets converted afresh (a new index: as the
//       first song of a process) and again on the same index (the preset
//       structures kept, the waves read again); median and worst
//   sf2_bench --render SOUNDFONT.sf2 SONG.mid [BANK.dls]
//       renders the whole song from the SoundFont and prints the peak
//       resident memory of the process; with BANK.dls (the bank `tzmidi
//       bank` wrote from the SoundFont) renders it from that bank too and
//       tells whether the bytes are the same
//
// The file is read once beforehand so that it lies in the page cache.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "instruments/config.h"
#include "instruments/dls_collection.h"
#include "instruments/dls_convert.h"
#include "platform/byte_source.h"
#include "platform/input_stream.h"
#include "platform/paths.h"
#include "records/midi_song.h"
#include "song/song_assembly.h"
#include "song/song_player.h"
#include "soundfont/sf2_index.h"
#include "synth/render.h"
#include "tests/support/player.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// A field of /proc/self/status in MB (Linux), 0 elsewhere.
double statusMb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return double(std::atol(line.c_str() + std::strlen(field))) / 1024.0;
    return 0.0;
}

void warm(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> piece(1 << 20);
    while (in.read(piece.data(), std::streamsize(piece.size())) || in.gcount() > 0) {
    }
}

std::vector<uint8_t> fileBytes(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The song read, its instruments marked but not loaded.
std::unique_ptr<tz::MidiSong> readSong(const std::vector<uint8_t>& midi) {
    return tz::readSong(tz::SongOptions{}, midi, tz::defaultInstrumentConfiguration());
}

// The song's instruments loaded from the SoundFont as a song's first read
// loads them.
bool loadFromSoundFont(tz::MidiSong& song, std::shared_ptr<const tz::SoundFontIndex> index, const tz::ByteSource& file) {
    song.bank = std::make_shared<tz::SoundFontBank>(std::move(index));
    return tz::loadSongInstruments(song, &file);
}

// The whole song rendered, kept as its length and a 64-bit FNV-1a hash of
// its bytes (the bytes themselves would weigh more than the song's waves).
struct Rendered {
    uint64_t bytes = 0;
    uint64_t hash = 14695981039346656037ull;
    bool operator==(const Rendered&) const = default;
};

// The whole song as the plug-in plays it from the SoundFont, and from the
// DLS bank when one is named: the same bytes both ways.
Rendered renderWithBank(const std::vector<uint8_t>& midi, const char* bank) {
    Rendered out;
    std::unique_ptr<tz::SongPlayer> player = tz::SongPlayer::openMemory(midi, tz::test::bankSettings(bank));
    if (!player) return out;
    uint8_t block[4096];
    for (int32_t n; (n = player->read(block, int32_t(sizeof block))) > 0;) {
        out.bytes += uint64_t(n);
        for (int32_t i = 0; i < n; ++i) out.hash = (out.hash ^ block[i]) * 1099511628211ull;
    }
    return out;
}

int renderMode(const char* soundFont, const char* songPath, const char* dlsPath) {
    warm(soundFont);
    const std::vector<uint8_t> midi = fileBytes(songPath);
    const Rendered fromSoundFont = renderWithBank(midi, soundFont);
    if (fromSoundFont.bytes == 0) {
        std::fprintf(stderr, "sf2_bench: %s or %s cannot be read\n", soundFont, songPath);
        return 1;
    }
    std::printf("%s from %s: %.1f s of audio, peak resident memory %.1f MB\n", fs::path(songPath).filename().c_str(),
                soundFont, double(fromSoundFont.bytes) / (4.0 * 44100.0), statusMb("VmHWM:"));
    if (!dlsPath) return 0;
    const bool same = renderWithBank(midi, dlsPath) == fromSoundFont;
    std::printf("  the same bytes as from %s: %s\n", dlsPath, same ? "yes" : "NO");
    return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--render") == 0) return renderMode(argv[2], argv[3], argc > 4 ? argv[4] : nullptr);
    if (argc < 3) {
        std::fprintf(stderr, "usage: sf2_bench SOUNDFONT.sf2 SONG.mid...\n       sf2_bench --render SOUNDFONT.sf2 SONG.mid [BANK.dls]\n");
        return 2;
    }
    const char* soundFont = argv[1];
    warm(soundFont);
    std::unique_ptr<tz::FileSource> file = tz::FileSource::open(tz::utf8ToUtf16(soundFont));
    if (!file) {
        std::fprintf(stderr, "sf2_bench: cannot open %s\n", soundFont);
        return 1;
    }
    std::printf("SoundFont: %s (%.1f MB)\n", soundFont, double(file->size()) / 1e6);

    // The index.
    std::vector<double> indexTimes;
    const double before = statusMb("VmRSS:");
    std::shared_ptr<tz::SoundFontIndex> index;
    for (int round = 0; round < 20; ++round) {
        index.reset();
        auto start = Clock::now();
        index = tz::indexSoundFont(*file);
        indexTimes.push_back(msSince(start));
        if (!index) {
            std::fprintf(stderr, "sf2_bench: %s is not a readable SoundFont\n", soundFont);
            return 1;
        }
    }
    std::printf("index: median %.2f ms, worst %.2f ms; %zu instruments; resident memory +%.1f MB\n",
                median(indexTimes), *std::max_element(indexTimes.begin(), indexTimes.end()),
                index->instruments.size(), statusMb("VmRSS:") - before);

    // Each song's open and first read: read, presets converted, one block.
    std::vector<double> fresh, again;
    uint8_t block[4096];
    for (int i = 2; i < argc; ++i) {
        const std::vector<uint8_t> midi = fileBytes(argv[i]);
        double times[2] = {};
        index = tz::indexSoundFont(*file);
        for (double& time : times) {
            auto start = Clock::now();
            std::unique_ptr<tz::MidiSong> song = readSong(midi);
            if (!song || !loadFromSoundFont(*song, index, *file)) {
                std::fprintf(stderr, "sf2_bench: %s cannot be played\n", argv[i]);
                return 1;
            }
            tz::startSong(*song);
            tz::renderBlock(*song, block);
            time = msSince(start);
        }
        fresh.push_back(times[0]);
        again.push_back(times[1]);
        std::printf("  %-28s %7.2f ms, again %7.2f ms\n", fs::path(argv[i]).filename().c_str(), times[0], times[1]);
    }
    std::printf("open and first read, presets converted afresh: median %.2f ms, worst %.2f ms (%zu songs)\n",
                median(fresh), *std::max_element(fresh.begin(), fresh.end()), fresh.size());
    std::printf("open and first read, preset structures kept: median %.2f ms, worst %.2f ms\n", median(again),
                *std::max_element(again.begin(), again.end()));
    std::printf("peak resident memory of the process: %.1f MB\n", statusMb("VmHWM:"));
    return 0;
}
