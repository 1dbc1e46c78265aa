#include "song/song_assembly.h"

#include <algorithm>
#include <new>

#include "instruments/bank_loading.h"
#include "instruments/config.h"
#include "instruments/dls_convert.h"
#include "instruments/gus_patch.h"
#include "midi/event_list.h"
#include "midi/smf_reader.h"
#include "midi/song_facts.h"
#include "platform/error.h"
#include "synth/chorus.h"
#include "synth/output_convert.h"
#include "synth/render.h"
#include "synth/reverb.h"
#include "synth/standard_voice.h"

namespace tz {

std::unique_ptr<MidiSong> readSong(const SongOptions& options, std::span<const uint8_t> file,
                                   std::shared_ptr<const InstrumentConfiguration> configuration, Error* why,
                                   SongFacts* facts) {
    auto fail = [why](Error error) -> std::unique_ptr<MidiSong> {
        if (why) *why = error;
        return nullptr;
    };
    // Times are counted in output samples and the renderer mixes in chunks of
    // bufferFrames frames: neither may be zero.
    if (options.rate <= 0 || options.bufferFrames == 0 || !configuration) return fail(Error::SongUnreadable);
    try {
        auto song = std::make_unique<MidiSong>();
        const InstrumentConfiguration& config = *configuration;
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
        song->configuration = std::move(configuration);

        prepareSong(*song, options);

        // Event-list building reads defaultProgram as every channel's start
        // program, so the default instrument comes after it.
        SmfReaderState state;
        const bool standard = song->engine.sound == SoundProfile::Standard;
        state.standardEvents = standard;
        int32_t division = 0;
        if (Error error = readTrackEventList(file, *song, state, division); error != Error::None) return fail(error);
        if (facts) *facts = songFacts(file, state.trackEvents);
        if (!buildEventList(*song, state.trackEvents, division)) return fail(Error::SongTooLong);
        // The standard sound rings on after the last event.
        if (standard) {
            MidiEvent& end = song->events.back();
            end.time = int32_t(std::min<int64_t>(int64_t(end.time) + song->engine.tailFrames, kMaxSongSamples - 1));
        }

        song->defaultInstrument.reset();
        song->defaultProgram = 0;
        if (!config.defaultInstrumentName.empty()) {
            song->defaultInstrument = loadPatchInstrument(*song, config.patchSearchPath, config.defaultInstrumentName,
                                                          -1, -1, -1, 0, 0, 0);
            if (song->defaultInstrument) song->defaultProgram = -1;
        }
        if (why) *why = Error::None;
        return song;
    } catch (const std::bad_alloc&) {
        return fail(Error::OutOfMemory);
    }
}

bool loadSongInstruments(MidiSong& song, const ByteSource* bankFile) {
    DlsWaveAccess access;
    access.file = bankFile;
    try {
        loadMarkedInstruments(song, song.configuration ? *song.configuration : *defaultInstrumentConfiguration(),
                              access);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return !access.readFailed;
}

void prepareSong(MidiSong& song, const SongOptions& options) {
    // A song is created at 70 % and raised to full level (100 %) when
    // playback starts, before anything sounds: the 70 is never heard.
    song.amplification = 70;
    song.engine = options.engine;
    const bool standard = song.engine.sound == SoundProfile::Standard;
    song.voiceCount = song.engine.voices > 0 ? std::clamp(song.engine.voices, 1, kMaxVoices)
                      : standard           ? kStandardVoices
                                           : kClassicVoices;
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

    if (standard) {
        const size_t values = 2 * size_t(options.bufferFrames);
        song.filterBuffer.assign(standardLaneValues(options.bufferFrames), 0);
        prepareStandardSound(song.outputRate);
        song.reverbGroup.assign(values, 0);
        song.chorusGroup.assign(values, 0);
        song.reverbBus.assign(values, 0);
        song.chorusBus.assign(values, 0);
        auto reverb = std::make_shared<Reverb>();
        if (!options.format.mono() && initReverb(*reverb, song.outputRate, song.engine.reverb)) song.reverb = reverb;
        auto chorus = std::make_shared<Chorus>();
        if (!options.format.mono() && initChorus(*chorus, song.outputRate, song.engine.chorus)) song.chorus = chorus;
    }
}

void startSong(MidiSong& song) {
    startPlayback(song);
    song.playing = 1;
    song.masterVolume = float(song.amplification) / 100.0f;
    if (song.currentTime > 0) song.currentTime = 0;
    resetPlaybackState(song, song);
    song.currentEvent = 0;
    if (song.reverb) clearReverb(*song.reverb, 0);
    if (song.chorus) clearChorus(*song.chorus, 0);
}

}  // namespace tz
