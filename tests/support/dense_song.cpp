#include "tests/support/dense_song.h"

#include "tests/support/smf_builder.h"

namespace tz::test {

std::vector<uint8_t> denseSong() {
    SmfBuilder smf(1, 480);
    SmfTrack& conductor = smf.track();
    conductor.tempo(0, 500000);
    const int programs[] = {0, 8, 16, 24};
    uint32_t seed = 2024;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int channel = 0; channel < 16; ++channel) {
        SmfTrack& t = smf.track();
        if (channel != 9) t.program(0, channel, programs[channel % 4]);
        t.controller(0, channel, 10, (channel * 37) % 128);
        std::vector<int> held;
        for (int beat = 0; beat < 120; ++beat) {
            std::vector<int> chord;
            const int root = channel == 9 ? 35 + int(next() % 40) : 36 + int(next() % 48);
            for (int k = 0; k < 3; ++k) chord.push_back(root + (channel == 9 ? k : 4 * k));
            for (int note : chord) t.noteOn(0, channel, note, 60 + int(next() % 60));
            if (beat % 4 == 1) t.pitchBend(0, channel, int(next() % 16384));
            if (beat % 8 == 3) t.controller(0, channel, 7, 60 + int(next() % 60));
            // Release the chord struck a beat earlier, a beat later.
            t.chordOff(480, channel, held);
            if (held.empty()) t.controller(480, channel, 11, 127);
            held = chord;
        }
        t.chordOff(960, channel, held);
    }
    return smf.bytes();
}

}  // namespace tz::test
