// Hand-built songs for the synthesizer control tests: a song record set up
// as song creation leaves it, with small instruments placed directly in its
// banks.
#pragma once
#include <algorithm>
#include <memory>
#include <vector>

#include "records/midi_song.h"
#include "song/song_assembly.h"
#include "synth/output_convert.h"
#include "synth/render.h"

namespace tz::control_testing {

inline std::unique_ptr<MidiSong> makeSong(uint16_t format = 0x8010, uint8_t channels = 2, int32_t bufferFrames = 1024,
                                          int32_t rate = 44100) {
    auto song = std::make_unique<MidiSong>();
    song->outputRate = rate;
    song->amplification = 70;
    song->voiceCount = 32;
    song->drumChannelMask = 0x8200;
    if ((format & 0xFF) == 16) song->formatFlags |= kFormat16Bit;
    if ((format & 0x8000) != 0) song->formatFlags |= kFormatSigned;
    if (channels == 1) song->formatFlags |= kFormatMono;
    song->convertOutput = selectOutputConversion(format);
    song->bufferFrames = bufferFrames;
    song->resampleBuffer.assign(size_t(bufferFrames), 0);
    song->mixBuffer.assign(2 * size_t(bufferFrames), 0);
    song->bytesPerFrame = ((song->formatFlags & kFormat16Bit) ? 2 : 1) * ((song->formatFlags & kFormatMono) ? 1 : 2);
    song->controlRatio = std::clamp(rate / 1000, 1, 255);
    song->melodicBanks[0] = std::make_unique<ToneBank>();
    song->drumSets[0] = std::make_unique<ToneBank>();
    song->events = {MidiEvent{0, 0, None, 0, 0}, MidiEvent{0, 0, EndOfSong, 0, 0}};
    return song;
}

// A non-looping sample without envelope: `values` copies of `value`,
// recorded at `rate` Hz with its root at `rootNote`'s frequency (milli-Hz
// from the caller, 440000 for A4).
inline Sample makeSample(int32_t rootFrequency = 440000, int32_t rate = 44100, int32_t values = 4000,
                         int16_t value = 16000) {
    Sample sample;
    sample.rootFrequency = rootFrequency;
    sample.sampleRate = rate;
    sample.lowFrequency = 0;
    sample.highFrequency = 20000000;
    sample.volume = 1.0f;
    sample.modes = Mode16Bit;
    sample.dataLength = values << kFractionBits;
    sample.data = allocateSampleData(values);
    for (int32_t i = 0; i < values; ++i) sample.data[i] = value;
    setGuardValues(sample.data.get(), values);
    return sample;
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

inline MidiEvent event(int32_t time, uint8_t channel, uint8_t opcode, uint8_t a = 0, uint8_t b = 0) {
    return MidiEvent{time, channel, opcode, a, b};
}

}  // namespace tz::control_testing
