#include "tests/host/host_files.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/test_bank.h"


namespace tzhost {

namespace {

// Format 0, division 480, the default tempo: a chord struck at 0 and released
// after four beats (1920 ticks, exactly 88200 samples), plus a drum hit.
std::vector<uint8_t> songBytes() {
    const uint8_t track[] = {
        0x00, 0xC0, 0x00,              // program 0
        0x00, 0x90, 60,   100,         // note on C4
        0x00, 0x90, 64,   90,          // note on E4
        0x00, 0x99, 36,   120,         // drum hit
        0x83, 0x60, 0x80, 60,   0,     // 480 ticks later: release C4... (1 beat)
        0x8B, 0x20, 0x80, 64,   0,     // 1440 ticks later: release E4 (beat 4)
        0x00, 0x89, 36,   0,           // drum off
        0x00, 0xFF, 0x2F, 0x00,        // end of track
    };
    const uint8_t header[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0,
                              'M', 'T', 'r', 'k', 0, 0, 0, uint8_t(sizeof track)};
    std::vector<uint8_t> out(sizeof header + sizeof track);
    std::copy(header, header + sizeof header, out.begin());
    std::copy(track, track + sizeof track, out.begin() + sizeof header);
    return out;
}

}  // namespace

bool writeTestFiles(const std::string& workDir, std::string& error) {
    using tz::test::writeFileBytes;
    const std::filesystem::path work(workDir);
    const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', '\n'};
    if (!writeFileBytes(work / kSongName, songBytes()) || !writeFileBytes(work / kNotMidiName, text) ||
        !writeFileBytes(work / "windows" / "SYSTEM32" / "drivers" / "GM.DLS", tz::test::smallGmBank())) {
        error = "cannot write the test files under " + workDir;
        return false;
    }
    return true;
}

}  // namespace tzhost
