// Writes GUS patch (.pat) files from a few lines of test code.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace tz::test {

struct PatchSampleSpec {
    std::vector<uint8_t> wave;   // wave data exactly as stored in the file
    int64_t waveSize = -1;       // size field; -1: the size of `wave`
    uint8_t fractions = 0;       // low nibble loop start, high nibble loop end
    uint32_t loopStart = 0;      // bytes
    uint32_t loopEnd = 0;        // bytes
    uint16_t sampleRate = 44100;
    uint32_t lowFrequency = 0;
    uint32_t highFrequency = 12543854;
    uint32_t rootFrequency = 440000;
    uint8_t balance = 7;
    uint8_t envelopeRates[6] = {63, 63, 63, 63, 63, 63};
    uint8_t envelopeOffsets[6] = {255, 255, 255, 0, 0, 0};
    uint8_t tremoloSweep = 0, tremoloRate = 0, tremoloDepth = 0;
    uint8_t vibratoSweep = 0, vibratoRate = 0, vibratoDepth = 0;
    uint8_t modes = 0;
};

// 16-bit signed samples (mode 0x01), the loop covering the whole wave.
PatchSampleSpec patchSample16(const std::vector<int16_t>& values);
// 8-bit samples as raw bytes (signed unless the unsigned mode bit is set).
PatchSampleSpec patchSample8(const std::vector<uint8_t>& bytes);

struct PatchSpec {
    std::string headerText = "GF1PATCH110";  // written with its zero byte
    std::string identifier = "ID#000002";
    uint8_t instrumentCount = 1;
    uint8_t layerCount = 1;
    int sampleCountByte = -1;  // -1: the number of samples
    std::vector<PatchSampleSpec> samples;
};

std::vector<uint8_t> buildPatch(const PatchSpec& spec);
bool writePatch(const std::filesystem::path& path, const PatchSpec& spec);

}  // namespace tz::test
