#include "instruments/bank_loading.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <vector>

#include "instruments/dls_convert.h"
#include "records/midi_song.h"
#include "tests/support/player.h"
#include "tests/support/patch_builder.h"
#include "soundfont/dls_writer.h"

namespace tz {
namespace {

// The loaders with the default configuration, as a song without one uses.
int32_t loadMarkedInstruments(MidiSong& song) {
    DlsWaveAccess access;
    return tz::loadMarkedInstruments(song, *defaultInstrumentConfiguration(), access);
}
int32_t loadBankInstruments(MidiSong& song, bool drum, int bank) {
    DlsWaveAccess access;
    return tz::loadBankInstruments(song, drum, bank, *defaultInstrumentConfiguration(), access);
}

std::unique_ptr<DlsCollection> loadBytes(const std::vector<uint8_t>& bytes) {
    return indexDlsCollection(bytes);
}

DlsWaveDesc wave16(size_t values) {
    DlsWaveDesc w;
    w.data = pcm16Bytes(std::vector<int16_t>(values, 1000));
    return w;
}

DlsInstrumentDesc instrument(uint32_t bank, uint32_t program, uint32_t waveIndex = 0) {
    DlsInstrumentDesc ins;
    ins.bank = bank;
    ins.program = program;
    DlsRegionDesc r;
    r.waveIndex = waveIndex;
    r.waveSample.loops = {{0, 10, 20}};
    ins.regions = {r};
    return ins;
}

// A song with melodic banks and drum sets 0 and 8, their entries all empty
// unless a test names a patch.
struct SongFixture {
    std::unique_ptr<DlsCollection> dls;
    std::unique_ptr<MidiSong> song = std::make_unique<MidiSong>();
    std::vector<ToneEntry> entries = std::vector<ToneEntry>(128);

