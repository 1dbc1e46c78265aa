// A SoundFont played preset by preset: the same engine instruments as the
// bank `tzmidi bank` makes of it, and a file that changes under the index.
// The classic sound's part of those instruments is also what the bank gave
// before it carried a second articulation.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "instruments/dls_collection.h"
#include "instruments/dls_convert.h"
#include "platform/byte_source.h"
#include "platform/paths.h"
#include "records/articulation.h"
#include "records/midi_song.h"
#include "soundfont/dls_writer.h"
#include "soundfont/sf2_index.h"
#include "soundfont/sf2_reader.h"
#include "soundfont/sf2_to_dls.h"
#include "tests/support/files.h"
#include "tests/support/sf2_builder.h"
#include "tests/support/test_bank.h"
#include "tests/support/test_data.h"

namespace tz {
namespace {

namespace fs = std::filesystem;
using test::sf2Gen;
using test::sf2Range;
using test::sf2Zone;
using test::Sf2Builder;

bool sameArticulation(const Articulation* a, const Articulation* b) {
    if (!a || !b) return !a && !b;
    auto fields = [](const Articulation& x) {
        return std::make_tuple(x.unityNote, x.fineTuneCents, x.attenuationCb, x.keyGroup, x.selfNonExclusive,
                               x.oneShot, x.connections.size());
    };
    auto connection = [](const ArticulationConnection& c) {
        return std::make_tuple(c.source, c.control, c.destination, c.scale, c.sourceShape.curve, c.sourceShape.bipolar,
                               c.sourceShape.invert, c.controlShape.curve, c.controlShape.bipolar,
                               c.controlShape.invert);
    };
    if (fields(*a) != fields(*b)) return false;
    for (size_t i = 0; i < a->connections.size(); ++i)
        if (connection(a->connections[i]) != connection(b->connections[i])) return false;
    return true;
}

// Every field and every data value, guard and read-ahead values included;
// the standard sound's articulation too unless `classicOnly`.
bool sameSample(const Sample& a, const Sample& b, bool classicOnly) {
    auto fields = [](const Sample& s) {
        return std::make_tuple(s.loopStart, s.loopEnd, s.dataLength, s.sampleRate, s.lowVelocity, s.highVelocity,
                               s.lowFrequency, s.highFrequency, s.rootFrequency, s.volume, s.tremoloSweepStep,
                               s.tremoloPhaseStep, s.vibratoSweepStep, s.vibratoPeriod, s.tremoloDepth,
                               s.vibratoDepth, s.modes, s.panning, s.fixedNote);
    };
    if (fields(a) != fields(b) || !a.data != !b.data) return false;
    for (int i = 0; i < 6; ++i)
        if (a.envelopeRate[i] != b.envelopeRate[i] || a.envelopeTarget[i] != b.envelopeTarget[i]) return false;
    if (!classicOnly && !sameArticulation(a.articulation.get(), b.articulation.get())) return false;
    const size_t values = sampleDataSize(a.dataLength >> kFractionBits);
    return !a.data || std::equal(a.data.get(), a.data.get() + values, b.data.get());
}

bool sameInstrument(const Instrument* a, const Instrument* b, bool classicOnly = false) {
    if (!a || !b) return !a && !b;
    if (a->samples.size() != b->samples.size()) return false;
    for (size_t i = 0; i < a->samples.size(); ++i)
        if (!sameSample(a->samples[i], b->samples[i], classicOnly)) return false;
    return true;
}

std::unique_ptr<MidiSong> bareSong() {
    auto song = std::make_unique<MidiSong>();
    song->outputRate = 44100;
    song->controlRatio = 44;
    return song;
}

// Every melodic bank and program and every drum set and note, asked of the
// bank `tzmidi bank` writes and of the SoundFont preset by preset; and of
// the bank as it was written before, each region's classic blocks as its
// one articulation ("lart"/"art1"), for the classic sound.
void expectSameAsConvertedBank(const char* path) {
    if (std::FILE* f = std::fopen(path, "rb"))
        std::fclose(f);
    else
        TZ_SKIP_WITHOUT_DATA(path << " is not installed");
    const auto started = std::chrono::steady_clock::now();
    std::unique_ptr<DlsCollection> dls, before;
    {
        Sf2Bank bank;
        DlsBankDesc desc;
        Sf2ConvertStats stats;
        std::string error;
        ASSERT_TRUE(loadSf2File(path, bank, error)) << error;
        ASSERT_TRUE(convertSf2ToDls(bank, desc, stats, error)) << error;
        dls = indexDlsCollection(writeDlsBank(desc));
        for (DlsInstrumentDesc& ins : desc.instruments)
            for (DlsRegionDesc& r : ins.regions) {
                r.articulation = std::move(r.classicArticulation);
                r.articulationLevel2 = false;
                r.classicArticulation.clear();
            }
        before = indexDlsCollection(writeDlsBank(desc));
    }
    ASSERT_TRUE(dls && before);
    std::unique_ptr<FileSource> file = FileSource::open(utf8ToUtf16(path));
    ASSERT_TRUE(file);
    std::unique_ptr<SoundFontIndex> index = indexSoundFont(*file);
    ASSERT_TRUE(index);

    // The instrument headers, in the converted bank's order.
    ASSERT_EQ(index->instruments.size(), dls->instruments.size());
    for (size_t i = 0; i < dls->instruments.size(); ++i) {
        EXPECT_EQ(index->instruments[i].bank, dls->instruments[i].bank) << i;
        EXPECT_EQ(index->instruments[i].program, dls->instruments[i].program) << i;
    }

    std::unique_ptr<MidiSong> fromBank = bareSong(), fromSoundFont = bareSong(), fromBefore = bareSong();
    int asked = 0, found = 0, mismatches = 0, classicMismatches = 0;
    auto ask = [&](bool drum, int bank, int program) {
        DlsWaveAccess bankAccess, sfAccess, beforeAccess;
        sfAccess.file = file.get();
        std::unique_ptr<Instrument> a = loadDlsInstrument(*fromBank, *dls, drum, bank, program, bankAccess);
        std::unique_ptr<Instrument> b = loadSoundFontInstrument(*fromSoundFont, *index, drum, bank, program, sfAccess);
        std::unique_ptr<Instrument> c = loadDlsInstrument(*fromBefore, *before, drum, bank, program, beforeAccess);
        ++asked;
        found += a != nullptr;
        EXPECT_FALSE(sfAccess.readFailed);
        const char* what = drum ? "drum set " : "bank ";
        if (!sameInstrument(a.get(), b.get()) && ++mismatches <= 5)
            ADD_FAILURE() << what << bank << (drum ? " note " : " program ") << program << ": "
                          << (a ? a->samples.size() : 0) << " samples from the bank, "
                          << (b ? b->samples.size() : 0) << " from the SoundFont";
        if (!sameInstrument(a.get(), c.get(), true) && ++classicMismatches <= 5)
            ADD_FAILURE() << what << bank << (drum ? " note " : " program ") << program
                          << ": the classic sound plays it otherwise than from the bank as written before";
    };
    for (int bank = 0; bank < 128; ++bank)
        for (int program = 0; program < 128; ++program) ask(false, bank, program);
    for (int set = 0; set < 128; ++set)
        for (int note = 0; note < 128; ++note) ask(true, set, note);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(classicMismatches, 0);
    EXPECT_GT(found, 128);
    std::printf("%s: %d requests, %d instruments, the same from the SoundFont, %.1f s\n", path, asked, found,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

TEST(Sf2Index, TimGM6mbPresetsAreTheConvertedBanksInstruments) {
    expectSameAsConvertedBank("/usr/share/sounds/sf2/TimGM6mb.sf2");
}

TEST(Sf2Index, FluidR3PresetsAreTheConvertedBanksInstruments) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A minute in the sanitizers' debug build, for what the plain build
    // checks in seconds; TimGM6mb above runs there.
    GTEST_SKIP() << "left to the build without sanitizers";
#endif
    expectSameAsConvertedBank("/usr/share/sounds/sf2/FluidR3_GM.sf2");
}

TEST(Sf2Index, RefusesWhatIsNotASoundFontOrIsDamaged) {
    const std::vector<uint8_t> good = test::smallSoundFont();
    EXPECT_TRUE(isSoundFont(MemorySource(good)));
    EXPECT_TRUE(indexSoundFont(MemorySource(good)));

    Sf2ReadStatus status = Sf2ReadStatus::Ok;
    std::string error;
    EXPECT_FALSE(isSoundFont(MemorySource(test::smallGmBank())));
    EXPECT_FALSE(indexSoundFont(MemorySource(test::smallGmBank()), kDefaultBankGainDb, &status, &error));
    EXPECT_EQ(status, Sf2ReadStatus::NotSoundFont);

    // Zones naming an instrument or a sample past the tables.
    for (int badTarget : {0, 1}) {
        Sf2Builder sf;
        int s = sf.sample("s", std::vector<int16_t>(100, 5));
        int i = sf.instrument("i", {sf2Zone({}, badTarget == 1 ? s + 7 : s)});
        sf.preset("p", 0, 0, {sf2Zone({}, badTarget == 0 ? i + 3 : i)});
        EXPECT_FALSE(indexSoundFont(MemorySource(sf.bytes()), kDefaultBankGainDb, &status, &error));
        EXPECT_EQ(status, Sf2ReadStatus::Damaged) << error;
    }
    // Cut inside the hydra, the last list: it runs past the file's end.
    std::vector<uint8_t> cut(good.begin(), good.end() - 40);
    EXPECT_FALSE(indexSoundFont(MemorySource(cut), kDefaultBankGainDb, &status, &error));
    EXPECT_EQ(status, Sf2ReadStatus::Damaged) << error;
}

TEST(Sf2Index, AFileCutShortAfterIndexingLeavesThePresetsSilent) {
    const fs::path path = fs::path(TZ_BINARY_DIR) / ("sf2-index-cut-" + std::to_string(::getpid()) + ".sf2");
    const std::vector<uint8_t> bytes = test::smallSoundFont();
    ASSERT_TRUE(test::writeFileBytes(path, bytes));
    std::unique_ptr<FileSource> file = FileSource::open(utf8ToUtf16(path.string()));
    ASSERT_TRUE(file);
    std::unique_ptr<SoundFontIndex> index = indexSoundFont(*file);
    ASSERT_TRUE(index);
    std::unique_ptr<MidiSong> song = bareSong();
    DlsWaveAccess access;
    access.file = file.get();
    // Program 0 converted while the file is whole; its waves are let go.
    EXPECT_TRUE(loadSoundFontInstrument(*song, *index, false, 0, 0, access));
    EXPECT_FALSE(access.readFailed);

    // Cut inside the sample points: neither the converted preset nor the
    // others can be read any more, from the file as open or opened anew.
    fs::resize_file(path, index->bank.sampleDataOffset + 100);
    std::unique_ptr<FileSource> reopened = FileSource::open(utf8ToUtf16(path.string()));
    ASSERT_TRUE(reopened);
    for (const ByteSource* source : {static_cast<const ByteSource*>(file.get()), static_cast<const ByteSource*>(reopened.get())}) {
        for (auto [drum, bank, program] : {std::tuple{false, 0, 0}, {false, 0, 5}, {true, 0, 36}}) {
            DlsWaveAccess cut;
            cut.file = source;
            EXPECT_FALSE(loadSoundFontInstrument(*song, *index, drum, bank, program, cut)) << program;
            EXPECT_TRUE(cut.readFailed) << program;
        }
    }
    // Without a file to read from, nothing is read either.
    DlsWaveAccess none;
    EXPECT_FALSE(loadSoundFontInstrument(*song, *index, true, 0, 38, none));
    EXPECT_TRUE(none.readFailed);
    fs::remove(path);
}

}  // namespace
}  // namespace tz
