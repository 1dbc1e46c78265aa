// Patch configuration files: the plain text format GUS-patch players read,
// naming a patch file for each program of a bank and each note of a drum
// set, and the folders the patches lie in:
//
//   dir /usr/share/midi/freepats      # searched for patch files
//   source more.cfg                   # read another file here
//   bank 0                            # the programs that follow are bank 0's
//   0 Tone_000/000_Piano.pat amp=120 pan=center
//   drumset 0                         # the notes that follow are drum set 0's
//   35 Drum_000/035_Kick.pat note=35 keep=loop strip=tail
//
// A program line sets one ToneEntry: amp=PERCENT (0..800), note=N (0..127),
// pan=left|center|right|-100..100, keep=loop|env, strip=loop|env|tail.
// Every other directive is skipped and reported, as is any line that cannot
// be used; the rest of the file still counts.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "instruments/config.h"

namespace tz {

// A line that could not be used, and why.
struct PatchConfigProblem {
    std::string file;  // as named (UTF-8)
    int32_t line = 0;  // 1-based; 0 for the file as a whole
    std::string text;  // the line, cut to a readable length
    std::string reason;
};

struct PatchConfigReport {
    std::vector<std::string> files;  // every file read, the first one first
    std::vector<PatchConfigProblem> problems;
    int32_t programs = 0;  // program and drum lines that name a patch
};

// Limits that keep a hostile configuration bounded: how deep `source` lines
// nest, how many files one configuration reads, how large each may be.
constexpr int kMaxSourceDepth = 8;
constexpr int kMaxConfigFiles = 64;
constexpr size_t kMaxConfigFileBytes = size_t(1) << 20;
constexpr size_t kMaxPatchDirectories = 64;

// Reads the text of a configuration file named by a UTF-8 path; false when
// it cannot be read.
using ConfigFileReader = std::function<bool(const std::string& path, std::string& text)>;
// Reads files from disk, up to kMaxConfigFileBytes.
bool readConfigFileFromDisk(const std::string& path, std::string& text);

// The volume of the patches of a configuration file (its patchVolume):
// patches without amp= are normalised to full scale, and at this level the
// OpenMSX songs played with Debian's freepats do not clip (their loudest
// peaks 1.1 dB under full scale; about -9 dB, the gain banks are made with).
constexpr float kPatchSetVolume = 0.35f;

// Reads the configuration file at `path` (UTF-8) into a new configuration
// that also searches the file's own folder and "\PATCHES". Null, with the
// reason as the report's problem for line 0, when the file cannot be read.
std::shared_ptr<InstrumentConfiguration> readPatchConfiguration(const std::string& path, PatchConfigReport& report,
                                                                const ConfigFileReader& reader = readConfigFileFromDisk);

// Parses one file's text into `config`, as read from `path` (which relative
// `dir` and `source` paths are taken against). `depth` counts the `source`
// lines that led here.
void parsePatchConfiguration(std::string_view text, const std::string& path, InstrumentConfiguration& config,
                             PatchConfigReport& report, const ConfigFileReader& reader, int depth = 0);

}  // namespace tz