    explicit SongFixture(const DlsBankDesc& bank) {
        dls = loadBytes(writeDlsBank(bank));
        song->outputRate = 44100;
        song->controlRatio = 44;
        if (dls) song->bank = test::borrowedBank(*dls);
        for (int n : {0, 8}) {
            song->melodicBanks[size_t(n)] = std::make_unique<ToneBank>();
            song->melodicBanks[size_t(n)]->entries = entries.data();
            song->drumSets[size_t(n)] = std::make_unique<ToneBank>();
            song->drumSets[size_t(n)]->entries = entries.data();
        }
    }
    InstrumentSlot& melodic(int bank, int program) { return song->melodicBanks[size_t(bank)]->instruments[size_t(program)]; }
    InstrumentSlot& drums(int set, int note) { return song->drumSets[size_t(set)]->instruments[size_t(note)]; }
};

DlsBankDesc generalBank() {
    DlsBankDesc bank;
    bank.waves = {wave16(100), wave16(50)};
    DlsInstrumentDesc kit = instrument(kDlsDrumBank, 0, 1);
    kit.regions[0].keyLow = 35;
    kit.regions[0].keyHigh = 40;
    bank.instruments = {instrument(0, 5), instrument(0, 6), kit};
    return bank;
}

TEST(DlsBankLoading, FallbackToBankZeroWithinOnePass) {
    SongFixture f(generalBank());
    f.melodic(8, 5).needsLoading = true;  // not in bank 8, no patch named
    f.melodic(8, 7).needsLoading = true;  // in no bank at all
    f.drums(8, 36).needsLoading = true;   // no kit 8
    f.drums(0, 36).needsLoading = true;
    EXPECT_EQ(loadMarkedInstruments(*f.song), 4);  // 8/5, 8/7, drums 8/36, 0/7
    EXPECT_TRUE(f.melodic(8, 5).empty());
    ASSERT_TRUE(f.melodic(0, 5).instrument);  // served in the same pass
    EXPECT_FALSE(f.melodic(0, 5).needsLoading);
    EXPECT_TRUE(f.melodic(0, 7).empty());
    ASSERT_TRUE(f.drums(0, 36).instrument);
    EXPECT_TRUE(f.drums(8, 36).empty());
    // Slots that nobody marked stay empty.
    EXPECT_TRUE(f.melodic(0, 6).empty());

    // A bank-0 slot already loaded is left alone by a later fallback.
    Instrument* loaded = f.melodic(0, 5).instrument.get();
    f.melodic(8, 5).needsLoading = true;
    EXPECT_EQ(loadBankInstruments(*f.song, false, 8), 1);
    EXPECT_EQ(f.melodic(0, 5).instrument.get(), loaded);
    EXPECT_FALSE(f.melodic(0, 5).needsLoading);
    EXPECT_EQ(loadBankInstruments(*f.song, false, 42), 0);  // no such bank
}

TEST(DlsBankLoading, InstrumentsShareWavesAcrossThePass) {
    SongFixture f(generalBank());
    f.melodic(0, 5).needsLoading = true;
    f.melodic(0, 6).needsLoading = true;
    EXPECT_EQ(loadMarkedInstruments(*f.song), 0);
    ASSERT_TRUE(f.melodic(0, 5).instrument && f.melodic(0, 6).instrument);
    EXPECT_EQ(f.melodic(0, 5).instrument->samples[0].data.get(), f.melodic(0, 6).instrument->samples[0].data.get());
}

TEST(DlsBankLoading, PatchesServeWhatTheBankLacks) {
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "tz_dls_bank_loading";
    std::filesystem::path patch = dir / "clap.pat";
    test::PatchSpec spec;
    spec.samples = {test::patchSample16(std::vector<int16_t>(64, 500))};
    ASSERT_TRUE(test::writePatch(patch, spec));

    SongFixture f(generalBank());
    for (int p : {5, 50}) {
        f.entries[size_t(p)].patchName = patch.string();
        f.entries[size_t(p)].fixedNote = -1;
        f.entries[size_t(p)].stripLoop = -1;
        f.entries[size_t(p)].stripEnvelope = -1;
    }
    f.entries[51].patchName = (dir / "missing.pat").string();
    f.melodic(0, 5).needsLoading = true;  // in the DLS bank: the patch is not used
    f.drums(0, 50).needsLoading = true;   // not in the kit: from the patch
    f.melodic(8, 51).needsLoading = true; // patch missing: counted, bank 0 not marked
    EXPECT_EQ(loadMarkedInstruments(*f.song), 1);
    ASSERT_TRUE(f.melodic(0, 5).instrument);
    EXPECT_EQ(f.melodic(0, 5).instrument->samples[0].dataLength, 100 << 12);
    ASSERT_TRUE(f.drums(0, 50).instrument);
    const Sample& clap = f.drums(0, 50).instrument->samples[0];
    EXPECT_EQ(clap.fixedNote, 50);  // a drum patch sounds at its note
    EXPECT_FALSE(clap.modes & ModeLooping);
    EXPECT_TRUE(f.melodic(8, 51).empty());
    EXPECT_TRUE(f.melodic(0, 51).empty());
    std::filesystem::remove_all(dir);
}

// Every prefix of a bank and many random corruptions of it load (or fail)
// cleanly, and whatever instruments come out of them are safe to play.
TEST(DlsMalformed, DamagedBanksFailCleanly) {
    DlsBankDesc desc = generalBank();
    desc.name = "Damaged";
    desc.instruments[0].hasArticulation = true;
    desc.instruments[0].articulation = {{0, 0, kDlsDestAttackTime, 0, 1200 << 16}};
    desc.waves[1].bitsPerSample = 8;
    desc.waves[1].hasWaveSample = true;
    const std::vector<uint8_t> good = writeDlsBank(desc);

    auto exercise = [](const std::vector<uint8_t>& bytes) {
        auto dls = loadBytes(bytes);
        if (!dls) return;
        MidiSong song;
        song.outputRate = 44100;
        song.controlRatio = 44;

        for (int p : {0, 5, 6, 36})
            for (bool drum : {false, true}) {
                auto ins = loadDlsInstrument(song, *dls, drum, 0, p);
                if (!ins) continue;
                for (const Sample& s : ins->samples) {
                    int32_t count = s.dataLength >> kFractionBits;
                    ASSERT_GT(count, 0);
                    ASSERT_LE(count, kMaxSampleValues);
                    ASSERT_LE(s.loopEnd, s.dataLength);
                    ASSERT_LE(s.loopStart, s.loopEnd);
                    ASSERT_GE(s.panning, 0);
                    volatile int16_t last = s.data[sampleDataSize(count) - 1];  // read-ahead included
                    (void)last;
                }
            }
    };

    for (size_t cut = 8; cut <= good.size(); ++cut) {
        std::vector<uint8_t> bytes(good.begin(), good.begin() + std::ptrdiff_t(cut));
        uint32_t size = uint32_t(cut - 8);
        for (int i = 0; i < 4; ++i) bytes[4 + size_t(i)] = uint8_t(size >> (8 * i));
        exercise(bytes);
    }
    std::mt19937 random(1234);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes = good;
        int flips = 1 + int(random() % 6);
        for (int i = 0; i < flips; ++i) {
            size_t at = 8 + random() % (bytes.size() - 8);
            bytes[at] = random() % 3 == 0 ? 0xFF : uint8_t(random());
        }
        exercise(bytes);
    }
}

}  // namespace
}  // namespace tz
