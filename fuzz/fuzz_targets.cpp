#include "fuzz/fuzz_targets.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "instruments/config.h"
#include "instruments/dls_collection.h"
#include "instruments/dls_convert.h"
#include "instruments/gus_patch.h"
#include "instruments/patch_config.h"
#include "platform/byte_source.h"
#include "platform/input_stream.h"
#include "platform/paths.h"
#include "plugin/demuxer.h"
#include "records/midi_song.h"
#include "song/settings.h"
#include "song/song_assembly.h"
#include "song/song_player.h"
#include "soundfont/dls_writer.h"
#include "soundfont/sf2_index.h"
#include "soundfont/sf2_reader.h"
#include "soundfont/sf2_to_dls.h"
#include "synth/render.h"
#include "tests/support/files.h"
#include "tests/support/player.h"
#include "tests/support/smf_builder.h"
#include "tests/support/test_bank.h"

namespace tz::fuzz {

namespace {

// A folder of this process's own for the files the targets must pass by path.
const std::string& scratchDirectory() {
    static const std::string dir = [] {
        std::string error;
        std::string d = createTemporaryDirectory("tz-fuzz-", error);
        if (d.empty()) std::abort();
        return d;
    }();
    return dir;
}

}  // namespace

int smfTarget(const uint8_t* data, size_t size) {
    // As the plug-in opens a song, instruments loaded as at the first read.
    std::unique_ptr<SongPlayer> player =
        SongPlayer::openMemory({data, size}, test::bankSettings(test::smallGmBankFile()));
    if (!player) return 0;
    if (player->song().events.empty() || player->song().events.back().opcode != EventOpcode::EndOfSong) std::abort();
    player->loadInstruments();
    return 0;
}

int settingsTarget(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    SettingsFile file = parseSettings(text, scratchDirectory() + "/tz_midi.ini");
    for (const SettingsProblem& p : file.problems)
        if (p.line <= 0) std::abort();
    (void)writeSettings(file.settings);
    return 0;
}

int patchConfigTarget(const uint8_t* data, size_t size) {
    // Every file a `source` line names reads as the input itself, so that
    // sourcing nests as deep as the limits allow.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const ConfigFileReader reader = [&](const std::string&, std::string& out) {
        out = text;
        return true;
    };
    PatchConfigReport report;
    std::shared_ptr<InstrumentConfiguration> config =
        readPatchConfiguration(scratchDirectory() + "/patches.cfg", report, reader);
    if (!config || int(report.files.size()) > kMaxConfigFiles ||
        config->patchSearchPath.size() > kMaxPatchDirectories + 2)
        std::abort();
    return 0;
}

int dlsTarget(const uint8_t* data, size_t size) {
    std::unique_ptr<DlsCollection> collection = indexDlsCollection(std::vector<uint8_t>(data, data + size));
    if (!collection) return 0;
    auto song = std::make_unique<MidiSong>();
    song->outputRate = 44100;
    song->controlRatio = 44;
    DlsWaveAccess access;
    size_t tried = 0;
    for (const DlsInstrument& inst : collection->instruments) {
        if (++tried > 64) break;
        bool drum = (inst.bank & kDlsDrumBit) != 0;
        int bank = drum ? 0 : int((inst.bank >> 8) & 0x7F);
        int program = int(inst.program & 0x7F);
        if (drum) {
            for (int note = 0; note < 128; note += 7) loadDlsInstrument(*song, *collection, true, program, note, access);
        } else {
            loadDlsInstrument(*song, *collection, false, bank, program, access);
        }
    }
    return 0;
}

namespace {

bool sameSamples(const Instrument* a, const Instrument* b) {
    if (!a || !b) return !a && !b;
    if (a->samples.size() != b->samples.size()) return false;
    for (size_t i = 0; i < a->samples.size(); ++i) {
        const Sample& x = a->samples[i];
        const Sample& y = b->samples[i];
        if (x.dataLength != y.dataLength || x.loopStart != y.loopStart || x.loopEnd != y.loopEnd ||
            x.sampleRate != y.sampleRate || x.rootFrequency != y.rootFrequency || x.lowFrequency != y.lowFrequency ||
            x.highFrequency != y.highFrequency || x.modes != y.modes || x.panning != y.panning ||
            !std::equal(std::begin(x.envelopeRate), std::end(x.envelopeRate), std::begin(y.envelopeRate)) ||
            !std::equal(x.data.get(), x.data.get() + sampleDataSize(x.dataLength >> kFractionBits), y.data.get()))
            return false;
    }
    return true;
}

}  // namespace

