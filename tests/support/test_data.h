// Tests that read Debian's data (the OpenMSX songs, the General-MIDI
// SoundFonts) skip where the packages are missing. The test command
// installs them and sets TZ_REQUIRE_DATA=1: there a missing file fails.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace tz::test {

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
