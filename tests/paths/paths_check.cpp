// The SIMD path comparison for the Windows builds, which have no GoogleTest:
// renders the dense song with the small test bank, in stereo and mono, with
// the plain loops and with every other path this machine runs, through the
// engine as the DLL holds it, and compares the bytes; and runs the reverb and
// the chorus over seconds of loud noise in chunks of odd sizes likewise.
// (The Linux suite runs the fuller comparisons in simd_path_test and
// synth_effects_test.)
#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "instruments/dls_collection.h"
#include "synth/chorus.h"
#include "synth/render.h"
#include "synth/reverb.h"
#include "synth/simd_path.h"
#include "tests/support/dense_song.h"
#include "tests/support/player.h"
#include "tests/support/test_bank.h"

namespace {

std::vector<uint8_t> render(const std::vector<uint8_t>& midi, const tz::DlsCollection& bank, uint8_t channels) {
    tz::SongOptions options;
    options.format.channels = channels;
    std::unique_ptr<tz::MidiSong> song = tz::test::assembleSong(options, midi, &bank);
    std::vector<uint8_t> out, block(tz::kBlockBytes);
    if (!song) return out;
    for (int32_t n; (n = tz::renderBlock(*song, block.data())) > 0;)
        out.insert(out.end(), block.begin(), block.begin() + n);
    return out;
}

// Four seconds of noise up to three times full scale, with a silent second
// passed as no bus, through the effect in chunks of 1 to 1024 frames.
std::vector<int64_t> runEffect(bool reverb) {
    constexpr int32_t kRate = 44100, kFrames = 4 * kRate;
    std::vector<int64_t> bus(2 * kFrames), mix(2 * kFrames, 0);
    std::mt19937 rng(9);
    for (int64_t& v : bus) v = int64_t(int32_t(rng())) * 3 / 8;
    tz::Reverb r;
    tz::Chorus c;
    tz::initReverb(r, kRate, tz::kDefaultReverbLevel);
    tz::initChorus(c, kRate, tz::kDefaultChorusLevel);
    for (int32_t at = 0; at < kFrames;) {
        const int32_t n = std::min<int32_t>(1 + int32_t(rng() % 1024), kFrames - at);
        const int64_t* in = at >= 2 * kRate && at < 3 * kRate ? nullptr : bus.data() + 2 * at;
        if (reverb)
            tz::runReverb(r, in, mix.data() + 2 * at, n);
        else
            tz::runChorus(c, in, mix.data() + 2 * at, n);
        at += n;
    }
    return mix;
}

}  // namespace

int main() {
    const std::unique_ptr<tz::DlsCollection> bank = tz::indexDlsCollection(tz::test::smallGmBank());
    if (!bank) return 1;
    const std::vector<uint8_t> midi = tz::test::denseSong();
    int passed = 0, failed = 0;
    for (uint8_t channels : {2, 1}) {
        tz::forceSimdPath(tz::SimdPath::Plain);
        const std::vector<uint8_t> reference = render(midi, *bank, channels);
        for (tz::SimdPath path : {tz::SimdPath::Baseline, tz::SimdPath::Avx2}) {
            if (!tz::forceSimdPath(path)) {
                std::printf("%s: not available on this machine\n", tz::simdPathName(path));
                continue;
            }
            const bool same = !reference.empty() && render(midi, *bank, channels) == reference;
            std::printf("%s, %d channel(s): %s\n", tz::simdPathName(path), channels,
                        same ? "the same bytes as the plain loops" : "DIFFERENT BYTES");
            ++(same ? passed : failed);
        }
    }
    // The hashes tell a Linux run from a Windows one apart, should the
    // builds ever differ.
    for (bool reverb : {true, false}) {
        tz::forceSimdPath(tz::SimdPath::Plain);
        const std::vector<int64_t> reference = runEffect(reverb);
        uint64_t hash = 0xcbf29ce484222325ull;
        for (int64_t v : reference) hash = (hash ^ uint64_t(v)) * 0x100000001b3ull;
        std::printf("%s output hash: %016llx\n", reverb ? "reverb" : "chorus", static_cast<unsigned long long>(hash));
        for (tz::SimdPath path : {tz::SimdPath::Baseline, tz::SimdPath::Avx2}) {
            if (!tz::forceSimdPath(path)) continue;
            const bool same = runEffect(reverb) == reference;
            std::printf("%s, %s: %s\n", tz::simdPathName(path), reverb ? "reverb" : "chorus",
                        same ? "the same values as the plain loops" : "DIFFERENT VALUES");
            ++(same ? passed : failed);
        }
    }
    std::printf("paths_check: %d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
