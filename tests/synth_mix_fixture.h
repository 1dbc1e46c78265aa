// Hand-built songs, samples and voices for the resampler and mixer tests.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "records/instrument.h"
#include "records/midi_song.h"
#include "synth/resampler.h"

namespace tz::testing {

inline std::unique_ptr<MidiSong> makeMixSong(int32_t bufferFrames = 1024, bool mono = false) {
    auto song = std::make_unique<MidiSong>();
    song->outputRate = 44100;
    song->formatFlags = mono ? kFormatMono : 0;
    song->bufferFrames = bufferFrames;
    song->resampleBuffer.assign(size_t(bufferFrames), 0);
    song->mixBuffer.assign(2 * size_t(bufferFrames), 0);
    song->controlRatio = 44;
    song->voiceCount = 32;
    song->masterVolume = 1.0f;
    return song;
}

// A sample over the given values; loop points in whole values.
inline Sample makeSample(const std::vector<int16_t>& values, uint8_t modes = 0, int32_t loopStart = 0,
                         int32_t loopEnd = 0) {
    Sample s;
    const int32_t count = int32_t(values.size());
    s.data = allocateSampleData(count);
    for (int32_t i = 0; i < count; ++i) s.data[i] = values[size_t(i)];
    setGuardValues(s.data.get(), count);
    s.dataLength = count << kFractionBits;
    s.loopStart = loopStart << kFractionBits;
    s.loopEnd = loopEnd << kFractionBits;
    s.sampleRate = 44100;
    s.rootFrequency = 440000;
    s.volume = 1.0f;
    s.modes = modes;
    return s;
}

// value[i] = slope * i, so an interpolated frame at position p is exactly
// (slope * p) >> 12: the frames tell where the resampler was.
inline std::vector<int16_t> ramp(int32_t count, int32_t slope = 8) {
    std::vector<int16_t> v(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) v[size_t(i)] = int16_t(i * slope);
    return v;
}

inline Voice& startVoice(MidiSong& song, int index, const Sample& sample, int32_t step,
                         VoiceState state = Playing) {
    Voice& v = song.voices[index];
    v = Voice{};
    v.state = state;
    v.sample = &sample;
    v.step = step;
    v.frequency = 440000;
    v.baseFrequency = 440000;
    v.vibratoPeriod = sample.vibratoPeriod;
    v.vibratoSweepStep = sample.vibratoSweepStep;
    v.tremoloPhaseStep = sample.tremoloPhaseStep;
    v.tremoloSweepStep = sample.tremoloSweepStep;
    return v;
}

// Resamples frameCount frames and returns those handed back.
inline std::vector<int16_t> pull(MidiSong& song, int index, int32_t frameCount) {
    const int16_t* frames = resampleVoice(song, index, frameCount);
    return std::vector<int16_t>(frames, frames + frameCount);
}

}  // namespace tz::testing
