#include "song/song_assembly.h"

#include <algorithm>
#include <new>

#include "instruments/bank_loading.h"
#include "instruments/config.h"
#include "instruments/dls_convert.h"
#include "instruments/gus_patch.h"
#include "midi/smf_reader.h"
#include "synth/output_convert.h"
#include "synth/render.h"

namespace tz {

std::unique_ptr<MidiSong> readSong(const SongOptions& options, InputStream* stream,
                                   const DlsCollection* collection) {
    if (!stream) return nullptr;
    // Times are counted in output samples and the renderer mixes in chunks of
    // bufferFrames frames: neither may be zero.
    if (options.rate <= 0 || options.bufferFrames == 0) return nullptr;
    try {
        auto song = std::make_unique<MidiSong>();
        song->dlsCollection = collection;

        const InstrumentConfiguration& config = instrumentConfiguration();
        for (size_t n = 0; n < 128; ++n) {
            if (config.melodicTemplates[n]) {
                song->melodicBanks[n] = std::make_unique<ToneBank>();
                song->melodicBanks[n]->entries = config.melodicTemplates[n]->entries;
            }
            if (config.drumTemplates[n]) {
                song->drumSets[n] = std::make_unique<ToneBank>();
                song->drumSets[n]->entries = config.drumTemplates[n]->entries;
            }
        }

        prepareSong(*song, options);

        // Event-list building reads defaultProgram as every channel's start
        // program, so the default instrument comes after it.
        if (!readMidiFile(*song, stream)) return nullptr;

        song->defaultInstrument.reset();
        song->defaultProgram = 0;
        if (!config.defaultInstrumentName.empty()) {
            song->defaultInstrument =
                loadPatchInstrument(*song, config.defaultInstrumentName, -1, -1, -1, 0, 0, 0);
            if (song->defaultInstrument) song->defaultProgram = -1;
        }
        return song;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool loadSongInstruments(MidiSong& song, const ByteSource* bankFile) {
    DlsWaveAccess access;
    access.file = bankFile;
    try {
        loadMarkedInstruments(song, access);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return !access.readFailed;
}

std::unique_ptr<MidiSong> createSong(const SongOptions& options, InputStream* stream,
                                     const DlsCollection* collection, const ByteSource* bankFile) {
    std::unique_ptr<MidiSong> song = readSong(options, stream, collection);
    if (song && !loadSongInstruments(*song, bankFile)) song.reset();
    return song;
}

void prepareSong(MidiSong& song, const SongOptions& options) {
    // A song is created at 70 % and raised to full level (100 %) when
    // playback starts, before anything sounds: the 70 is never heard.
    song.amplification = 70;
    song.voiceCount = 32;
    song.drumChannelMask = 0x8200;  // channels 10 and 16
    song.outputRate = options.rate;

    song.format = options.format;
    song.convertOutput = selectOutputConversion(options.format);

    song.bufferFrames = options.bufferFrames;
    song.resampleBuffer.assign(size_t(options.bufferFrames), 0);
    song.mixBuffer.assign(2 * size_t(options.bufferFrames), 0);
    song.groupMix.assign(2 * size_t(options.bufferFrames), 0);

    song.bytesPerFrame = ((song.format.bits() == 16) ? 2 : 1) * (song.format.mono() ? 1 : 2);
    song.controlRatio = std::clamp(song.outputRate / 1000, 1, 255);
    song.lostNoteCount = 0;
    song.stolenNoteCount = 0;
}

void freeSong(std::unique_ptr<MidiSong>& song) { song.reset(); }

void startSong(MidiSong& song) {
    startPlayback(song);
    song.playing = 1;
    song.masterVolume = float(song.amplification) / 100.0f;
    if (song.currentTime > 0) song.currentTime = 0;
    resetPlaybackState(song);
    song.currentEvent = 0;
}

}  // namespace tz
