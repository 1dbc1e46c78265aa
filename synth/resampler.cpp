// Resampling of a voice's sample data to the output rate: linear
// interpolation in 12-bit fixed point, stepped in chunks that never cross a
// boundary (sample end, loop point, vibrato update), so the inner loop has no
// tests. One loop per variant: not looping / forward loop / ping-pong loop,
// each plain or with vibrato.
//
// Positions are carried in 64 bits inside a call: the data hold fewer than
// 2^19 values, so every position at which a frame is computed fits 32 bits,
// but the position one step past the last frame may not for a very large step.
#include "synth/resampler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "records/channel_voice.h"
#include "records/instrument.h"
#include "synth/lfo.h"
#include "synth/simd_path.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if TZ_AVX2_PATH
#include <immintrin.h>
#endif

namespace tz {
namespace {

constexpr int64_t kUnbounded = std::numeric_limits<int64_t>::max();

// Frames at p, p + s, ..., that lie on this side of the boundary b or on it.
inline int64_t framesBefore(int64_t b, int64_t p, int64_t s) {
    if (s == 0) return kUnbounded;
    return (b - p) / s + 1;
}

inline int32_t storedPosition(int64_t p) {
    return int32_t(std::clamp<int64_t>(p, 0, std::numeric_limits<int32_t>::max()));
}

// One frame: data[i] + (((data[i + 1] - data[i]) * f) >> 12).
inline int16_t interpolateAt(const int16_t* data, uint32_t pos) {
    const uint32_t i = pos >> kFractionBits;
    const int32_t f = int32_t(pos & kFractionMask);
    const int32_t a = data[i];
    const int32_t b = data[i + 1];
    return int16_t(a + (((b - a) * f) >> kFractionBits));
}

// The interpolation loops compute count frames at pos, pos + inc, ... Every
// position used lies inside the data (or on its end, where the guard values
// are read), so 32 unsigned bits hold it; the increment after the last frame
// may wrap, harmlessly. Each wide loop computes exactly the plain loop's
// frames: a + ((b - a) * f >> 12) equals (a * (4096 - f) + b * f) >> 12
// (a * 4096 is a multiple of 4096), which is one multiply-add of 16-bit pairs
// on the neighbouring pair (a, b) against the weights (4096 - f, f); the
// results lie between a and b, so packing them to 16 bits never saturates.
// Lane positions are pos + k * inc in 32-bit unsigned arithmetic, as in the
// plain loop.
using InterpolateFn = void (*)(int16_t* out, const int16_t* data, uint32_t pos, uint32_t inc, int32_t n);

void interpolatePlain(int16_t* out, const int16_t* data, uint32_t pos, uint32_t inc, int32_t n) {
    for (int32_t j = 0; j < n; ++j) {
        out[j] = interpolateAt(data, pos);
        pos += inc;
    }
}

#if defined(__SSE2__)
// Four frames at a time, each pair loaded on its own.
void interpolateSse2(int16_t* out, const int16_t* data, uint32_t pos, uint32_t inc, int32_t n) {
    const __m128i fractionMask = _mm_set1_epi32(kFractionMask);
    const __m128i one = _mm_set1_epi32(kFractionOne);
    int32_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const uint32_t p0 = pos, p1 = pos + inc, p2 = pos + 2 * inc, p3 = pos + 3 * inc;
        pos += 4 * inc;
        uint32_t w0, w1, w2, w3;
        std::memcpy(&w0, data + (p0 >> kFractionBits), 4);
        std::memcpy(&w1, data + (p1 >> kFractionBits), 4);
        std::memcpy(&w2, data + (p2 >> kFractionBits), 4);
        std::memcpy(&w3, data + (p3 >> kFractionBits), 4);
        const __m128i pairs = _mm_set_epi32(int32_t(w3), int32_t(w2), int32_t(w1), int32_t(w0));
        const __m128i f = _mm_and_si128(_mm_set_epi32(int32_t(p3), int32_t(p2), int32_t(p1), int32_t(p0)),
                                        fractionMask);
        const __m128i weights = _mm_or_si128(_mm_sub_epi32(one, f), _mm_slli_epi32(f, 16));
        const __m128i frames = _mm_srai_epi32(_mm_madd_epi16(pairs, weights), kFractionBits);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), _mm_packs_epi32(frames, frames));
    }
    interpolatePlain(out + j, data, pos, inc, n - j);
}
#endif

