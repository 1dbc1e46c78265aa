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
#include "soundfont/sf2_index.h"
#include "synth/render.h"

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
    tz::StreamPtr stream(tz::createMemoryStream(midi.data(), midi.size()));
    return tz::readSong(tz::SongOptions{}, stream.get(), nullptr);
}

// What loadMarkedInstruments does with a DLS bank, from the SoundFont: each
// marked instrument, a melodic bank other than 0 falling back on bank 0.
bool loadFromSoundFont(tz::MidiSong& song, const tz::SoundFontIndex& index, const tz::ByteSource& file) {
    tz::DlsWaveAccess access;
    access.file = &file;
    for (int n = 127; n >= 0; --n) {
        for (bool drum : {false, true}) {
            tz::ToneBank* tones = drum ? song.drumSets[size_t(n)].get() : song.melodicBanks[size_t(n)].get();
            if (!tones) continue;
            for (int p = 0; p < 128; ++p) {
                tz::InstrumentSlot& slot = tones->instruments[size_t(p)];
                if (!slot.needsLoading) continue;
                slot.needsLoading = false;
                slot.instrument = tz::loadSoundFontInstrument(song, index, drum, n, p, access);
                if (!slot.instrument && n != 0) {
                    tz::ToneBank* fallback = drum ? song.drumSets[0].get() : song.melodicBanks[0].get();
                    if (fallback && fallback->instruments[size_t(p)].empty())
                        fallback->instruments[size_t(p)].needsLoading = true;
                }
            }
        }
    }
    return !access.readFailed;
}

// The whole song rendered, kept as its length and a 64-bit FNV-1a hash of
// its bytes (the bytes themselves would weigh more than the song's waves).
struct Rendered {
    uint64_t bytes = 0;
    uint64_t hash = 14695981039346656037ull;
    bool operator==(const Rendered&) const = default;
};

Rendered renderAll(tz::MidiSong& song) {
    tz::startSong(song);
    Rendered out;
    uint8_t block[4096];
    for (int32_t n; (n = tz::renderBlock(song, block)) > 0;) {
        out.bytes += uint64_t(n);
        for (int32_t i = 0; i < n; ++i) out.hash = (out.hash ^ block[i]) * 1099511628211ull;
    }
    return out;
}

int renderMode(const char* soundFont, const char* songPath, const char* dlsPath) {
    warm(soundFont);
    const std::vector<uint8_t> midi = fileBytes(songPath);
    Rendered fromSoundFont;
    {
        std::unique_ptr<tz::FileSource> file = tz::FileSource::open(tz::utf8ToUtf16(soundFont));
        std::unique_ptr<tz::SoundFontIndex> index = file ? tz::indexSoundFont(*file) : nullptr;
        std::unique_ptr<tz::MidiSong> song = readSong(midi);
        if (!index || !song || !loadFromSoundFont(*song, *index, *file)) {
            std::fprintf(stderr, "sf2_bench: %s or %s cannot be read\n", soundFont, songPath);
            return 1;
        }
        fromSoundFont = renderAll(*song);
    }
    std::printf("%s from %s: %.1f s of audio, peak resident memory %.1f MB\n", fs::path(songPath).filename().c_str(),
                soundFont, double(fromSoundFont.bytes) / (4.0 * 44100.0), statusMb("VmHWM:"));
    if (!dlsPath) return 0;
    std::unique_ptr<tz::FileSource> bankFile = tz::FileSource::open(tz::utf8ToUtf16(dlsPath));
    std::unique_ptr<tz::DlsCollection> dls = bankFile ? tz::indexDlsCollection(*bankFile) : nullptr;
    tz::StreamPtr stream(tz::createMemoryStream(midi.data(), midi.size()));
    std::unique_ptr<tz::MidiSong> song = dls ? tz::createSong(tz::SongOptions{}, stream.get(), dls.get(), bankFile.get())
                                             : nullptr;
    if (!song) {
        std::fprintf(stderr, "sf2_bench: %s cannot be read\n", dlsPath);
        return 1;
    }
    const bool same = renderAll(*song) == fromSoundFont;
    std::printf("  the same bytes as from %s: %s\n", dlsPath, same ? "yes" : "NO");
    return same ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    tz::acquireInstrumentConfiguration();
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
    std::unique_ptr<tz::SoundFontIndex> index;
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
            if (!song || !loadFromSoundFont(*song, *index, *file)) {
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
