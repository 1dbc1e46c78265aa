#include "synth/recompute.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/saturate.h"
#include "records/midi_song.h"
#include "records/tables.h"

namespace tz {

namespace {

constexpr int32_t kNoBend = 8192;
constexpr int32_t kMaxBend = 16383;

// Frequency ratio (>= 1.0, single precision) of a bend of `offset` units of
// 1/8192 of the bend range away from the centre, for a range of `bendRange`
// semitones.
float bendFactorFor(int32_t bendRange, int32_t offset) {
    // Offset in 1/8192 of a semitone; whole semitones beyond the table's
    // last entry (a range above 127) stay at its last entry.
    return float(pitchOffsetRatio(uint64_t(std::llabs(int64_t(bendRange) * offset))));
}

}  // namespace

void recomputeFrequency(Voice& voice, Channel& channel, int32_t outputRate) {
    const Sample* sample = voice.sample;
    if (sample == nullptr || sample->sampleRate == 0) return;
    if (voice.vibratoPeriod != 0) std::fill(std::begin(voice.vibratoStepCache), std::end(voice.vibratoStepCache), 0);

    const int32_t bend = channel.pitchBend;
    if (bend == kNoBend || bend < 0 || bend > kMaxBend) {
        voice.frequency = voice.baseFrequency;
    } else {
        const int32_t offset = bend - kNoBend;
        if (channel.bendFactor == 0.0f) channel.bendFactor = bendFactorFor(channel.bendRange, offset);
        const double factor = channel.bendFactor;
        voice.frequency = saturatingTruncate(offset > 0 ? factor * double(voice.baseFrequency)
                                                       : double(voice.baseFrequency) / factor);
    }

    const double ratio = (double(sample->sampleRate) * double(voice.frequency)) /
                         (double(sample->rootFrequency) * double(outputRate)) * 4096.0;
    const double magnitude = std::fabs(ratio);
    int32_t step = 0;
    if (magnitude >= 2147483648.0) {
        step = INT32_MAX;
    } else if (!std::isnan(magnitude)) {
        const float single = float(magnitude);  // rounded to single precision, then truncated
        step = single >= 2147483648.0f ? INT32_MAX : int32_t(single);
    }
    voice.step = voice.step < 0 ? -step : step;
}

void recomputeAmplitude(Voice& voice, const MidiSong& song) {
    const Sample* sample = voice.sample;
    if (sample == nullptr) return;
    const Channel& channel = song.channels[voice.channel & 15];

    const int64_t level = int64_t(voice.velocity) * channel.expression * channel.volume;
    const double gain = double(sample->volume) * double(level) * double(song.masterVolume);

    const int32_t pan = voice.pan;
    if (song.format.mono() || (pan >= 61 && pan <= 67)) {
        voice.panMode = PanMode::Centre;
        voice.leftScale = float(gain * 0x1p-21);
    } else if (pan <= 4) {
        voice.panMode = PanMode::LeftOnly;
        voice.leftScale = float(gain * 0x1p-20);
    } else if (pan >= 124) {
        voice.panMode = PanMode::RightOnly;  // the mixer sends leftScale to the right
        voice.leftScale = float(gain * 0x1p-20);
    } else {
        voice.panMode = PanMode::Panned;
        const float weight = float(gain * 0x1p-27);
        voice.leftScale = weight * float(127 - pan);
        voice.rightScale = weight * float(pan);
    }
}

}  // namespace tz
