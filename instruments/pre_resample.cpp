#include "instruments/pre_resample.h"

#include <algorithm>
#include <cmath>

#include "records/midi_song.h"
#include "records/tables.h"

namespace tz {

namespace {

// Four-point cubic Lagrange interpolation at fraction x between y0 and y1.
int16_t cubic(const int16_t* data, int32_t i, int32_t fraction) {
    int32_t ym1 = i > 0 ? data[i - 1] : 0;
    int32_t y0 = data[i];
    int32_t y1 = data[i + 1];
    int32_t y2 = data[i + 2];
    // Rounded to single precision, which a 12-bit fraction survives exactly.
    double x = float(double(fraction) * (1.0 / 4096.0));
    int32_t a = 3 * (ym1 - 2 * y0 + y1);
    int32_t b = 3 * (y0 - y1) + y2 - ym1;
    int32_t c = 6 * y1 - 3 * y0 - 2 * ym1 - y2;
    double v = double(y0) + (x / 6.0) * (double(c) + x * (double(a) + double(b) * x));
    return int16_t(uint16_t(uint32_t(int32_t(v))));
}

// A loop point moved with the data, kept within the new length.
int32_t scalePosition(int32_t position, double ratio, int32_t length) {
    return int32_t(std::clamp(double(position) / ratio, 0.0, double(length)));
}

}  // namespace

void preResampleSample(MidiSong& song, Sample& sample) {
    if (!sample.data || sample.dataLength < kFractionOne || sample.fixedNote == 0) return;
    // Notes above the table's range sound at its top note.
    int note = std::min<int>(sample.fixedNote, 127);
    double ratio = double(noteFrequencyTable[note]) * double(sample.sampleRate) /
                   (double(sample.rootFrequency) * double(song.outputRate));
    if (!(ratio > 0.0) || !std::isfinite(ratio)) return;
    double newLength = double(sample.dataLength) / ratio;
    // The converted sample must keep its positions inside int32.
    if (!(newLength < 2147483648.0)) return;
    int32_t length = int32_t(newLength);
    int32_t frames = length >> kFractionBits;
    // Fewer than two frames leave nothing to space out: the sample stays as it is.
    if (frames < 2) return;

    const int16_t* src = sample.data.get();
    std::shared_ptr<int16_t[]> converted = allocateSampleData(frames);
    int16_t* dst = converted.get();
    int32_t spacing = (sample.dataLength - kFractionOne) / (frames - 1);
    dst[0] = src[0];
    int32_t position = spacing;
    for (int32_t k = 1; k < frames - 1; ++k, position += spacing)
        dst[k] = cubic(src, position >> kFractionBits, position & kFractionMask);
    int32_t i = position >> kFractionBits;
    int32_t f = position & kFractionMask;
    dst[frames - 1] = f == 0 ? src[i] : int16_t(src[i] + (((src[i + 1] - src[i]) * f) >> kFractionBits));
    setGuardValues(dst, frames);

    sample.dataLength = length;
    sample.loopStart = scalePosition(sample.loopStart, ratio, length);
    sample.loopEnd = scalePosition(sample.loopEnd, ratio, length);
    sample.data = std::move(converted);
    sample.sampleRate = 0;
}

}  // namespace tz
