// The time a host waits in open, and what songs on one bank cost in memory.
//
//   open_bench BANK.dls SONG.mid [SONG.mid ...]
//
// The bank is named in a settings file the plug-in reads (TZ_MIDI_SETTINGS),
// and read once beforehand so that it lies in the page cache. Prints:
// - the first open in the process (the bank is indexed then);
// - the settings read and the bank chosen, as every open does them;
// - later opens: seven per song, their median per song, and the median and
//   the worst of those over the songs; the same for an open followed by the
//   first read, where the song's instruments are loaded;
// - a playlist scan: ten rounds of open, read the length, close for every
//   song, each with a demuxer of its own;
// - the memory of eight demuxers alive at once on eight songs: the growth of
//   the resident set and the distinct sample data they hold.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/paths.h"
#include "plugin/demuxer.h"
#include "plugin/host_abi.h"
#include "records/midi_song.h"
#include "song/bank_cache.h"
#include "song/settings.h"

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

// Resident memory in MB (Linux), 0 elsewhere.
double residentMb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    if (!(statm >> pages >> resident)) return 0.0;
    return double(resident) * 4096.0 / 1e6;
}

tz::CMidiDemuxer* newDemuxer(tz::IPlugin* plugin) {
    return static_cast<tz::CMidiDemuxer*>(static_cast<tz::IDemuxerPlugin*>(plugin)->createDemuxer());
}

// Bytes of sample data the songs hold, each distinct buffer counted once.
double distinctSampleMb(const std::vector<tz::CMidiDemuxer*>& demuxers) {
    std::set<const int16_t*> seen;
    double bytes = 0;
    for (tz::CMidiDemuxer* d : demuxers) {
        if (!d->player()) continue;
        const tz::MidiSong* song = &d->player()->song();
        for (const auto* banks : {&song->melodicBanks, &song->drumSets})
            for (const auto& bank : *banks) {
                if (!bank) continue;
                for (const tz::InstrumentSlot& slot : bank->instruments) {
                    if (!slot.instrument) continue;
                    for (const tz::Sample& s : slot.instrument->samples)
                        if (seen.insert(s.data.get()).second) bytes += 2.0 * double(s.dataLength >> tz::kFractionBits);
                }
            }
    }
    return bytes / 1e6;
}

// Names the bank in a settings file of its own (TZ_MIDI_SETTINGS), and reads
// it once so that it lies in the page cache. Returns the settings' folder.
fs::path offerAsSettingsBank(const char* bankPath) {
    fs::path root = fs::temp_directory_path() / ("tz-open-bench-" + std::to_string(::getpid()));
    fs::create_directories(root);
    const fs::path settingsFile = root / "tz_midi.ini";
    {
        tz::Settings settings;
        settings.bank = tz::utf8ToUtf16(fs::absolute(bankPath).string());
        std::ofstream(settingsFile) << tz::writeSettings(settings);
    }
    setenv("TZ_MIDI_SETTINGS", settingsFile.c_str(), 1);
    std::ifstream warm(bankPath, std::ios::binary);
    std::vector<char> piece(1 << 20);
    while (warm.read(piece.data(), std::streamsize(piece.size())) || warm.gcount() > 0) {
    }
    return root;
}

struct Playlist {
    std::vector<std::u16string> paths;
    std::vector<std::string> names;  // file names, for the report
};

void timeFirstOpen(tz::CMidiDemuxer& midi, const Playlist& songs) {
    const auto start = Clock::now();
    const bool ok = midi.openPath(songs.paths[0].c_str());
    std::printf("first open in the process: %.2f ms (%s)%s\n", msSince(start), songs.names[0].c_str(),
                ok ? "" : ", does not open");
}

// What every open does before the song is read: the settings file looked up
// and checked for changes, the bank's index found for its file.
void timeSettingsAndBank() {
    std::vector<double> times;
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        std::shared_ptr<const tz::SettingsFile> settings = tz::pluginSettings();
        tz::OpenBank opened = tz::openBank(settings->settings.bank);
        times.push_back(msSince(start));
        if (!opened) break;
    }
    std::printf("settings read and bank chosen: median %.3f ms, worst %.3f ms\n", median(times),
                *std::max_element(times.begin(), times.end()));
}

