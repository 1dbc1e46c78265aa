#include "synth/render.h"

#include <algorithm>
#include <cstring>

#include "records/midi_song.h"
#include "synth/chorus.h"
#include "synth/filter_lanes.h"
#include "synth/mixer.h"
#include "synth/recompute.h"
#include "synth/reverb.h"
#include "synth/standard_voice.h"
#include "synth/voice_control.h"

namespace tz {

namespace {

int outputChannels(const MidiSong& song) { return song.format.mono() ? 1 : 2; }

// Frames that fit in one mix chunk: bufferFrames, kept within the buffers
// the song actually holds.
int32_t chunkFrames(const MidiSong& song) {
    const int64_t byMix = int64_t(std::min(song.mixBuffer.size(), song.groupMix.size())) / outputChannels(song);
    const int64_t byResample = int64_t(song.resampleBuffer.size());
    return int32_t(std::max<int64_t>(0, std::min({int64_t(song.bufferFrames), byMix, byResample})));
}

// A channel as playback starts it.
void startChannel(Channel& channel, int32_t program) {
    channel.bank = 0;
    channel.program = program;
    channel.volume = 90;
    channel.sustain = 0;
    channel.panning = -1;
    channel.pitchBend = 8192;
    channel.expression = 127;
    channel.bendRange = 2;
    channel.bendFactor = 0.0f;
    channel.modulation = 0;
    channel.reverbSend = 40;
    channel.chorusSend = 0;
    channel.pressure = 0;
}

// The part of an event that only changes the channel's controllers; the same
// while rendering and during a silent seek.
void applyChannelState(MidiSong& song, const MidiEvent& event) {
    Channel& channel = song.channels[event.channel];
    switch (event.opcode) {
        case EventOpcode::ChannelVolume: channel.volume = event.a; break;
        case EventOpcode::Panning: channel.panning = event.a; break;
        case EventOpcode::SustainPedal: channel.sustain = event.a; break;
        case EventOpcode::Expression: channel.expression = event.a; break;
        case EventOpcode::PitchBend:
            channel.pitchBend = event.a + 128 * event.b;
            channel.bendFactor = 0.0f;
            break;
        case EventOpcode::ProgramChange:
            if (isDrumChannel(song, event.channel))
                channel.bank = event.a;
            else
                channel.program = event.a;
            break;
        case EventOpcode::BendRange:
            channel.bendRange = event.a;
            channel.bendFactor = 0.0f;
            break;
        case EventOpcode::ResetControllers:
            channel.volume = 90;
            channel.expression = 127;
            channel.bendFactor = 0.0f;
            channel.sustain = 0;
            channel.pitchBend = 8192;
            channel.modulation = 0;
            channel.pressure = 0;
            channel.reverbSend = 40;
            channel.chorusSend = 0;
            break;
        case EventOpcode::BankSelect: channel.bank = event.a; break;
        case EventOpcode::ModulationWheel: channel.modulation = event.a; break;
        case EventOpcode::ReverbSend: channel.reverbSend = event.a; break;
        case EventOpcode::ChorusSend: channel.chorusSend = event.a; break;
        case EventOpcode::ChannelPressure: channel.pressure = event.a; break;
        case EventOpcode::SystemReset:
            for (Channel& each : song.channels) startChannel(each, song.defaultProgram);
            break;
        default: break;
    }
}

// Full action of an event other than the end of the song.
void applyEvent(MidiSong& song, const MidiEvent& event) {
    if (event.channel > 15) return;
    applyChannelState(song, event);
    switch (event.opcode) {
        case EventOpcode::NoteOn:
            if (event.b != 0)
                noteOn(song, event);
            else
                noteOff(song, event);
            break;
        case EventOpcode::NoteOff: noteOff(song, event); break;
        case EventOpcode::KeyPressure: keyPressure(song, event); break;
        case EventOpcode::ChannelVolume:
        case EventOpcode::Expression: refreshChannelVolume(song, event); break;
        case EventOpcode::SustainPedal:
            if (event.a == 0) releaseSustained(song, event);
            break;
        case EventOpcode::PitchBend: refreshChannelPitch(song, event); break;
        case EventOpcode::AllSoundsOff: allSoundsOff(song, event); break;
        case EventOpcode::AllNotesOff: allNotesOff(song, event); break;
        // The standard sound's voices follow these as they sound.
        case EventOpcode::Panning:
        case EventOpcode::ModulationWheel:
        case EventOpcode::ReverbSend:
        case EventOpcode::ChorusSend:
        case EventOpcode::ChannelPressure:
        case EventOpcode::ResetControllers:
            if (song.engine.sound == SoundProfile::Standard) refreshStandardChannel(song, event.channel);
            break;
        case EventOpcode::SystemReset:
            if (song.engine.sound == SoundProfile::Standard)
                for (int c = 0; c < 16; ++c) refreshStandardChannel(song, c);
            break;
        default: break;
    }
}

void freeAllVoices(PlaybackState& state) {
    for (Voice& voice : state.voices) voice.state = VoiceState::Free;
}

// Mixes `frames` (at most one chunk) into the mix buffer and advances the
// play position. The voices are summed in groups of kVoicesPerGroup in 32
// bits, each group then added into the 64-bit mix: the wide loops add twice
// the values per instruction, and the sums are the same (see the mixer).
void mixFrames(MidiSong& song, int32_t frames) {
    const int32_t values = frames * outputChannels(song);
    int64_t* mix = song.mixBuffer.data();
    int32_t* group = song.groupMix.data();
    const MixContext context = mixContext(song);
    bool first = true;
    int inGroup = 0;
    for (int i = 0; i < activeVoiceCount(song); ++i) {
        Voice& voice = song.voices[i];
        if (voice.state == VoiceState::Free) continue;
        mixVoice(voice, context, group, frames);
        if (++inGroup == kVoicesPerGroup) {
            addGroupToMix(mix, group, values, first);
            first = false;
            inGroup = 0;
        }
    }
    if (inGroup > 0 || first) addGroupToMix(mix, group, values, first);
    song.currentTime += frames;
}

// The standard sound's chunk: its voices (and any classic ones) into the dry
// sums and the effects' sends, the effects added, and the last frames of
// the song faded out.
void mixStandardFrames(MidiSong& song, int32_t frames) {
    const int32_t values = frames * outputChannels(song);
    int64_t* mix = song.mixBuffer.data();
    int32_t* group = song.groupMix.data();
    const MixContext context = mixContext(song);
    StandardSends sends;
    sends.reverb = song.reverb ? song.reverbGroup.data() : nullptr;
    sends.chorus = song.chorus ? song.chorusGroup.data() : nullptr;
    bool first = true, reverbFirst = true, chorusFirst = true;
    int inGroup = 0;
    auto flush = [&] {
        addGroupToMix(mix, group, values, first);
        first = false;
        if (sends.reverbUsed) {
            addGroupToMix(song.reverbBus.data(), sends.reverb, values, reverbFirst);
            reverbFirst = false;
            sends.reverbUsed = false;
        }
        if (sends.chorusUsed) {
            addGroupToMix(song.chorusBus.data(), sends.chorus, values, chorusFirst);
            chorusFirst = false;
            sends.chorusUsed = false;
        }
        inGroup = 0;
    };
    // Voices with their filter open mix one by one; those whose filter runs
    // go after them, side by side.
    static_assert(kFilterLanes <= kVoicesPerGroup);
    Voice* filtered[kMaxVoices];
    int filteredCount = 0;
    for (int i = 0; i < activeVoiceCount(song); ++i) {
        Voice& voice = song.voices[i];
        if (voice.state == VoiceState::Free) continue;
        if (voice.standard.active && voice.state != VoiceState::Dying) {
            if (standardVoiceFiltered(voice)) {
                filtered[filteredCount++] = &voice;
                continue;
            }
            mixStandardVoice(voice, context, group, sends, song.currentTime, frames);
        } else {
            mixVoice(voice, context, group, frames);
        }
        if (++inGroup == kVoicesPerGroup) flush();
    }
    for (int i = 0; i < filteredCount; i += kFilterLanes) {
        const int count = std::min(kFilterLanes, filteredCount - i);
        if (inGroup + count > kVoicesPerGroup) flush();
        mixFilteredVoices(filtered + i, count, context, song.filterBuffer, group, sends, song.currentTime, frames);
        inGroup += count;
        if (inGroup == kVoicesPerGroup) flush();
    }
    if (inGroup > 0 || first) flush();
    if (song.reverb) runReverb(*song.reverb, reverbFirst ? nullptr : song.reverbBus.data(), mix, frames);
    if (song.chorus) runChorus(*song.chorus, chorusFirst ? nullptr : song.chorusBus.data(), mix, frames);

    // Whatever still sounds at the very end fades out over its last frames.
    const int64_t end = song.events.empty() ? 0 : song.events.back().time;
    const int64_t fade = std::max<int64_t>(1, song.outputRate / 100);
    const int channels = outputChannels(song);
    for (int32_t f = std::max<int32_t>(0, int32_t(end - fade - song.currentTime)); f < frames; ++f) {
        const int64_t left = std::max<int64_t>(0, end - (song.currentTime + f));
        for (int c = 0; c < channels; ++c) mix[f * channels + c] = mix[f * channels + c] * left / fade;
    }
    song.currentTime += frames;
}

// Mixes and converts `frames` frames in chunks of at most bufferFrames,
// advancing out past what was written.
void renderFrames(MidiSong& song, int32_t frames, uint8_t*& out) {
    const int channels = outputChannels(song);
    const int32_t chunk = chunkFrames(song);
    while (frames > 0) {
        const int32_t count = std::min(frames, chunk);
        if (count <= 0) {
            // No mix buffer to work in: the rest is silence.
            std::memset(out, 0, size_t(frames) * size_t(song.bytesPerFrame));
            out += size_t(frames) * size_t(song.bytesPerFrame);
            song.currentTime += frames;
            return;
        }
        if (song.engine.sound == SoundProfile::Standard)
            mixStandardFrames(song, count);
        else
            mixFrames(song, count);
        if (song.convertOutput != nullptr)
            song.convertOutput(out, song.mixBuffer.data(), count * channels);
        else
            std::memset(out, 0, size_t(count) * size_t(song.bytesPerFrame));
        out += size_t(count) * size_t(song.bytesPerFrame);
        frames -= count;
    }
}

// Applies the channel-state part of every event before `target` (frames)
// and leaves the position at the target (or at the end of the song).
void applyEventsSilently(MidiSong& song, int32_t target) {
    freeAllVoices(song);
    const size_t eventCount = song.events.size();
    while (song.currentEvent < eventCount) {
        const MidiEvent& event = song.events[song.currentEvent];
        if (event.time >= target) break;
        if (event.opcode == EventOpcode::EndOfSong) {
            song.currentTime = event.time;
            return;
        }
        if (event.channel <= 15) applyChannelState(song, event);
        ++song.currentEvent;
    }
    if (song.currentEvent > 0) --song.currentEvent;
    song.currentTime = target;
}

}  // namespace

void startPlayback(MidiSong& song) {
    song.masterVolume = 1.0f;
    song.amplification = 100;
    for (int i = 0; i < activeVoiceCount(song); ++i) {
        Voice& voice = song.voices[i];
        if (voice.state == VoiceState::Free) continue;
        recomputeAmplitude(voice, song);
        updateGains(voice);
    }
}

void resetPlaybackState(PlaybackState& state, const SongData& song) {
    for (Channel& channel : state.channels) startChannel(channel, song.defaultProgram);
    freeAllVoices(state);
}

int32_t renderBlock(MidiSong& song, uint8_t* out) {
    if (song.playing == 0) return 0;
    if (song.bytesPerFrame <= 0 || song.bytesPerFrame > kBlockBytes) return 0;
    const int32_t frames = kBlockBytes / song.bytesPerFrame;
    const int32_t start = song.currentTime;
    const int64_t end = int64_t(start) + frames;
    const size_t eventCount = song.events.size();

    while (song.currentTime < end) {
        for (;;) {
            if (song.currentEvent >= eventCount) {
                // An event array without its end event ends here.
                song.currentEvent = eventCount;
                song.playing = 0;
                return (song.currentTime - start) * song.bytesPerFrame;
            }
            const MidiEvent& event = song.events[song.currentEvent];
            if (event.time > song.currentTime) break;
            if (event.opcode == EventOpcode::EndOfSong) {
                song.playing = 0;
                return (song.currentTime - start) * song.bytesPerFrame;
            }
            applyEvent(song, event);
            ++song.currentEvent;
        }
        const int64_t until = std::min<int64_t>(end, song.events[song.currentEvent].time);
        renderFrames(song, int32_t(until - song.currentTime), out);
    }
    return frames * song.bytesPerFrame;
}

void seekPlayback(MidiSong& song, uint32_t milliseconds) {
    // 64-bit product: an hour is 158760000 frames at 44100 Hz, and the
    // product before the division by 10 would pass 2^31 after 81 minutes.
    const int64_t framesPer10ms = std::max<int32_t>(song.outputRate / 100, 0);
    const int64_t target = std::min<int64_t>(int64_t(milliseconds) * framesPer10ms / 10, INT32_MAX);
    if (song.currentTime > target) song.currentTime = 0;
    resetPlaybackState(song, song);
    song.currentEvent = 0;
    if (target != 0) applyEventsSilently(song, int32_t(target));
    // The effects' delay lines hold what was played before: what follows the
    // seek sounds as it does when played to there, once that tail has gone.
    if (song.reverb) clearReverb(*song.reverb, song.currentTime);
    if (song.chorus) clearChorus(*song.chorus, song.currentTime);
}

}  // namespace tz
