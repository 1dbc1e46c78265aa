// Replays every input the fuzzers once found a fault with, and the seeds,
// through the same target functions.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz/fuzz_targets.h"
#include "tests/support/files.h"

namespace tz {
namespace {

namespace fs = std::filesystem;

void replay(const char* folder, int (*target)(const uint8_t*, size_t)) {
    fs::path dir = fs::path(TZ_SOURCE_DIR) / "fuzz" / "regressions" / folder;
    if (!fs::exists(dir)) GTEST_SKIP() << "no regression inputs in " << dir;
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::vector<uint8_t> bytes = test::readFileBytes(entry.path());
        SCOPED_TRACE(entry.path().string());
        target(bytes.data(), bytes.size());
        ++count;
    }
    ::testing::Test::RecordProperty("inputs", count);
}

TEST(FuzzRegression, MidiFiles) { replay("smf", fuzz::smfTarget); }
TEST(FuzzRegression, DlsBanks) { replay("dls", fuzz::dlsTarget); }
TEST(FuzzRegression, Patches) { replay("patch", fuzz::patchTarget); }
TEST(FuzzRegression, PluginPath) { replay("plugin", fuzz::pluginTarget); }
TEST(FuzzRegression, SoundFonts) { replay("sf2", fuzz::sf2Target); }
TEST(FuzzRegression, SettingsFiles) { replay("settings", fuzz::settingsTarget); }
TEST(FuzzRegression, PatchConfigurations) { replay("patchcfg", fuzz::patchConfigTarget); }

}  // namespace
}  // namespace tz
