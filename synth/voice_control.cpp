#include "synth/voice_control.h"

#include <algorithm>
#include <cstdlib>

#include "records/midi_song.h"
#include "records/tables.h"
#include "synth/envelope.h"
#include "synth/mixer.h"
#include "synth/recompute.h"
#include "synth/standard_voice.h"

namespace tz {

namespace {

bool hasEnvelope(const Voice& voice) {
    return voice.sample != nullptr && (voice.sample->modes & ModeEnvelope) != 0;
}

// The playable instrument in slot `number` of bank `bankNumber`, or null.
const Instrument* findInstrument(const std::array<std::unique_ptr<ToneBank>, 128>& banks, int32_t bankNumber,
                                 int32_t number) {
    if (bankNumber < 0 || bankNumber > 127 || number < 0 || number > 127) return nullptr;
    const ToneBank* bank = banks[size_t(bankNumber)].get();
    if (bank == nullptr) return nullptr;
    const Instrument* instrument = bank->instruments[size_t(number)].instrument.get();
    if (instrument == nullptr || instrument->samples.empty()) return nullptr;
    return instrument;
}

const Instrument* instrumentForNote(const MidiSong& song, const Channel& channel, bool drum, int32_t note) {
    if (drum) {
        const Instrument* instrument = findInstrument(song.drumSets, channel.bank, note);
        return instrument != nullptr ? instrument : findInstrument(song.drumSets, 0, note);
    }
    if (channel.program == -1) {
        // The start program when the song has a default instrument.
        const Instrument* instrument = song.defaultInstrument.get();
        return instrument != nullptr && !instrument->samples.empty() ? instrument : nullptr;
    }
    const Instrument* instrument = findInstrument(song.melodicBanks, channel.bank, channel.program);
    return instrument != nullptr ? instrument : findInstrument(song.melodicBanks, 0, channel.program);
}

// The first Playing voice of the event's channel and key, from the highest
// slot down, or -1.
int findPlayingKey(const MidiSong& song, const MidiEvent& event) {
    for (int i = activeVoiceCount(song) - 1; i >= 0; --i) {
        const Voice& voice = song.voices[i];
        if (voice.state == VoiceState::Playing && voice.channel == event.channel && voice.note == event.a) return i;
    }
    return -1;
}

// Release of a key: starts the envelope's release stages when the sample has
// an envelope.
void beginRelease(Voice& voice) {
    voice.state = VoiceState::Releasing;
    if (voice.standard.active) {
        releaseStandardVoice(voice);
        return;
    }
    if (hasEnvelope(voice)) {
        voice.envStage = 3;
        advanceEnvelopeStage(voice);
        updateGains(voice);
    }
}

// Release of a key on `channel`, the voice's channel: held while its pedal is.
void releaseKey(Voice& voice, const Channel& channel) {
    if (channel.sustain != 0)
        voice.state = VoiceState::Sustained;
    else
        beginRelease(voice);
}

Channel& channelOf(MidiSong& song, const Voice& voice) { return song.channels[voice.channel & 15]; }

int32_t loudness(const Voice& voice) {
    return voice.panMode == PanMode::Panned ? std::max(voice.leftGain, voice.rightGain) : voice.leftGain;
}

// Stores in voice.sample the instrument's sample for the voice's
// baseFrequency and the velocity.
void selectSample(const Instrument& instrument, Voice& voice, int32_t velocity) {
    const std::vector<Sample>& samples = instrument.samples;
    if (samples.size() == 1) {
        voice.sample = &samples[0];
        return;
    }
    const int32_t f = voice.baseFrequency;
    for (const Sample& sample : samples) {
        if (sample.lowVelocity <= velocity && velocity <= sample.highVelocity && sample.lowFrequency <= f &&
            f <= sample.highFrequency) {
            voice.sample = &sample;
            return;
        }
    }
    const Sample* nearest = nullptr;
    int64_t nearestDistance = 0;
    for (const Sample& sample : samples) {
        const int64_t distance = std::llabs(int64_t(sample.rootFrequency) - f);
        if (nearest == nullptr || distance < nearestDistance) {
            nearest = &sample;
            nearestDistance = distance;
        }
    }
    voice.sample = nearest;
}

// Chooses instrument and sample and starts the note in `voice`, a slot of the
// song's pool; does nothing when neither the channel's bank nor bank 0 has the
// instrument. A melodic channel at program -1 plays the song's default
// instrument.
void startNote(Voice& voice, MidiSong& song, const MidiEvent& event) {
    const int channelIndex = event.channel & 15;
    const Channel& channel = song.channels[channelIndex];
    const bool drum = isDrumChannel(song, channelIndex);
    const Instrument* instrument = instrumentForNote(song, channel, drum, event.a);
    if (instrument == nullptr) return;

    const uint8_t fixedNote = instrument->samples[0].fixedNote;
    voice.baseFrequency = noteFrequencyTable[(fixedNote != 0 ? fixedNote : event.a) & 127];
    // A drum instrument with several samples (a kit's regions covering the
    // struck key) has velocity layers like a melodic one; with one sample
    // the choice is that sample.
    selectSample(*instrument, voice, event.b);
    const Sample& sample = *voice.sample;

    voice.state = VoiceState::Playing;
    voice.channel = uint8_t(channelIndex);
    voice.note = event.a;
    voice.velocity = event.b;
    voice.standard.active = false;
    voice.position = 0;
    voice.step = 0;
    voice.tremoloPhase = 0;
    voice.tremoloPhaseStep = sample.tremoloPhaseStep;
    voice.tremoloSweepStep = sample.tremoloSweepStep;
    voice.tremoloSweepLevel = 0;
    voice.vibratoSweepStep = sample.vibratoSweepStep;
    voice.vibratoSweepLevel = 0;
    voice.vibratoPeriod = sample.vibratoPeriod;
    voice.vibratoPhase = 0;
    voice.vibratoCountdown = 0;
    std::fill(std::begin(voice.vibratoStepCache), std::end(voice.vibratoStepCache), 0);
    voice.pan = channel.panning != -1 ? channel.panning : sample.panning;

    recomputeFrequency(voice, song.channels[channelIndex], song.outputRate);
    recomputeAmplitude(voice, song);

    if ((sample.modes & ModeEnvelope) != 0) {
        voice.envStage = 0;
        voice.envLevel = 0;
        voice.blockCountdown = 0;
        advanceEnvelopeStage(voice);
        updateGains(voice);
    } else {
        voice.envStep = 0;
        updateGains(voice);
    }
}

// --- the standard sound's notes -----------------------------------------------

// How readily a voice is taken for a new note when none is free: lower
// first. A voice cut off goes first, then released ones, then those the
// pedal holds, then held ones. Among released and pedalled voices the
// quietest goes first, a drum voice counting as 6 dB louder than it is:
// drums are protected, but a cymbal ringing on far below the music (drum
// kits often release over ten seconds and more) does not outlast a bass
// note released a moment ago. Among held ones the oldest goes first, drum
// voices after the others.
struct StealOrder {
    int kind;
    double within;
    bool operator<(const StealOrder& o) const { return kind != o.kind ? kind < o.kind : within < o.within; }
};

constexpr double kDrumStealWeight = 2.0;  // +6 dB

// The linear level a voice sounds at, in either sound's terms.
double soundingLevel(const Voice& v) {
    return v.standard.active ? standardVoiceLevel(v) : double(loudness(v)) / 4096.0;
}

StealOrder stealOrder(const MidiSong& song, const Voice& v) {
    const bool drum = isDrumChannel(song, v.channel & 15);
    const double level = soundingLevel(v);
    switch (v.state) {
        case VoiceState::Dying: return {0, 0.0};
        case VoiceState::Releasing: return {1, drum ? level * kDrumStealWeight : level};
        case VoiceState::Sustained: return {2, drum ? level * kDrumStealWeight : level};
        default: return {drum ? 4 : 3, double(v.standard.startTime)};
    }
}

// A slot for a new note: a free one, else the one stealOrder puts first.
int standardSlot(MidiSong& song) {
    int chosen = -1;
    StealOrder best{};
    for (int i = 0; i < activeVoiceCount(song); ++i) {
        const Voice& v = song.voices[i];
        if (v.state == VoiceState::Free) return i;
        const StealOrder order = stealOrder(song, v);
        if (chosen < 0 || order < best) {
            chosen = i;
            best = order;
        }
    }
    if (chosen >= 0) {
        Voice& stolen = song.voices[chosen];
        ++song.stolenNoteCount;
        if (stolen.state != VoiceState::Dying && soundingLevel(stolen) > 0.01) ++song.stolenAudibleCount;
        stolen.state = VoiceState::Free;
    }
    return chosen;
}

// A note of the standard sound: the region's exclusive class cuts the
// others of its class on the channel, the same key on the channel is
// released (unless the region lets it overlap), and the note takes a free
// voice or the one most readily given up. Samples without an articulation
// (patches) play as the classic sound plays them, in a voice found the same
// way.
void standardNoteOn(MidiSong& song, const MidiEvent& event) {
    const int channelIndex = event.channel & 15;
    const Channel& channel = song.channels[channelIndex];
    const bool drum = isDrumChannel(song, channelIndex);
    const Instrument* instrument = instrumentForNote(song, channel, drum, event.a);
    if (instrument == nullptr) return;

    Voice probe;
    const uint8_t fixedNote = instrument->samples[0].fixedNote;
    probe.baseFrequency = noteFrequencyTable[(fixedNote != 0 ? fixedNote : event.a) & 127];
    selectSample(*instrument, probe, event.b);
    const Sample* sample = probe.sample;
    const Articulation* art = sample->articulation.get();

    for (int i = 0; i < activeVoiceCount(song); ++i) {
        Voice& v = song.voices[i];
        if (v.state == VoiceState::Free || v.state == VoiceState::Dying || v.channel != channelIndex) continue;
        if (art && art->keyGroup != 0 && v.standard.active && v.standard.keyGroup == art->keyGroup) {
            cutStandardVoice(v, song.outputRate);
        } else if (v.note == event.a && (v.state == VoiceState::Playing || v.state == VoiceState::Sustained) &&
                   !(art && art->selfNonExclusive)) {
            beginRelease(v);
        }
    }

    const int slot = standardSlot(song);
    if (slot < 0) {
        ++song.lostNoteCount;
        return;
    }
    Voice& voice = song.voices[slot];
    if (!art) {
        startNote(voice, song, event);
        return;
    }
    voice.sample = sample;
    voice.baseFrequency = probe.baseFrequency;
    voice.frequency = probe.baseFrequency;
    voice.state = VoiceState::Playing;
    voice.channel = uint8_t(channelIndex);
    startStandardVoice(voice, song, channel, event.a, event.b, song.currentTime);
}

}  // namespace

int activeVoiceCount(const MidiSong& song) { return std::clamp(song.voiceCount, 0, kMaxVoices); }

void refreshStandardChannel(MidiSong& song, int channel) {
    for (int i = 0; i < activeVoiceCount(song); ++i) {
        Voice& voice = song.voices[i];
        if (voice.state != VoiceState::Free && voice.standard.active && voice.channel == channel)
            refreshStandardVoice(voice, song.channels[channel & 15], song.outputRate);
    }
}

void noteOn(MidiSong& song, const MidiEvent& event) {
    if (song.engine.sound == SoundProfile::Standard) {
        standardNoteOn(song, event);
        return;
    }
    int candidate = -1;
    for (int i = activeVoiceCount(song) - 1; i >= 0; --i) {
        Voice& voice = song.voices[i];
        if (voice.state == VoiceState::Free)
            candidate = i;
        else if (voice.channel == event.channel && voice.note == event.a)
            voice.state = VoiceState::Dying;
    }
    if (candidate >= 0) {
        startNote(song.voices[candidate], song, event);
        return;
    }

    int quietest = -1;
    int32_t quietestLoudness = 0;
    for (int i = activeVoiceCount(song) - 1; i >= 0; --i) {
        const Voice& voice = song.voices[i];
        if (voice.state != VoiceState::Sustained && voice.state != VoiceState::Releasing) continue;
        const int32_t level = loudness(voice);
        if (quietest < 0 || level < quietestLoudness) {
            quietest = i;
            quietestLoudness = level;
        }
    }
    if (quietest < 0) {
        ++song.lostNoteCount;
        return;
    }
    ++song.stolenNoteCount;
    song.voices[quietest].state = VoiceState::Free;
    startNote(song.voices[quietest], song, event);
}

void noteOff(MidiSong& song, const MidiEvent& event) {
    const int slot = findPlayingKey(song, event);
    if (slot >= 0) releaseKey(song.voices[slot], channelOf(song, song.voices[slot]));
}

void keyPressure(MidiSong& song, const MidiEvent& event) {
    const int slot = findPlayingKey(song, event);
    if (slot < 0) return;
    Voice& voice = song.voices[slot];
    if (voice.standard.active) return;  // no connection takes it by default
    voice.velocity = event.b;
    recomputeAmplitude(voice, song);
    updateGains(voice);
}

void releaseSustained(MidiSong& song, const MidiEvent& event) {
    for (int i = activeVoiceCount(song) - 1; i >= 0; --i) {
        Voice& voice = song.voices[i];
        if (voice.state == VoiceState::Sustained && voice.channel == event.channel) beginRelease(voice);
    }
}

void allNotesOff(MidiSong& song, const MidiEvent& event) {
    for (int i = activeVoiceCount(song) - 1; i >= 0; --i) {
        Voice& voice = song.voices[i];
        if (voice.state == VoiceState::Playing && voice.channel == event.channel)
            releaseKey(voice, channelOf(song, voice));
    }
}

void allSoundsOff(MidiSong& song, const MidiEvent& event) {
    for (int i = activeVoiceCount(song) - 1; i >= 0; --i) {
        Voice& voice = song.voices[i];
        const bool sounding = voice.state != VoiceState::Free && voice.state != VoiceState::Dying;
        if (sounding && voice.channel == event.channel) voice.state = VoiceState::Dying;
    }
}

void refreshChannelPitch(MidiSong& song, const MidiEvent& event) {
    for (int i = activeVoiceCount(song) - 1; i >= 0; --i) {
        Voice& voice = song.voices[i];
        if (voice.state == VoiceState::Free || voice.channel != event.channel) continue;
        if (voice.standard.active)
            refreshStandardVoice(voice, channelOf(song, voice), song.outputRate);
        else
            recomputeFrequency(voice, channelOf(song, voice), song.outputRate);
    }
}

void refreshChannelVolume(MidiSong& song, const MidiEvent& event) {
    for (int i = activeVoiceCount(song) - 1; i >= 0; --i) {
        Voice& voice = song.voices[i];
        if (voice.standard.active) {
            if (voice.state != VoiceState::Free && voice.channel == event.channel)
                refreshStandardVoice(voice, channelOf(song, voice), song.outputRate);
            continue;
        }
        const bool keyDown = voice.state == VoiceState::Playing || voice.state == VoiceState::Sustained;
        if (keyDown && voice.channel == event.channel) {
            recomputeAmplitude(voice, song);
            updateGains(voice);
        }
    }
}

}  // namespace tz
