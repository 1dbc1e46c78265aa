#include "tests/support/patch_builder.h"

#include <algorithm>
#include <cstring>

namespace tz::test {

namespace {

void put8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
// A text field of fixed size, zero-padded (and cut when too long).
void putText(std::vector<uint8_t>& out, const std::string& text, size_t size) {
    for (size_t i = 0; i < size; ++i) out.push_back(i < text.size() ? uint8_t(text[i]) : 0);
}

}  // namespace

PatchSampleSpec patchSample16(const std::vector<int16_t>& values) {
    PatchSampleSpec s;
    for (int16_t v : values) put16(s.wave, uint16_t(v));
    s.loopEnd = uint32_t(s.wave.size());
    s.modes = 0x01;
    return s;
}

PatchSampleSpec patchSample8(const std::vector<uint8_t>& bytes) {
    PatchSampleSpec s;
    s.wave = bytes;
    s.loopEnd = uint32_t(s.wave.size());
    return s;
}

std::vector<uint8_t> buildPatch(const PatchSpec& spec) {
    std::vector<uint8_t> out;
    putText(out, spec.headerText, 12);
    putText(out, spec.identifier, 10);
    putText(out, "test patch", 60);
    put8(out, spec.instrumentCount);
    put8(out, 14);   // voices
    put8(out, 0);    // channels
    put16(out, uint16_t(spec.samples.size()));
    put16(out, 127);  // master volume
    put32(out, 0);    // data size
    putText(out, "", 36);
    put16(out, 0);  // instrument identifier
    putText(out, "test", 16);
    put32(out, 0);  // instrument size
    put8(out, spec.layerCount);
    putText(out, "", 40);
    put8(out, 0);   // layer duplicate
    put8(out, 0);   // layer number
    put32(out, 0);  // layer size
    put8(out, uint8_t(spec.sampleCountByte < 0 ? spec.samples.size() : size_t(spec.sampleCountByte)));
    putText(out, "", 40);
    for (const PatchSampleSpec& s : spec.samples) {
        putText(out, "wave", 7);
        put8(out, s.fractions);
        put32(out, uint32_t(s.waveSize < 0 ? s.wave.size() : size_t(s.waveSize)));
        put32(out, s.loopStart);
        put32(out, s.loopEnd);
        put16(out, s.sampleRate);
        put32(out, s.lowFrequency);
        put32(out, s.highFrequency);
        put32(out, s.rootFrequency);
        put16(out, 512);  // tune
        put8(out, s.balance);
        for (uint8_t b : s.envelopeRates) put8(out, b);
        for (uint8_t b : s.envelopeOffsets) put8(out, b);
        put8(out, s.tremoloSweep);
        put8(out, s.tremoloRate);
        put8(out, s.tremoloDepth);
        put8(out, s.vibratoSweep);
        put8(out, s.vibratoRate);
        put8(out, s.vibratoDepth);
        put8(out, s.modes);
        put16(out, 60);    // scale frequency
        put16(out, 1024);  // scale factor
        putText(out, "", 36);
        out.insert(out.end(), s.wave.begin(), s.wave.end());
    }
    return out;
}

bool writePatch(const std::filesystem::path& path, const PatchSpec& spec) {
    return writeFileBytes(path, buildPatch(spec));
}

}  // namespace tz::test
