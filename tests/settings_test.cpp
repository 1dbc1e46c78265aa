// The settings file as a listener writes one: comments, quotes, environment
// references and relative paths, and every line it cannot use reported while
// the rest still counts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/paths.h"
#include "song/settings.h"
#include "tests/support/files.h"

namespace tz {
namespace {

namespace fs = std::filesystem;

TEST(Settings, KeysCommentsPathsAndTheLinesThatCannotBeUsed) {
    const fs::path dir = fs::path(::testing::TempDir()) / ("settings_" + std::to_string(::getpid()));
    ASSERT_TRUE(test::writeFileBytes(dir / "banks" / "my bank.dls", std::vector<uint8_t>{1}));
    ASSERT_TRUE(test::writeFileBytes(dir / "freepats.cfg", std::vector<uint8_t>{1}));
    ::setenv("TZ_TEST_BANKS", (dir / "banks").c_str(), 1);
    const std::string path = (dir / "tz_midi.ini").string();

    const SettingsFile file = parseSettings(
        "\xEF\xBB\xBF# a comment\n"
        "; another\n"
        "BANK = \"$TZ_TEST_BANKS/my bank.dls\"  # trailing comment\r\n"
        "patches=freepats.cfg\n"
        "colour = blue\n"
        "just some words\n"
        "patches = missing.cfg\n",
        path);
    EXPECT_EQ(utf16ToUtf8(file.settings.bank), (dir / "banks" / "my bank.dls").string());
    // Relative to the settings file; the later line that cannot be used
    // leaves the earlier value.
    EXPECT_EQ(utf16ToUtf8(file.settings.patches), (dir / "freepats.cfg").string());
    EXPECT_EQ(file.lines[size_t(SettingKey::Bank)], 3);
    EXPECT_EQ(file.lines[size_t(SettingKey::Patches)], 4);
    ASSERT_EQ(file.problems.size(), 3u);
    EXPECT_EQ(file.problems[0].line, 5);
    EXPECT_NE(file.problems[0].reason.find("unknown key 'colour'"), std::string::npos);
    EXPECT_EQ(file.problems[1].line, 6);
    EXPECT_EQ(file.problems[2].line, 7);
    EXPECT_NE(file.problems[2].reason.find("missing.cfg"), std::string::npos);

    // What tools write for the plug-in reads back the same.
    const SettingsFile again = parseSettings(writeSettings(file.settings), path);
    EXPECT_EQ(again.settings.bank, file.settings.bank);
    EXPECT_EQ(again.settings.patches, file.settings.patches);
    EXPECT_TRUE(again.problems.empty());
    // Nothing at all is the defaults.
    EXPECT_TRUE(parseSettings("", path).settings.bank.empty());
    EXPECT_EQ(writeSettings(Settings{}), "");
    ::unsetenv("TZ_TEST_BANKS");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace tz