#if defined(__SSE2__)
constexpr InterpolateFn kBaselineInterpolate = interpolateSse2;
#else
constexpr InterpolateFn kBaselineInterpolate = interpolatePlain;
#endif

#if TZ_AVX2_PATH
// Forward steps up to two values a frame: eight frames read no further than
// 15 values past the first frame's index, so two 16-value loads there (one
// starting a value later) hold every frame's pair: a frame at an even offset
// o from the first index finds its pair as 32-bit element o / 2 of the first
// load, at an odd offset as element o / 2 of the second. Steps up to four
// values a frame take two such windows, one for each four frames (no more
// than 13 values past their first index). A window's second load ends 16
// values past a frame's index, which lies at most on the data's end: the
// guard and read-ahead values cover it. Longer or backward steps are rare and
// take the baseline loop.
constexpr uint32_t kOneWindowStepLimit = 2 * kFractionOne;
constexpr uint32_t kTwoWindowStepLimit = 4 * kFractionOne;
static_assert(kReadAheadValues >= 16 - kGuardValues + 1);

// The pairs at the offsets (as elements o / 2 and a mask holding o's low bit
// in the sign bit) from the window at data + first.
TZ_TARGET_AVX2 inline __m256i windowPairs(const int16_t* window, __m256i element, __m256 odd) {
    const __m256i even = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(window));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(window + 1));
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(_mm256_permutevar8x32_epi32(even, element)),
                                                _mm256_castsi256_ps(_mm256_permutevar8x32_epi32(next, element)), odd));
}

template <bool TwoWindows>
TZ_TARGET_AVX2 void interpolateWindows(int16_t* out, const int16_t* data, uint32_t pos, uint32_t inc, int32_t n) {
    const __m256i fractionMask = _mm256_set1_epi32(kFractionMask);
    const __m256i one = _mm256_set1_epi32(kFractionOne);
    const __m256i advance = _mm256_set1_epi32(int32_t(8 * inc));
    __m256i p = _mm256_add_epi32(_mm256_set1_epi32(int32_t(pos)),
                                 _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                                    _mm256_set1_epi32(int32_t(inc))));
    int32_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const uint32_t first = pos >> kFractionBits;
        const uint32_t second = TwoWindows ? (pos + 4 * inc) >> kFractionBits : first;
        const __m256i firsts = _mm256_setr_epi32(int32_t(first), int32_t(first), int32_t(first), int32_t(first),
                                                 int32_t(second), int32_t(second), int32_t(second), int32_t(second));
        const __m256i offset = _mm256_sub_epi32(_mm256_srli_epi32(p, kFractionBits), firsts);
        const __m256i element = _mm256_srli_epi32(offset, 1);
        const __m256 odd = _mm256_castsi256_ps(_mm256_slli_epi32(offset, 31));
        __m256i pairs = windowPairs(data + first, element, odd);
        if constexpr (TwoWindows) pairs = _mm256_blend_epi32(pairs, windowPairs(data + second, element, odd), 0xF0);
        const __m256i f = _mm256_and_si256(p, fractionMask);
        const __m256i weights = _mm256_or_si256(_mm256_sub_epi32(one, f), _mm256_slli_epi32(f, 16));
        const __m256i frames = _mm256_srai_epi32(_mm256_madd_epi16(pairs, weights), kFractionBits);
        const __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(frames), _mm256_extracti128_si256(frames, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), packed);
        p = _mm256_add_epi32(p, advance);
        pos += 8 * inc;
    }
    interpolatePlain(out + j, data, pos, inc, n - j);
}

