// Writes DLS banks from an in-memory description: Level 1 articulation
// ("lart"/"art1"), or Level 2 ("lar2"/"art2") whose transform words shape
// both source and control, and a region's blocks for the classic sound in a
// list of our own. Used by the bank converter and by the tests that build
// banks.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "instruments/dls_collection.h"
#include "platform/byte_writer.h"

namespace tz {

// ulBank bit that marks a drum kit.
constexpr uint32_t kDlsDrumBank = kDlsDrumBit;

// Connection blocks and loops are the reader's records (DlsConnection, DlsLoop).

// Transform curves of a Level 2 block.
enum DlsCurve : uint16_t { DlsCurveLinear = 0, DlsCurveConcave = 1, DlsCurveConvex = 2, DlsCurveSwitch = 3 };

// A Level 2 transform word: the source's curve in bits 10..13, bipolar in
// bit 14 and inverted in bit 15; the control's in bits 4..7, 8 and 9.
constexpr uint16_t dlsTransform(uint16_t sourceCurve, bool sourceBipolar, bool sourceInvert,
                                uint16_t controlCurve = DlsCurveLinear, bool controlBipolar = false,
                                bool controlInvert = false) {
    return uint16_t((sourceCurve & 0xF) << 10 | uint16_t(sourceBipolar) << 14 | uint16_t(sourceInvert) << 15 |
                    (controlCurve & 0xF) << 4 | uint16_t(controlBipolar) << 8 | uint16_t(controlInvert) << 9);
}


// A "wsmp" chunk.
struct DlsWaveSampleDesc {
    uint16_t unityNote = 60;
    int16_t fineTune = 0;
    int32_t attenuation = 0;
    uint32_t options = 0;
    std::vector<DlsLoop> loops;
};

struct DlsRegionDesc {
    uint16_t keyLow = 0;
    uint16_t keyHigh = 127;
    uint16_t velLow = 0;
    uint16_t velHigh = 127;
    uint16_t options = 0;
    uint16_t keyGroup = 0;
    uint32_t waveIndex = 0;        // index into the pool table
    bool hasWaveSample = true;     // write the region's "wsmp"
    DlsWaveSampleDesc waveSample;
    bool hasArticulation = false;  // write a region "lart"/"art1"
    bool articulationLevel2 = false;  // as "lar2"/"art2" instead
    std::vector<DlsConnection> articulation;
    // Blocks the classic sound reads in place of `articulation`, in a
    // "LIST" of type kDlsClassicArticulationList holding an "art1": other
    // players skip a list they do not know. Not written when empty.
    std::vector<DlsConnection> classicArticulation;
};

struct DlsInstrumentDesc {
    uint32_t bank = 0;  // ulBank: bit 31 drum kit, bits 8..15 MSB, bits 0..7 LSB
    uint32_t program = 0;
    std::string name;  // empty: no INFO list
    std::vector<DlsRegionDesc> regions;
    bool hasArticulation = false;  // write an instrument "lart"/"art1"
    bool articulationLevel2 = false;  // as "lar2"/"art2" instead
    std::vector<DlsConnection> articulation;
};

struct DlsWaveDesc {
    uint16_t formatTag = 1;  // PCM
    uint32_t sampleRate = 44100;
    uint16_t bitsPerSample = 16;  // 8 (unsigned) or 16 (signed)
    uint16_t channels = 1;
    std::vector<uint8_t> data;  // raw "data" bytes
    bool hasWaveSample = false;  // write the wave's own "wsmp"
    DlsWaveSampleDesc waveSample;
    std::string name;  // empty: no INFO list
};

struct DlsBankDesc {
    std::string name;  // INFO/INAM of the collection; empty: none
    std::vector<DlsInstrumentDesc> instruments;
    std::vector<DlsWaveDesc> waves;
};

// The whole file: RIFF 'DLS ' with colh, lins, ptbl, wvpl and INFO.
std::vector<uint8_t> writeDlsBank(const DlsBankDesc& bank);

// Little-endian 16-bit signed PCM bytes of the values.
std::vector<uint8_t> pcm16Bytes(const std::vector<int16_t>& values);

}  // namespace tz
