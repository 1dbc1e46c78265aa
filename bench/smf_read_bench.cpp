// Time to read a 1 MB Standard MIDI File into its event array.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "midi/smf_reader.h"
#include "platform/input_stream.h"
#include "records/midi_song.h"
#include "tests/support/smf_builder.h"

namespace {

// Sixteen tracks of notes, controllers, bends and occasional tempo changes,
// about 1 MB in all.
std::vector<uint8_t> buildSong(size_t targetBytes) {
    tz::test::SmfBuilder smf(1, 480);
    const int tracks = 16;
    std::vector<tz::test::SmfTrack*> t;
    for (int i = 0; i < tracks; ++i) t.push_back(&smf.track().useRunningStatus());
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    size_t bytes = 0;
    while (bytes < targetBytes) {
        bytes = 0;
        for (int i = 0; i < tracks; ++i) {
            tz::test::SmfTrack& track = *t[size_t(i)];
            const int channel = i;
            const int note = 36 + int(next() % 48);
            track.noteOn(next() % 120, channel, note, 1 + int(next() % 127));
            switch (next() % 8) {
            case 0: track.controller(0, channel, 7, int(next() % 128)); break;
            case 1: track.pitchBend(next() % 10, channel, int(next() % 16384)); break;
            case 2: track.controller(0, channel, 64, (next() & 1) ? 127 : 0); break;
            case 3: if (i == 0) track.tempo(0, 400000 + next() % 200000); break;
            default: break;
            }
            track.noteOn(next() % 240, channel, note, 0);
            bytes += track.data().size();
        }
    }
    return smf.bytes();
}

}  // namespace

int main() {
    const std::vector<uint8_t> file = buildSong(size_t(1) << 20);
    std::vector<double> times, cpuTimes;
    size_t events = 0;
    int32_t length = 0;
    for (int round = 0; round < 30; ++round) {
        tz::StreamPtr stream(tz::createMemoryStream(file.data(), file.size()));
        auto song = std::make_unique<tz::MidiSong>();
        song->outputRate = 44100;
        song->drumChannelMask = 0x8200;
        song->melodicBanks[0] = std::make_unique<tz::ToneBank>();
        song->drumSets[0] = std::make_unique<tz::ToneBank>();
        timespec cpuStart, cpuStop;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
        const auto start = std::chrono::steady_clock::now();
        const bool ok = tz::readMidiFile(*song, stream.get());
        const auto stop = std::chrono::steady_clock::now();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStop);
        cpuTimes.push_back((cpuStop.tv_sec - cpuStart.tv_sec) * 1e3 + (cpuStop.tv_nsec - cpuStart.tv_nsec) / 1e6);
        if (!ok) {
            std::fprintf(stderr, "reading failed\n");
            return 1;
        }
        events = song->events.size();
        length = song->events.back().time;
        times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    std::sort(cpuTimes.begin(), cpuTimes.end());
    std::printf("smf_read: %zu bytes, %zu events, %.1f s of music\n", file.size(), events, length / 44100.0);
    std::printf("  wall: min %.2f ms, median %.2f ms; thread CPU: min %.2f ms, median %.2f ms (target < 20 ms)\n",
                times.front(), times[times.size() / 2], cpuTimes.front(), cpuTimes[cpuTimes.size() / 2]);
    return 0;
}