TZ_TARGET_AVX2 void interpolateAvx2(int16_t* out, const int16_t* data, uint32_t pos, uint32_t inc, int32_t n) {
    if (inc <= kOneWindowStepLimit)
        interpolateWindows<false>(out, data, pos, inc, n);
    else if (inc <= kTwoWindowStepLimit)
        interpolateWindows<true>(out, data, pos, inc, n);
    else
        kBaselineInterpolate(out, data, pos, inc, n);
}
#endif

// Indexed by SimdPath.
constexpr InterpolateFn kInterpolate[kSimdPathCount] = {
    interpolatePlain,
    kBaselineInterpolate,
#if TZ_AVX2_PATH
    interpolateAvx2,
#else
    kBaselineInterpolate,
#endif
};

struct Loop {
    int64_t start;
    int64_t end;
    int64_t length() const { return end - start; }
};

// Forward loop: the single wrap at the start of a chunk. A loop shorter than
// the step is wrapped again until the position is back inside it.
inline void wrapForward(int64_t& p, const Loop& loop) {
    const int64_t length = loop.length();
    p -= length;
    if (p > loop.end) {
        if (length == 0)
            p = loop.start;
        else
            p -= (p - loop.end + length - 1) / length * length;
    }
}

// Ping-pong loop: brings a position that a reflection (or the approach to the
// loop) carried past the other end back inside, reflecting as often as a
// loop shorter than the step needs; each reflection reverses the step.
inline void foldInside(int64_t& p, int64_t& s, const Loop& loop) {
    const int64_t length = loop.length();
    if (length == 0) {
        p = loop.start;
        return;
    }
    const bool above = p > loop.end;
    const int64_t excess = above ? p - loop.end : loop.start - p;
    const int64_t reflections = (excess + length - 1) / length;
    const int64_t rest = excess - (reflections - 1) * length;  // 1..length
    const bool odd = (reflections & 1) != 0;
    p = (above == odd) ? loop.end - rest : loop.start + rest;
    if (odd) s = -s;
}

inline void reflect(int64_t& p, int64_t& s, const Loop& loop) {
    if (p >= loop.end) {
        p = 2 * loop.end - p;
        s = -s;
    } else if (p <= loop.start) {
        p = 2 * loop.start - p;
        s = -s;
    }
    if (p < loop.start || p > loop.end) foldInside(p, s, loop);
}

struct Span {
    Voice& voice;
    int32_t outputRate;
    const int16_t* data;
    int16_t* out;
    int32_t wanted;
    InterpolateFn interpolateLoop;

    // count frames at p, p + s, ... into out + at.
    void interpolate(int64_t at, int64_t p, int64_t s, int64_t count) const {
        interpolateLoop(out + at, data, uint32_t(p), uint32_t(s), int32_t(count));
    }
};

// --- not looping -----------------------------------------------------------

int32_t playToEnd(Span& span, int64_t end) {
    Voice& v = span.voice;
    int64_t p = v.position;
    const int64_t s = std::abs(int64_t(v.step));
    // A position already past the end (a loop ending on the data end, left
    // one step past it, then released) gives at most one frame, which is
    // never handed back; it is not computed, as it would lie outside the
    // data. (A step of 0 there would otherwise count frames never computed.)
    const int32_t most = p > end ? std::min(span.wanted, 1) : span.wanted;
    const int64_t k = std::clamp<int64_t>(framesBefore(end, p, s), 0, most);
    span.interpolate(0, p, s, p > end ? 0 : k);
    p += k * s;
    if (p < end) {
        v.position = int32_t(p);
        return span.wanted;
    }
    v.state = VoiceState::Free;
    v.position = storedPosition(p);
    return int32_t(std::max<int64_t>(k - 1, 0));
}