int sf2Target(const uint8_t* data, size_t size) {
    // As a song uses it: indexed, a few programs and drum notes looked up,
    // their presets converted and made into engine instruments.
    const MemorySource file(std::vector<uint8_t>(data, data + size));
    std::unique_ptr<SoundFontIndex> index = indexSoundFont(file);
    if (!index) return 0;

    // The whole bank converted the classic way reads back as a DLS bank
    // holding the instruments the index lists, in its order.
    Sf2Bank bank;
    std::string error;
    std::unique_ptr<DlsCollection> collection;
    if (!parseSf2(std::vector<uint8_t>(data, data + size), bank, error)) std::abort();
    DlsBankDesc desc;
    Sf2ConvertStats stats;
    if (convertSf2ToDls(bank, desc, stats, error)) {
        collection = indexDlsCollection(writeDlsBank(desc));
        if (!collection || collection->instruments.size() != desc.instruments.size() ||
            collection->waves.size() != desc.waves.size())
            std::abort();
    }
    if (index->instruments.size() != desc.instruments.size()) std::abort();
    for (size_t i = 0; i < desc.instruments.size(); ++i)
        if (index->instruments[i].bank != desc.instruments[i].bank ||
            index->instruments[i].program != desc.instruments[i].program)
            std::abort();
    bank = Sf2Bank{};
    desc = DlsBankDesc{};

    // The same engine instruments both ways.
    auto song = std::make_unique<MidiSong>();
    song->outputRate = 44100;
    song->controlRatio = 44;
    auto ask = [&](bool drum, int bankNumber, int program) {
        DlsWaveAccess access;
        access.file = &file;
        std::unique_ptr<Instrument> fromIndex = loadSoundFontInstrument(*song, *index, drum, bankNumber, program, access);
        if (access.readFailed) std::abort();
        std::unique_ptr<Instrument> fromBank =
            collection ? loadDlsInstrument(*song, *collection, drum, bankNumber, program) : nullptr;
        if (!sameSamples(fromIndex.get(), fromBank.get())) std::abort();
    };
    size_t tried = 0;
    for (const Sf2InstrumentEntry& e : index->instruments) {
        if (++tried > 8) break;
        if (e.bank & kDlsDrumBit) {
            for (int note = 0; note < 128; note += 9) ask(true, int(e.program), note);
        } else {
            ask(false, int((e.bank >> 8) & 0xFF), int(e.program));
        }
    }
    ask(false, 0, 127);
    ask(false, 5, 3);
    index.reset();

    // And as a bank named in the settings: a song opened, its presets
    // converted at the first read, some blocks played.
    static const std::vector<uint8_t> kSong = [] {
        test::SmfBuilder smf(0, 480);
        auto& t = smf.track();
        for (int p = 0; p < 4; ++p) t.program(0, 0, p * 10).noteOn(0, 0, 60, 100).noteOn(0, 9, 36 + p, 100).noteOff(120, 0, 60);
        return smf.bytes();
    }();
    const std::string path = scratchDirectory() + "/input.sf2";
    if (!test::writeFileBytes(path, data, size)) return 0;
    if (std::unique_ptr<SongPlayer> player = SongPlayer::openMemory(kSong, test::bankSettings(path))) {
        uint8_t block[4096];
        for (int i = 0; i < 8 && player->read(block, int32_t(sizeof block)) > 0; ++i) {
        }
    }
    return 0;
}

int patchTarget(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t options = data[0];
    std::string path = scratchDirectory() + "/input.pat";
    if (!test::writeFileBytes(path, data + 1, size - 1)) return 0;
    auto song = std::make_unique<MidiSong>();
    song->outputRate = (options & 0x80) ? 22050 : 44100;
    song->controlRatio = song->outputRate / 1000;
    int32_t fixedNote = (options & 1) ? 60 : -1;
    int32_t panning = (options & 2) ? 100 : -1;
    int32_t amplification = (options & 4) ? 150 : -1;
    int32_t stripLoop = (options & 8) ? 1 : 0;
    int32_t stripEnvelope = (options >> 4) & 3;  // 0, 1, or "decide" (2, 3)
    int32_t stripTail = (options & 0x40) ? 1 : 0;
    loadPatchInstrument(*song, {}, path, panning, amplification, fixedNote, stripLoop, stripEnvelope, stripTail);
    return 0;
}

int pluginTarget(const uint8_t* data, size_t size) {
    static IPlugin* plugin = [] {
        // The plug-in finds its bank where it looks for the system bank.
        std::string root = scratchDirectory() + "/windows";
        std::string drivers = root + "/SYSTEM32/drivers";
#ifndef _WIN32
        setenv("SystemRoot", root.c_str(), 1);
#endif
        if (!test::writeFileBytes(drivers + "/GM.DLS", test::smallGmBank())) std::abort();
        return createMidiDemuxerPlugin();
    }();
    std::string path = scratchDirectory() + "/input.mid";
    if (!test::writeFileBytes(path, data, size)) return 0;
    auto* demuxer = static_cast<IDemuxerPlugin*>(plugin)->createDemuxer();
    if (!demuxer) std::abort();
    std::u16string wide = utf8ToUtf16(path);
    auto* midi = static_cast<CMidiDemuxer*>(demuxer);
    if (midi->openPath(wide.c_str())) {
        static uint8_t buffer[3000];
        // A bounded amount of playback: some blocks, a seek derived from the
        // input, some more blocks.
        for (int i = 0; i < 24; ++i)
            if (demuxer->read(buffer, sizeof buffer) < 0) break;
        double position = size > 0 ? double(data[size - 1]) / 8.0 : 0.0;
        demuxer->seek(&position);
        const double length = demuxer->format()->lengthSeconds;
        if (position < 0.0 || position > length + 1e-9) std::abort();
        for (int i = 0; i < 24; ++i)
            if (demuxer->read(buffer, sizeof buffer) < 0) break;
        demuxer->close();
    }
    demuxer->release();
    return 0;
}

}  // namespace tz::fuzz
