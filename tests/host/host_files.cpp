#include "tests/host/host_files.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "tests/support/test_bank.h"

#ifdef _WIN32
#include <direct.h>
#define makeDir(p) _mkdir(p)
#else
#include <sys/stat.h>
#define makeDir(p) mkdir(p, 0755)
#endif

namespace tzhost {

namespace {

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

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
    std::vector<uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0,
                                'M', 'T', 'r', 'k', 0, 0, 0, uint8_t(sizeof track)};
    out.insert(out.end(), track, track + sizeof track);
    return out;
}

}  // namespace

bool writeTestFiles(const std::string& workDir, std::string& error) {
    makeDir(workDir.c_str());
    std::string windows = workDir + "/windows";
    makeDir(windows.c_str());
    makeDir((windows + "/SYSTEM32").c_str());
    makeDir((windows + "/SYSTEM32/drivers").c_str());
    const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', '\n'};
    if (!writeFile(workDir + "/" + kSongName, songBytes()) || !writeFile(workDir + "/" + kNotMidiName, text) ||
        !writeFile(windows + "/SYSTEM32/drivers/GM.DLS", tz::test::smallGmBank())) {
        error = "cannot write the test files under " + workDir;
        return false;
    }
    return true;
}

}  // namespace tzhost
