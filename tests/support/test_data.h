// Debian's data the tests read: where its packages put the OpenMSX songs
// (openttd-openmsx) and the General-MIDI SoundFonts (timgm6mb-soundfont,
// fluid-soundfont-gm); scripts/data-paths.sh names the same for the scripts.
// Tests that read them skip where the packages are missing. The test command
// installs them and sets TZ_REQUIRE_DATA=1: there a missing file fails.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace tz::test {

inline constexpr const char* kOpenMsxSongDir = "/usr/share/games/openttd/baseset/openmsx";
inline constexpr const char* kTimGM6mbSoundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2";
inline constexpr const char* kFluidR3SoundFont = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

// The OpenMSX songs, sorted by name; none when the folder is missing.
inline std::vector<std::filesystem::path> openMsxSongs() {
    std::vector<std::filesystem::path> songs;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(kOpenMsxSongDir, error))
        if (entry.path().extension() == ".mid") songs.push_back(entry.path());
    std::sort(songs.begin(), songs.end());
    return songs;
}

inline bool dataRequired() {
    const char* value = std::getenv("TZ_REQUIRE_DATA");
    return value && std::strcmp(value, "1") == 0;
}

}  // namespace tz::test

#define TZ_SKIP_WITHOUT_DATA(why)                                               \
    do {                                                                        \
        if (::tz::test::dataRequired()) {                                       \
            FAIL() << why << " (the test command requires it: TZ_REQUIRE_DATA=1)"; \
        } else {                                                                \
            GTEST_SKIP() << why;                                                \
        }                                                                       \
    } while (0)
