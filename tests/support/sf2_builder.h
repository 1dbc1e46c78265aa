// Writes small SoundFont 2 files from a few lines of code, for the bank
// converter's tests and fuzz seeds.
//
//   Sf2Builder sf;
//   int s = sf.sample("sine", values, 44100, 60);
//   int i = sf.instrument("Sine", {sf2Zone({sf2Gen(Sf2GenSampleModes, 1)}, s)});
//   sf.preset("Sine", 0, 0, {sf2Zone({}, i)});
//   std::vector<uint8_t> bytes = sf.bytes();
//
// A zone's target (instrument or sample index) is written as its last
// generator; a target of -1 makes a global zone. Nothing is checked, so tests
// may write malformed data on purpose.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace tz::test {

struct Sf2BuilderGen {
    uint16_t op = 0;
    uint16_t amount = 0;
};

struct Sf2BuilderZone {
    std::vector<Sf2BuilderGen> generators;
    int target = -1;
};

struct Sf2BuilderSample {
    std::string name;
    std::vector<int16_t> values;
    uint32_t loopStart = 0;  // relative to the sample's first value
    uint32_t loopEnd = 0;    // first value after the loop
    uint32_t sampleRate = 44100;
    uint8_t originalPitch = 60;
    int8_t pitchCorrection = 0;
    uint16_t sampleLink = 0;
    uint16_t sampleType = 1;  // mono
};

Sf2BuilderGen sf2Gen(uint16_t op, int16_t amount);
Sf2BuilderGen sf2Range(uint16_t op, int lo, int hi);  // key or velocity range
Sf2BuilderZone sf2Zone(std::vector<Sf2BuilderGen> generators, int target);

class Sf2Builder {
public:
    // Each returns the index of what it added.
    int sample(const Sf2BuilderSample& s);
    int sample(const std::string& name, std::vector<int16_t> values, uint32_t rate = 44100, uint8_t pitch = 60);
    int instrument(const std::string& name, std::vector<Sf2BuilderZone> zones);
    int preset(const std::string& name, uint16_t program, uint16_t bank, std::vector<Sf2BuilderZone> zones);

    std::string bankName = "Test bank";
    uint16_t versionMajor = 2;
    uint16_t versionMinor = 1;

    // The whole file. Samples are laid out one after another in "smpl",
    // each followed by 46 zero values, after a lead-in of 8 zero values.
    std::vector<uint8_t> bytes() const;
    // Where sample i starts in "smpl", in values.
    uint32_t sampleStart(int index) const;

private:
    struct Named {
        std::string name;
        uint16_t program = 0;
        uint16_t bank = 0;
        std::vector<Sf2BuilderZone> zones;
    };
    std::vector<Sf2BuilderSample> samples_;
    std::vector<Named> instruments_;
    std::vector<Named> presets_;
};

// A small bank: programs 0 and 5 of bank 0 on one sample (5 an octave up),
// and drum set 0 with notes 36 and 38 on another.
std::vector<uint8_t> smallSoundFont();

}  // namespace tz::test
