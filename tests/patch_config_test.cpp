// Patch configuration files: program and drum lines into the templates of
// their banks, their options, nested files, and what is skipped.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "instruments/patch_config.h"
#include "instruments/patch_path.h"

namespace tz {
namespace {

TEST(PatchConfig, ProgramsOptionsBanksAndNestedFiles) {
    const std::map<std::string, std::string> files = {
        {"/cfg/main.cfg",
         "dir /pats   # where they lie\n"
         "bank 0\n"
         " 0 Tone_000/000_Piano.pat amp=120 pan=center\n"
         "drumset 0\n"
         "35\tDrum_000/035_Kick.pat note=36 keep=loop strip=tail pan=-100 tune=3\n"
         "source more.cfg\n"
         "soundfont some.sf2\n"
         "bank 300\n"
         "1 lost.pat\n"
         "bank 8\n"
         "5 dir8/organ.pat strip=env keep=env pan=100\n"},
        {"/cfg/more.cfg", "dir extra\nbank 2\n7 strings.pat\nsource loop.cfg\n"},
        {"/cfg/loop.cfg", "dir /pats\nsource loop.cfg\n"},
    };
    const ConfigFileReader reader = [&](const std::string& path, std::string& text) {
        auto it = files.find(path);
        if (it == files.end()) return false;
        text = it->second;
        return true;
    };
    PatchConfigReport report;
    auto config = readPatchConfiguration("/cfg/main.cfg", report, reader);
    ASSERT_TRUE(config);

    const ToneEntry& piano = config->melodicTemplates[0]->entries[0];
    EXPECT_EQ(piano.patchName, "Tone_000/000_Piano.pat");
    EXPECT_EQ(piano.amplification, 120);
    EXPECT_EQ(piano.panning, 64);
    EXPECT_EQ(piano.fixedNote, -1);
    EXPECT_EQ(piano.stripLoop, -1);
    const ToneEntry& kick = config->drumTemplates[0]->entries[35];
    EXPECT_EQ(kick.fixedNote, 36);
    EXPECT_EQ(kick.stripLoop, 0);
    EXPECT_EQ(kick.stripTail, 1);
    EXPECT_EQ(kick.panning, 0);
    EXPECT_EQ(kick.amplification, -1);
    const ToneEntry& organ = config->melodicTemplates[8]->entries[5];
    EXPECT_EQ(organ.stripEnvelope, 0);  // the later option wins
    EXPECT_EQ(organ.panning, 127);
    EXPECT_EQ(config->melodicTemplates[2]->entries[7].patchName, "strings.pat");
    EXPECT_EQ(report.programs, 4);

    // Later dirs are searched first (a dir named again moves to the front),
    // then the file's own folder, then the fixed one; a relative dir is the
    // sourcing file's.
    const PatchSearchPath expected{"/pats", "/cfg/extra", "/cfg", "\\PATCHES"};
    EXPECT_EQ(config->patchSearchPath, expected);

    // The option it does not know, the directive it skips, the bank out of
    // range with its program, and the file that sources itself until the
    // depth limit.
    std::map<int, int> problemsByLine;
    int nested = 0;
    for (const PatchConfigProblem& p : report.problems) {
        if (p.file == "/cfg/main.cfg") ++problemsByLine[p.line];
        if (p.reason.find("nest too deeply") != std::string::npos) ++nested;
    }
    EXPECT_EQ(problemsByLine, (std::map<int, int>{{5, 1}, {7, 1}, {8, 1}, {9, 1}}));
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(int(report.files.size()), kMaxSourceDepth + 1);

    // A file that cannot be read gives no configuration.
    PatchConfigReport missing;
    EXPECT_FALSE(readPatchConfiguration("/cfg/none.cfg", missing, reader));
    ASSERT_EQ(missing.problems.size(), 1u);
}

}  // namespace
}  // namespace tz
