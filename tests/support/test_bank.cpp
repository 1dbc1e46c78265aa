#include "tests/support/test_bank.h"

#include "soundfont/dls_writer.h"

namespace tz::test {

namespace {

// One period of an integer triangle of the given length and peak, repeated.
std::vector<int16_t> triangle(int period, int periods, int peak) {
    std::vector<int16_t> out;
    out.reserve(size_t(period) * size_t(periods));
    int half = period / 2;
    for (int p = 0; p < periods; ++p)
        for (int i = 0; i < period; ++i)
            out.push_back(int16_t(i < half ? -peak + i * 2 * peak / half : peak - (i - half) * 2 * peak / (period - half)));
    return out;
}

// A decaying pseudo-random burst: a drum-like sound without a loop.
std::vector<int16_t> burst(int length, uint32_t seed) {
    std::vector<int16_t> out(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) {
        seed = seed * 1664525u + 1013904223u;
        int amplitude = 20000 * (length - i) / length;
        out[size_t(i)] = int16_t(int32_t(seed >> 16) % (amplitude + 1) - amplitude / 2);
    }
    return out;
}

}  // namespace

std::vector<uint8_t> smallGmBank() {
    DlsBankDesc bank;
    bank.name = "tz_midi test bank";
    // Wave 0: a looping triangle at 440 Hz recorded at 44100 Hz (unity note 69).
    DlsWaveDesc tone;
    tone.data = pcm16Bytes(triangle(100, 8, 12000));
    tone.sampleRate = 44000;
    bank.waves.push_back(tone);
    // Wave 1: an 8-bit wave, to exercise that path.
    DlsWaveDesc soft;
    soft.bitsPerSample = 8;
    for (int i = 0; i < 400; ++i) soft.data.push_back(uint8_t(128 + ((i % 50) < 25 ? 40 : -40)));
    soft.sampleRate = 22050;
    bank.waves.push_back(soft);
    // Waves 2..4: drum bursts.
    for (uint32_t d = 0; d < 3; ++d) {
        DlsWaveDesc hit;
        hit.data = pcm16Bytes(burst(4000 + 3000 * int(d), 12345 + d));
        bank.waves.push_back(hit);
    }

    for (uint32_t program = 0; program < 4; ++program) {
        DlsInstrumentDesc inst;
        inst.program = program * 8;
        inst.name = "Tone " + std::to_string(program);
        DlsRegionDesc low, high;
        low.keyHigh = 59;
        high.keyLow = 60;
        low.waveIndex = 0;
        high.waveIndex = program % 2;
        for (DlsRegionDesc* r : {&low, &high}) {
            r->waveSample.unityNote = r->waveIndex == 0 ? 69 : 57;
            r->waveSample.loops.push_back({0, 0, r->waveIndex == 0 ? 800u : 400u});
            r->hasArticulation = true;
            r->articulation = {
                {0, 0, kDlsDestAttackTime, 0, int32_t(-7973) * 65536},   // about 10 ms
                {0, 0, kDlsDestDecayTime, 0, int32_t(1200) * 65536},     // 2 s
                {0, 0, kDlsDestSustainLevel, 0, 700 * 65536},            // 70 %
                {0, 0, kDlsDestReleaseTime, 0, int32_t(-2400) * 65536},  // 250 ms
                {0, 0, kDlsDestPan, 0, int32_t(program) * 100 * 65536 - 150 * 65536},
            };
        }
        inst.regions = {low, high};
        bank.instruments.push_back(inst);
    }

    DlsInstrumentDesc kit;
    kit.bank = kDlsDrumBank;
    kit.program = 0;
    kit.name = "Standard kit";
    for (int first = 35; first <= 81; first += 16) {
        DlsRegionDesc r;
        r.keyLow = uint16_t(first);
        r.keyHigh = uint16_t(first + 15 > 81 ? 81 : first + 15);
        r.waveIndex = uint32_t(2 + (first - 35) / 16);
        r.waveSample.unityNote = uint16_t(first);
        kit.regions.push_back(r);
    }
    bank.instruments.push_back(kit);
    return writeDlsBank(bank);
}

}  // namespace tz::test