// Seven opens per song, and seven opens with their first read: per song the
// best and the median, over the songs the median and the worst median.
void timeLaterOpens(tz::CMidiDemuxer& midi, const Playlist& songs) {
    std::vector<double> medians, firstReadMedians;
    uint8_t block[4096];
    for (size_t i = 0; i < songs.paths.size(); ++i) {
        std::vector<double> times, withRead;
        for (int round = 0; round < 7; ++round) {
            auto start = Clock::now();
            if (!midi.openPath(songs.paths[i].c_str())) break;
            times.push_back(msSince(start));
            start = Clock::now();
            if (!midi.openPath(songs.paths[i].c_str())) break;
            midi.read(block, int32_t(sizeof block));
            withRead.push_back(msSince(start));
        }
        if (times.empty() || withRead.empty()) {
            std::printf("  %-34s does not open\n", songs.names[i].c_str());
            continue;
        }
        medians.push_back(median(times));
        firstReadMedians.push_back(median(withRead));
        std::printf("  %-34s open: best %6.2f ms, median %6.2f ms; with the first read: median %6.2f ms\n",
                    songs.names[i].c_str(), *std::min_element(times.begin(), times.end()), medians.back(),
                    firstReadMedians.back());
    }
    if (medians.empty()) return;
    std::printf("later opens: median %.2f ms, worst song's median %.2f ms\n", median(medians),
                *std::max_element(medians.begin(), medians.end()));
    std::printf("later opens with their first read: median %.2f ms, worst song's median %.2f ms\n",
                median(firstReadMedians), *std::max_element(firstReadMedians.begin(), firstReadMedians.end()));
}

// A playlist scan, as a host that wants every song's length does it: ten
// rounds of open, length, close, each song with a demuxer of its own.
void timePlaylistScan(tz::IPlugin* plugin, const Playlist& songs) {
    std::vector<double> rounds;
    for (int round = 0; round < 10; ++round) {
        const auto start = Clock::now();
        for (const std::u16string& song : songs.paths) {
            tz::CMidiDemuxer* d = newDemuxer(plugin);
            if (d->openPath(song.c_str())) (void)d->format()->lengthSeconds;
            d->release();
        }
        rounds.push_back(msSince(start));
    }
    std::vector<double> later(rounds.begin() + 1, rounds.end());
    std::printf("playlist scan of %zu songs: first round %.1f ms, later rounds median %.1f ms, worst %.1f ms\n",
                songs.paths.size(), rounds[0], median(later), *std::max_element(later.begin(), later.end()));
}

// Eight songs alive at once, each read once: the resident set's growth since
// `residentBefore` and the distinct sample data they hold.
void measureSongsAlive(tz::IPlugin* plugin, const Playlist& songs, double residentBefore) {
    std::vector<tz::CMidiDemuxer*> alive;
    uint8_t block[4096];
    for (size_t i = 0; i < songs.paths.size() && alive.size() < 8; ++i) {
        tz::CMidiDemuxer* d = newDemuxer(plugin);
        if (d->openPath(songs.paths[i].c_str()) && d->read(block, int32_t(sizeof block)) > 0)
            alive.push_back(d);
        else
            d->release();
    }
    std::printf("%zu demuxers alive and playing: resident %.1f MB (%.1f MB more than before the first open), "
                "distinct sample data %.1f MB\n",
                alive.size(), residentMb(), residentMb() - residentBefore, distinctSampleMb(alive));
    for (tz::CMidiDemuxer* d : alive) d->release();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: open_bench BANK.dls SONG.mid [SONG.mid ...]\n");
        return 2;
    }
    const fs::path root = offerAsSettingsBank(argv[1]);
    Playlist songs;
    for (int i = 2; i < argc; ++i) {
        songs.paths.push_back(tz::utf8ToUtf16(argv[i]));
        songs.names.push_back(fs::path(argv[i]).filename().string());
    }

    tz::IPlugin* plugin = tz::createMidiDemuxerPlugin();
    std::printf("bank: %s (%.1f MB), %zu songs\n", argv[1], double(fs::file_size(argv[1])) / 1e6, songs.paths.size());
    const double residentBefore = residentMb();
    tz::CMidiDemuxer* midi = newDemuxer(plugin);
    timeFirstOpen(*midi, songs);
    timeSettingsAndBank();
    timeLaterOpens(*midi, songs);
    midi->release();
    timePlaylistScan(plugin, songs);
    measureSongsAlive(plugin, songs, residentBefore);

    plugin->release();
    fs::remove_all(root);
    return 0;
}