// A new step every vibratoPeriod + 1 frames: before each frame the countdown
// either triggers an update (when 0) or is decreased.
int32_t playToEndVibrato(Span& span, int64_t end) {
    Voice& v = span.voice;
    int64_t p = v.position;
    int64_t s = std::abs(int64_t(v.step));
    int64_t countdown = std::max(v.vibratoCountdown, 0);
    int64_t done = 0;
    bool ended = false;
    while (done < span.wanted) {
        const bool update = countdown == 0;
        if (update) {
            countdown = v.vibratoPeriod;
            s = vibratoStep(v, span.outputRate, false);
        }
        // Frames with this step before the next update is due.
        const int64_t beforeUpdate = update ? countdown + 1 : countdown;
        // Frames up to and including the one after which p reaches the end.
        int64_t toEnd = 1;
        if (p < end) toEnd = s == 0 ? kUnbounded : (end - p + s - 1) / s;
        const int64_t k = std::min({beforeUpdate, toEnd, int64_t(span.wanted) - done});
        span.interpolate(done, p, s, p > end ? 0 : k);  // as in playToEnd
        p += k * s;
        done += k;
        countdown -= update ? k - 1 : k;
        if (p >= end) {
            ended = true;
            break;
        }
    }
    v.step = int32_t(s);
    v.vibratoCountdown = int32_t(countdown);
    if (!ended) {
        v.position = int32_t(p);
        return span.wanted;
    }
    v.state = VoiceState::Free;
    v.position = storedPosition(p);
    return int32_t(std::max<int64_t>(done - 1, 0));
}

// One chunk of a looping vibrato voice: at most k frames at the current step,
// cut short where the next vibrato update falls; the update then takes a new
// step (with the sign of the current one).
inline void playVibratoChunk(Span& span, int64_t& p, int64_t& s, int64_t& countdown, int64_t& done, int64_t k) {
    Voice& v = span.voice;
    const bool due = k > countdown;
    if (due)
        k = countdown;
    else
        countdown -= k;
    span.interpolate(done, p, s, k);
    p += k * s;
    done += k;
    if (due) {
        countdown = v.vibratoPeriod;
        s = vibratoStep(v, span.outputRate, s < 0);
    }
}

// --- forward loop ----------------------------------------------------------

// Stores a forward-loop position. A position one step past a loop end near the
// top of the 32-bit range is wrapped now rather than at the next call.
inline void storeForward(Voice& v, int64_t p, const Loop& loop) {
    if (p > std::numeric_limits<int32_t>::max()) wrapForward(p, loop);
    v.position = int32_t(p);
}

int32_t playForwardLoop(Span& span, const Loop& loop) {
    Voice& v = span.voice;
    int64_t p = v.position;
    const int64_t s = std::abs(int64_t(v.step));
    int64_t done = 0;
    while (done < span.wanted) {
        if (p >= loop.end) wrapForward(p, loop);
        const int64_t k = std::min(framesBefore(loop.end, p, s), int64_t(span.wanted) - done);
        span.interpolate(done, p, s, k);
        p += k * s;
        done += k;
    }
    storeForward(v, p, loop);
    return span.wanted;
}

// A new step every vibratoPeriod frames; a countdown of 0 gives a chunk of no
// frames and an update at once.
int32_t playForwardLoopVibrato(Span& span, const Loop& loop) {
    Voice& v = span.voice;
    int64_t p = v.position;
    int64_t s = std::abs(int64_t(v.step));
    int64_t countdown = std::max(v.vibratoCountdown, 0);
    int64_t done = 0;
    while (done < span.wanted) {
        if (p >= loop.end) wrapForward(p, loop);
        int64_t k = std::min(framesBefore(loop.end, p, s), int64_t(span.wanted) - done);
        playVibratoChunk(span, p, s, countdown, done, k);
    }
    storeForward(v, p, loop);
    v.step = int32_t(s);
    v.vibratoCountdown = int32_t(countdown);
    return span.wanted;
}

// --- ping-pong loop --------------------------------------------------------

inline int64_t framesToTurn(int64_t p, int64_t s, const Loop& loop) {
    if (s > 0) return framesBefore(loop.end, p, s);
    if (s < 0) return framesBefore(loop.start, p, s);
    return kUnbounded;
}

