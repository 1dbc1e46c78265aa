// The installed layout: tzmidi in bin/, the plug-in in a library folder of its
// own, and tzmidi finding it there when run from any folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/support/files.h"
#include "tests/support/run_command.h"
#include "tests/support/smf_builder.h"
#include "tests/support/test_bank.h"

namespace tz {
namespace {

namespace fs = std::filesystem;

TEST(Install, TzmidiFindsTheInstalledPluginFromAnyFolder) {
    const fs::path work = fs::path(TZ_BINARY_DIR) / ("install-test-" + std::to_string(::getpid()));
    fs::remove_all(work);
    const fs::path prefix = work / "prefix";
    test::CommandResult installed = test::runCommand("cmake --install '" TZ_BINARY_DIR "' --prefix '" + prefix.string() + "'");
    ASSERT_EQ(installed.status, 0) << installed.output;
    ASSERT_TRUE(fs::exists(prefix / "bin" / "tzmidi"));
    ASSERT_FALSE(fs::exists(prefix / "bin" / "tz_midi.so"));
    ASSERT_TRUE(fs::exists(prefix / "share" / "doc" / "tz_midi" / "README.md"));

    test::SmfBuilder smf(0, 480);
    smf.track().noteOn(0, 0, 60, 100).noteOff(480, 0, 60);
    ASSERT_TRUE(test::writeFileBytes(work / "song.mid", smf.bytes()));
    ASSERT_TRUE(test::writeFileBytes(work / "bank.dls", test::smallGmBank()));

    test::CommandResult rendered = test::runCommand(
        "cd / && '" + (prefix / "bin" / "tzmidi").string() + "' render '" + (work / "song.mid").string() + "' -o '" +
        (work / "song.wav").string() + "' --bank '" + (work / "bank.dls").string() + "' --quiet");
    EXPECT_EQ(rendered.status, 0) << rendered.output;
    // Half a second at 120 bpm and the standard sound's second of tail, 44
    // bytes of header.
    EXPECT_EQ(fs::file_size(work / "song.wav"), 44u + (22050u + 44100u) * 4u);
    fs::remove_all(work);
}

}  // namespace
}  // namespace tz
