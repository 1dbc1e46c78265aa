// The time a host waits in open: the demuxer reads the bank, reads the song
// and loads its instruments.
//
//   open_bench BANK.dls SONG.mid [SONG.mid ...]
//
// The bank is offered where the plug-in looks for the system bank. Prints the
// best and the median wall time of several opens per song.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "plugin/demuxer.h"
#include "plugin/host_abi.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: open_bench BANK.dls SONG.mid [SONG.mid ...]\n");
        return 2;
    }
    fs::path root = fs::temp_directory_path() / "tz-open-bench";
    fs::create_directories(root / "SYSTEM32" / "drivers");
    fs::path bank = root / "SYSTEM32" / "drivers" / "GM.DLS";
    fs::remove(bank);
    fs::create_symlink(fs::absolute(argv[1]), bank);
    setenv("SystemRoot", root.c_str(), 1);

    tz::IPlugin* plugin = tz::createMidiDemuxerPlugin();
    auto* demuxer = static_cast<tz::IDemuxerPlugin*>(plugin)->createDemuxer();
    auto* midi = static_cast<tz::CMidiDemuxer*>(demuxer);
    std::printf("bank: %s (%.1f MB)\n", argv[1], double(fs::file_size(argv[1])) / 1e6);
    std::vector<double> all;
    for (int i = 2; i < argc; ++i) {
        std::u16string path = tz::utf8ToUtf16(argv[i]);
        std::vector<double> times;
        for (int round = 0; round < 7; ++round) {
            auto start = std::chrono::steady_clock::now();
            bool ok = midi->openPath(path.c_str());
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            if (!ok) {
                std::printf("%-36s does not open\n", fs::path(argv[i]).filename().c_str());
                break;
            }
            times.push_back(ms);
        }
        if (times.empty()) continue;
        std::sort(times.begin(), times.end());
        all.push_back(times[times.size() / 2]);
        std::printf("%-36s open: best %6.2f ms, median %6.2f ms\n", fs::path(argv[i]).filename().c_str(), times[0],
                    times[times.size() / 2]);
    }
    if (!all.empty()) {
        std::sort(all.begin(), all.end());
        std::printf("%-36s open: median %6.2f ms, worst median %6.2f ms\n", "all songs", all[all.size() / 2],
                    all.back());
    }
    demuxer->release();
    plugin->release();
    fs::remove_all(root);
    return 0;
}
