#include "fuzz/fuzz_targets.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "instruments/config.h"
#include "instruments/dls_collection.h"
#include "instruments/dls_convert.h"
#include "instruments/gus_patch.h"
#include "platform/input_stream.h"
#include "platform/paths.h"
#include "plugin/demuxer.h"
#include "records/midi_song.h"
#include "song/song_assembly.h"
#include "synth/render.h"
#include "tests/support/files.h"
#include "tests/support/test_bank.h"
#include "tools/bank/dls_writer.h"
#include "tools/bank/sf2_reader.h"
#include "tools/bank/sf2_to_dls.h"

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

const DlsCollection& fixedBank() {
    static const std::unique_ptr<DlsCollection> bank = [] {
        auto collection = indexDlsCollection(test::smallGmBank());
        if (!collection) std::abort();
        return collection;
    }();
    return *bank;
}

// Holds the instrument configuration for the life of the process.
void holdConfiguration() {
    static const bool held = [] {
        acquireInstrumentConfiguration();
        return true;
    }();
    (void)held;
}

}  // namespace

int smfTarget(const uint8_t* data, size_t size) {
    holdConfiguration();
    StreamPtr stream(createMemoryStream(data, size));
    if (!stream) return 0;
    SongOptions options;
    std::unique_ptr<MidiSong> song = createSong(options, stream.get(), &fixedBank());
    if (song && (song->events.empty() || song->events.back().opcode != EventOpcode::EndOfSong)) std::abort();
    return 0;
}

int dlsTarget(const uint8_t* data, size_t size) {
    std::unique_ptr<DlsCollection> collection = indexDlsCollection(std::vector<uint8_t>(data, data + size));
    if (!collection) return 0;
    auto song = std::make_unique<MidiSong>();
    song->dlsCollection = collection.get();
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
            for (int note = 0; note < 128; note += 7) loadDlsInstrument(*song, true, program, note, access);
        } else {
            loadDlsInstrument(*song, false, bank, program, access);
        }
    }
    return 0;
}

int sf2Target(const uint8_t* data, size_t size) {
    Sf2Bank bank;
    std::string error;
    if (!parseSf2(std::vector<uint8_t>(data, data + size), bank, error)) return 0;
    DlsBankDesc desc;
    Sf2ConvertStats stats;
    if (!convertSf2ToDls(bank, desc, stats, error)) return 0;
    std::unique_ptr<DlsCollection> collection = indexDlsCollection(writeDlsBank(desc));
    if (!collection || collection->instruments.size() != desc.instruments.size() ||
        collection->waves.size() != desc.waves.size())
        std::abort();
    return 0;
}

int patchTarget(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    holdConfiguration();
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
    loadPatchInstrument(*song, path, panning, amplification, fixedNote, stripLoop, stripEnvelope, stripTail);
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
