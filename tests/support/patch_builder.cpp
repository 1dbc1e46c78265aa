#include "tests/support/patch_builder.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_writer.h"

namespace tz::test {

PatchSampleSpec patchSample16(const std::vector<int16_t>& values) {
    PatchSampleSpec s;
    for (int16_t v : values) putU16le(s.wave, uint16_t(v));
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
    putU8(out, spec.instrumentCount);
    putU8(out, 14);   // voices
    putU8(out, 0);    // channels
    putU16le(out, uint16_t(spec.samples.size()));
    putU16le(out, 127);  // master volume
    putU32le(out, 0);    // data size
    putText(out, "", 36);
    putU16le(out, 0);  // instrument identifier
    putText(out, "test", 16);
    putU32le(out, 0);  // instrument size
    putU8(out, spec.layerCount);
    putText(out, "", 40);
    putU8(out, 0);   // layer duplicate
    putU8(out, 0);   // layer number
    putU32le(out, 0);  // layer size
    putU8(out, uint8_t(spec.sampleCountByte < 0 ? spec.samples.size() : size_t(spec.sampleCountByte)));
    putText(out, "", 40);
    for (const PatchSampleSpec& s : spec.samples) {
        putText(out, "wave", 7);
        putU8(out, s.fractions);
        putU32le(out, uint32_t(s.waveSize < 0 ? s.wave.size() : size_t(s.waveSize)));
        putU32le(out, s.loopStart);
        putU32le(out, s.loopEnd);
        putU16le(out, s.sampleRate);
        putU32le(out, s.lowFrequency);
        putU32le(out, s.highFrequency);
        putU32le(out, s.rootFrequency);
        putU16le(out, 512);  // tune
        putU8(out, s.balance);
        for (uint8_t b : s.envelopeRates) putU8(out, b);
        for (uint8_t b : s.envelopeOffsets) putU8(out, b);
        putU8(out, s.tremoloSweep);
        putU8(out, s.tremoloRate);
        putU8(out, s.tremoloDepth);
        putU8(out, s.vibratoSweep);
        putU8(out, s.vibratoRate);
        putU8(out, s.vibratoDepth);
        putU8(out, s.modes);
        putU16le(out, 60);    // scale frequency
        putU16le(out, 1024);  // scale factor
        putText(out, "", 36);
        out.insert(out.end(), s.wave.begin(), s.wave.end());
    }
    return out;
}

bool writePatch(const std::filesystem::path& path, const PatchSpec& spec) {
    return writeFileBytes(path, buildPatch(spec));
}

}  // namespace tz::test