int32_t playPingPong(Span& span, const Loop& loop) {
    Voice& v = span.voice;
    int64_t p = v.position;
    int64_t s = v.step;
    int64_t done = 0;
    if (p <= loop.start) {
        // Not yet inside the loop: one chunk forward up to the loop start.
        s = std::abs(s);
        done = std::min(framesBefore(loop.start, p, s), int64_t(span.wanted));
        span.interpolate(0, p, s, done);
        p += done * s;
    }
    if (p > loop.end) foldInside(p, s, loop);
    while (done < span.wanted) {
        const int64_t k = std::min(framesToTurn(p, s, loop), int64_t(span.wanted) - done);
        span.interpolate(done, p, s, k);
        p += k * s;
        done += k;
        reflect(p, s, loop);
    }
    v.position = int32_t(p);
    v.step = int32_t(s);
    return span.wanted;
}

int32_t playPingPongVibrato(Span& span, const Loop& loop) {
    Voice& v = span.voice;
    int64_t p = v.position;
    int64_t s = v.step;
    int64_t countdown = std::max(v.vibratoCountdown, 0);
    int64_t done = 0;
    if (p <= loop.start) s = std::abs(s);
    while (p <= loop.start && done < span.wanted) {
        int64_t k = std::min(framesBefore(loop.start, p, s), int64_t(span.wanted) - done);
        playVibratoChunk(span, p, s, countdown, done, k);
    }
    if (p > loop.end) foldInside(p, s, loop);
    while (done < span.wanted) {
        int64_t k = std::min(framesToTurn(p, s, loop), int64_t(span.wanted) - done);
        playVibratoChunk(span, p, s, countdown, done, k);
        reflect(p, s, loop);
    }
    v.position = int32_t(p);
    v.step = int32_t(s);
    v.vibratoCountdown = int32_t(countdown);
    return span.wanted;
}

}  // namespace

const int16_t* resampleVoice(Voice& v, std::span<int16_t> resampleBuffer, int32_t outputRate, int32_t& frameCount) {
    const Sample* sample = v.sample;
    int16_t* buffer = resampleBuffer.data();
    // A span never exceeds the buffer (the render loop cuts spans to it).
    const int32_t wanted =
        std::clamp<int32_t>(frameCount, 0, int32_t(std::min<size_t>(resampleBuffer.size(), INT32_MAX)));
    if (sample == nullptr || sample->data == nullptr) {
        v.state = VoiceState::Free;
        frameCount = 0;
        return buffer;
    }
    const int16_t* data = sample->data.get();
    // The loaders keep 0 <= loopStart <= loopEnd <= dataLength; held here
    // too, so that no position can leave the data.
    const int32_t dataLength = std::max(sample->dataLength, 0);
    const int32_t valueCount = dataLength >> kFractionBits;

    if (sample->sampleRate == 0) {
        // Data already at the output rate: handed out in place.
        const int32_t index = std::clamp(v.position >> kFractionBits, 0, valueCount);
        const int32_t available = valueCount - index;
        if (wanted < available) {
            v.position = (index + wanted) * kFractionOne + (v.position & kFractionMask);
            frameCount = wanted;
        } else {
            v.state = VoiceState::Free;
            frameCount = available;
        }
        return data + index;
    }

    Span span{v, outputRate, data, buffer, wanted, kInterpolate[int(activeSimdPath())]};
    const uint8_t modes = sample->modes;
    const bool loops = (modes & ModeLooping) != 0 &&
                       ((modes & ModeEnvelope) != 0 || v.state == VoiceState::Playing ||
                        v.state == VoiceState::Sustained);
    const bool vibrato = v.vibratoPeriod > 0;
    const int32_t loopStart = std::clamp(sample->loopStart, 0, dataLength);
    const Loop loop{loopStart, std::clamp(sample->loopEnd, loopStart, dataLength)};
    if (!loops)
        frameCount = vibrato ? playToEndVibrato(span, dataLength) : playToEnd(span, dataLength);
    else if ((modes & ModePingPong) == 0)
        frameCount = vibrato ? playForwardLoopVibrato(span, loop) : playForwardLoop(span, loop);
    else
        frameCount = vibrato ? playPingPongVibrato(span, loop) : playPingPong(span, loop);
    return buffer;
}

}  // namespace tz
