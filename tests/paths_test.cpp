#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/paths.h"

namespace tz {
namespace {

namespace fs = std::filesystem;

TEST(PlatformUtf, SurrogatePairsAndMalformedInput) {
    // "Grüße 🎵" in UTF-16 with a surrogate pair for the note.
    std::u16string wide = u"Gr\u00fc\u00dfe \U0001F3B5";
    std::string narrow = utf16ToUtf8(wide);
    EXPECT_EQ(narrow, "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x8E\xB5");
    EXPECT_EQ(utf8ToUtf16(narrow), wide);
    // Lone surrogates and broken UTF-8 become the replacement character.
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8ToUtf16("a\xC3"), u"a\uFFFD");
    EXPECT_EQ(utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
}

TEST(PlatformEnvironment, ExpandsKnownNamesAndKeepsTheRest) {
    ::setenv("TZ_TEST_ROOT", "/opt/win", 1);
    ::unsetenv("TZ_TEST_UNSET");
    EXPECT_EQ(expandEnvironmentStrings(u"%TZ_TEST_ROOT%\\SYSTEM32"), u"/opt/win\\SYSTEM32");
    EXPECT_EQ(expandEnvironmentStrings(u"%TZ_TEST_UNSET%\\x"), u"%TZ_TEST_UNSET%\\x");
    EXPECT_EQ(expandEnvironmentStrings(u"a%TZ_TEST_UNSET%TZ_TEST_ROOT%b"), u"a%TZ_TEST_UNSET/opt/winb");
    EXPECT_EQ(expandEnvironmentStrings(u"50% of %TZ_TEST_ROOT"), u"50% of %TZ_TEST_ROOT");
    EXPECT_EQ(expandEnvironmentStrings(u"%%"), u"%%");
    // The result is cut to the buffer, terminator included.
    std::u16string longText(300, u'x');
    EXPECT_EQ(expandEnvironmentStrings(longText, 255).size(), 254u);
}

class PlatformPathMapping : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("tz-paths-" + std::to_string(::getpid()));
        fs::create_directories(root / "Windows" / "system32" / "drivers");
        fs::create_directories(root / "\xC3\x84rger" / "\xD0\x9C\xD1\x83\xD0\xB7\xD1\x8B\xD0\xBA\xD0\xB0");  // Ärger/Музыка
        std::ofstream(root / "Windows" / "system32" / "drivers" / "gm.dls") << "bank";
        std::ofstream(root / "\xC3\x84rger" / "\xD0\x9C\xD1\x83\xD0\xB7\xD1\x8B\xD0\xBA\xD0\xB0" / "Song.mid") << "song";
    }
    void TearDown() override { fs::remove_all(root); }
    fs::path root;
};

TEST_F(PlatformPathMapping, FindsComponentsWhateverTheirCase) {
    std::string wanted = root.string() + "\\WINDOWS\\SYSTEM32\\drivers\\GM.DLS";
    EXPECT_EQ(mapPlatformPath(wanted), (root / "Windows" / "system32" / "drivers" / "gm.dls").string());
    std::FILE* f = openFileNarrow(wanted);
    ASSERT_NE(f, nullptr);
    std::fclose(f);
}

TEST_F(PlatformPathMapping, OpensNonAsciiNamesByUtf16Path) {
    // äRGER/мУЗЫКА/song.MID: case differs in every non-ASCII component.
    std::u16string path = utf8ToUtf16(root.string()) + u"/\u00e4RGER/\u043c\u0423\u0417\u042b\u041a\u0410/song.MID";
    std::FILE* f = openFileUtf16(path);
    ASSERT_NE(f, nullptr);
    char text[5] = {};
    EXPECT_EQ(std::fread(text, 1, 4, f), 4u);
    EXPECT_STREQ(text, "song");
    std::fclose(f);
}

TEST_F(PlatformPathMapping, MissingFilesStayMissing) {
    EXPECT_EQ(openFileNarrow(root.string() + "/windows/system32/drivers/none.dls"), nullptr);
    EXPECT_EQ(openFileUtf16(u"%SystemRootThatIsNotSet%\\SYSTEM32\\drivers\\GM.DLS"), nullptr);
}

}  // namespace
}  // namespace tz
