// The SIMD path comparison for the Windows builds, which have no GoogleTest:
// renders the dense song with the small test bank, in stereo and mono, with
// the plain loops and with every other path this machine runs, through the
// engine as the DLL holds it, and compares the bytes. (The Linux suite runs
// the fuller comparison in simd_path_test.)
#include <cstdio>
#include <memory>
#include <vector>

#include "instruments/dls_collection.h"
#include "synth/render.h"
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
    std::printf("paths_check: %d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
