// SoundFont 2 bank reader: the preset, instrument and sample hierarchy of an
// "sfbk" RIFF file, checked against itself so the converter can trust every
// index it finds here, and where its sample points lie.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tz {

class ByteSource;

// Generator operators used by the converter.
enum Sf2GeneratorOp : uint16_t {
    Sf2GenStartAddrsOffset = 0,
    Sf2GenEndAddrsOffset = 1,
    Sf2GenStartloopAddrsOffset = 2,
    Sf2GenEndloopAddrsOffset = 3,
    Sf2GenStartAddrsCoarseOffset = 4,
    Sf2GenModLfoToPitch = 5,
    Sf2GenVibLfoToPitch = 6,
    Sf2GenModEnvToPitch = 7,
    Sf2GenInitialFilterFc = 8,
    Sf2GenInitialFilterQ = 9,
    Sf2GenModLfoToFilterFc = 10,
    Sf2GenModEnvToFilterFc = 11,
    Sf2GenEndAddrsCoarseOffset = 12,
    Sf2GenModLfoToVolume = 13,
    Sf2GenChorusEffectsSend = 15,
    Sf2GenReverbEffectsSend = 16,
    Sf2GenPan = 17,
    Sf2GenDelayModLfo = 21,
    Sf2GenFreqModLfo = 22,
    Sf2GenDelayVibLfo = 23,
    Sf2GenFreqVibLfo = 24,
    Sf2GenDelayModEnv = 25,
    Sf2GenAttackModEnv = 26,
    Sf2GenHoldModEnv = 27,
    Sf2GenDecayModEnv = 28,
    Sf2GenSustainModEnv = 29,
    Sf2GenReleaseModEnv = 30,
    Sf2GenKeynumToModEnvHold = 31,
    Sf2GenKeynumToModEnvDecay = 32,
    Sf2GenDelayVolEnv = 33,
    Sf2GenAttackVolEnv = 34,
    Sf2GenHoldVolEnv = 35,
    Sf2GenDecayVolEnv = 36,
    Sf2GenSustainVolEnv = 37,
    Sf2GenReleaseVolEnv = 38,
    Sf2GenKeynumToVolEnvHold = 39,
    Sf2GenKeynumToVolEnvDecay = 40,
    Sf2GenInstrument = 41,
    Sf2GenKeyRange = 43,
    Sf2GenVelRange = 44,
    Sf2GenStartloopAddrsCoarseOffset = 45,
    Sf2GenKeynum = 46,
    Sf2GenVelocity = 47,
    Sf2GenInitialAttenuation = 48,
    Sf2GenEndloopAddrsCoarseOffset = 50,
    Sf2GenCoarseTune = 51,
    Sf2GenFineTune = 52,
    Sf2GenSampleId = 53,
    Sf2GenSampleModes = 54,
    Sf2GenScaleTuning = 56,
    Sf2GenExclusiveClass = 57,
    Sf2GenOverridingRootKey = 58,
    Sf2GeneratorCount = 61,
};

// sfSampleType bits.
enum Sf2SampleType : uint16_t {
    Sf2SampleMono = 0x0001,
    Sf2SampleRight = 0x0002,
    Sf2SampleLeft = 0x0004,
    Sf2SampleLinked = 0x0008,
    Sf2SampleCompressed = 0x0010,
    Sf2SampleRom = 0x8000,
};

struct Sf2Generator {
    uint16_t op = 0;
    uint16_t amount = 0;  // signed, unsigned or a lo/hi byte range, by op
};

// A zone's generators, without the terminal instrument or sample generator;
// `target` is that generator's index, or -1 for a global zone.
struct Sf2Zone {
    std::vector<Sf2Generator> generators;
    int32_t target = -1;
};

struct Sf2Preset {
    std::string name;
    uint16_t program = 0;
    uint16_t bank = 0;
    bool hasGlobalZone = false;  // zones[0] is the global zone
    std::vector<Sf2Zone> zones;
};

struct Sf2Instrument {
    std::string name;
    bool hasGlobalZone = false;
    std::vector<Sf2Zone> zones;
};

struct Sf2Sample {
    std::string name;
    uint32_t start = 0;  // in sample points from the start of "smpl"
    uint32_t end = 0;    // first point after the sample
    uint32_t loopStart = 0;
    uint32_t loopEnd = 0;  // first point after the loop
    uint32_t sampleRate = 0;
    uint8_t originalPitch = 60;
    int8_t pitchCorrection = 0;  // cents
    uint16_t sampleLink = 0;
    uint16_t sampleType = Sf2SampleMono;
};

struct Sf2Bank {
    std::string name;  // INFO "INAM"
    uint16_t versionMajor = 0;
    uint16_t versionMinor = 0;
    std::vector<Sf2Preset> presets;          // without the terminal record
    std::vector<Sf2Instrument> instruments;  // without the terminal record
    std::vector<Sf2Sample> samples;          // without the terminal record
    // The 16-bit little-endian sample points of "smpl" start at byte
    // `sampleDataOffset` of the file and there are `sampleCount` of them.
    uint64_t sampleDataOffset = 0;
    uint32_t sampleCount = 0;
    // The whole file when it was parsed from memory (parseSf2); empty when
    // only its structure was read (readSf2).
    std::vector<uint8_t> file;
};

// Why a file could not be read as a SoundFont.
enum class Sf2ReadStatus : uint8_t {
    Ok,
    NotSoundFont,  // no RIFF "sfbk" header
    Damaged,       // chunks past their list, a table missing or out of step, an index out of range
    Unsupported,   // version 3 and later (compressed samples)
    ReadFailed,    // the source could not be read
};

// Reads the structure of a SoundFont 2 file: the INFO list, the hydra, and
// where the sample points lie, not the points themselves. Zone targets are
// checked to name an existing instrument or sample; sample headers are
// returned as they stand (the converter checks their points against
// `sampleCount`). On failure `error` says why.
Sf2ReadStatus readSf2(const ByteSource& file, Sf2Bank& bank, std::string& error);

// Parses a SoundFont 2 file held in `bytes` (taken over by the bank). Zone
// targets are checked to name an existing instrument or sample; sample
// headers are returned as they stand (the converter checks their points
// against `sampleCount`). On failure returns false with `error` saying why.
bool parseSf2(std::vector<uint8_t> bytes, Sf2Bank& bank, std::string& error);

// Reads and parses a file; the error names the file.
bool loadSf2File(const std::string& path, Sf2Bank& bank, std::string& error);

}  // namespace tz
