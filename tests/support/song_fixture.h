// Hand-built songs, samples and voices for the engine tests: a song record
// set up as song creation leaves it, with small instruments placed directly
// in its banks.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "records/midi_song.h"
#include "song/song_assembly.h"
#include "synth/resampler.h"

namespace tz::test {

inline std::unique_ptr<MidiSong> makeSong(uint16_t formatCode = SampleFormat::kSigned16, uint8_t channels = 2,
                                          int32_t bufferFrames = 1024, int32_t rate = 44100) {
    auto song = std::make_unique<MidiSong>();
    SongOptions options;
    options.format = SampleFormat{formatCode, channels};
    options.bufferFrames = uint16_t(bufferFrames);
    options.rate = rate;
    prepareSong(*song, options);
    song->melodicBanks[0] = std::make_unique<ToneBank>();
    song->drumSets[0] = std::make_unique<ToneBank>();
    song->events = {MidiEvent{0, 0, EventOpcode::None, 0, 0}, MidiEvent{0, 0, EventOpcode::EndOfSong, 0, 0}};
    return song;
}

// A song for the resampler and mixer alone, at full master volume.
inline std::unique_ptr<MidiSong> makeMixSong(int32_t bufferFrames = 1024, bool mono = false) {
    auto song = makeSong(SampleFormat::kSigned16, mono ? 1 : 2, bufferFrames);
    song->masterVolume = 1.0f;
    return song;
}

// A sample over the given values at 44100 Hz with its root at A4; loop
// points in whole values.
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

// A non-looping 16-bit sample without envelope: `count` copies of `value`,
// recorded at `rate` Hz with its root at `rootFrequency` (milli-Hz), played
// over the whole key range.
inline Sample toneSample(int32_t rootFrequency = 440000, int32_t rate = 44100, int32_t count = 4000,
                         int16_t value = 16000) {
    Sample s = makeSample(std::vector<int16_t>(size_t(count), value), Mode16Bit);
    s.rootFrequency = rootFrequency;
    s.sampleRate = rate;
    s.lowFrequency = 0;
    s.highFrequency = 20000000;
    return s;
}

// value[i] = slope * i, so an interpolated frame at position p is exactly
// (slope * p) >> 12: the frames tell where the resampler was.
inline std::vector<int16_t> ramp(int32_t count, int32_t slope = 8) {
    std::vector<int16_t> v(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) v[size_t(i)] = int16_t(i * slope);
    return v;
}

inline Instrument& putInstrument(MidiSong& song, bool drum, int bank, int number, std::vector<Sample> samples) {
    auto& banks = drum ? song.drumSets : song.melodicBanks;
    if (!banks[size_t(bank)]) banks[size_t(bank)] = std::make_unique<ToneBank>();
    auto instrument = std::make_unique<Instrument>();
    instrument->samples = std::move(samples);
    Instrument& result = *instrument;
    banks[size_t(bank)]->instruments[size_t(number)].instrument = std::move(instrument);
    return result;
}

inline MidiEvent event(int32_t time, uint8_t channel, EventOpcode opcode, uint8_t a = 0, uint8_t b = 0) {
    return MidiEvent{time, channel, opcode, a, b};
}

inline Voice& startVoice(MidiSong& song, int index, const Sample& sample, int32_t step,
                         VoiceState state = VoiceState::Playing) {
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
    const int16_t* frames = resampleVoice(song.voices[index], song.resampleBuffer, song.outputRate, frameCount);
    return std::vector<int16_t>(frames, frames + frameCount);
}

}  // namespace tz::test
