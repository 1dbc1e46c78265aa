// Resampling of a voice's sample data to the output rate: linear
// interpolation in 12-bit fixed point, stepped in chunks that never cross a
// boundary (sample end, loop point, vibrato update), so the inner loop has no
// tests. The variants (not looping / forward loop / ping-pong loop, each plain
// or with vibrato) are one template, instantiated once for each.
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

// --- the six variants: loop kind, with or without vibrato --------------------
//
// Every variant plays the span as chunks of frames at one step, each running at
// most up to the next boundary of its loop kind:
//   None      up to the data's end, where the voice ends (it becomes Free and
//             the frame that reached the end is not handed back);
//   Forward   up to the loop end, wrapped back into the loop before the next;
//   PingPong  up to the end it moves towards, where it is reflected; a voice
//             not yet inside the loop first plays forward up to its start.
// With vibrato a chunk is also cut where the next update of the step falls.
// One template states them all; each variant is its own instantiation.

enum class LoopKind { None, Forward, PingPong };

// Where a call stands: position, step, vibrato countdown, frames done.
struct Cursor {
    int64_t p;
    int64_t s;
    int64_t countdown;
    int64_t done;
};

inline int64_t framesToTurn(int64_t p, int64_t s, const Loop& loop) {
    if (s > 0) return framesBefore(loop.end, p, s);
    if (s < 0) return framesBefore(loop.start, p, s);
    return kUnbounded;
}

// Frames from the cursor at its step up to the boundary of the loop kind (for
// a voice that does not loop, loop.end is the data's end).
template <LoopKind Kind, bool Vibrato>
inline int64_t framesToBoundary(const Cursor& c, const Loop& loop) {
    if constexpr (Kind == LoopKind::Forward) {
        return framesBefore(loop.end, c.p, c.s);
    } else if constexpr (Kind == LoopKind::PingPong) {
        return framesToTurn(c.p, c.s, loop);
    } else if constexpr (Vibrato) {
        // Up to and including the frame after which the position reaches the end.
        if (c.p >= loop.end) return 1;
        return c.s == 0 ? kUnbounded : (loop.end - c.p + c.s - 1) / c.s;
    } else {
        // The frames at or before the end. A position already past the end (a
        // loop ending on the data end, left one step past it, then released)
        // gives at most one frame.
        const int64_t k = std::max<int64_t>(framesBefore(loop.end, c.p, c.s), 0);
        return c.p > loop.end ? std::min<int64_t>(k, 1) : k;
    }
}

// Plays the next chunk: at most k frames at the cursor's step, fewer where the
// span ends or, with vibrato, where the countdown to the next update runs out.
// A looping voice takes its new step (with the sign of the old one) right
// after a chunk so cut. A frame at a position past the data's end (a voice
// that does not loop) is counted, never handed back, and not computed, as it
// would lie outside the data.
template <LoopKind Kind, bool Vibrato>
inline void playChunk(Span& span, Cursor& c, int64_t k, const Loop& loop) {
    k = std::min(k, int64_t(span.wanted) - c.done);
    [[maybe_unused]] bool cut = false;
    if constexpr (Vibrato) {
        cut = k > c.countdown;
        k = std::min(k, c.countdown);
        c.countdown -= k;
    }
    const bool computed = Kind != LoopKind::None || c.p <= loop.end;
    span.interpolate(c.done, c.p, c.s, computed ? k : 0);
    c.p += k * c.s;
    c.done += k;
    if constexpr (Vibrato && Kind != LoopKind::None) {
        if (cut) {
            c.countdown = span.voice.vibratoPeriod;
            c.s = vibratoStep(span.voice, span.outputRate, c.s < 0);
        }
    }
}

// Stores a forward-loop position. A position one step past a loop end near the
// top of the 32-bit range is wrapped now rather than at the next call.
inline void storeForward(Voice& v, int64_t p, const Loop& loop) {
    if (p > std::numeric_limits<int32_t>::max()) wrapForward(p, loop);
    v.position = int32_t(p);
}

// Stores where the call ended and returns the frames handed back.
template <LoopKind Kind, bool Vibrato>
inline int32_t finish(Span& span, const Cursor& c, const Loop& loop) {
    Voice& v = span.voice;
    if constexpr (Vibrato) v.vibratoCountdown = int32_t(c.countdown);
    if constexpr (Vibrato || Kind == LoopKind::PingPong) v.step = int32_t(c.s);
    if constexpr (Kind == LoopKind::Forward) {
        storeForward(v, c.p, loop);
        return span.wanted;
    } else if constexpr (Kind == LoopKind::PingPong) {
        v.position = int32_t(c.p);
        return span.wanted;
    } else {
        // A call for no frames leaves a vibrato voice as it is, even at its end.
        const bool ended = c.p >= loop.end && (!Vibrato || span.wanted > 0);
        if (!ended) {
            v.position = int32_t(c.p);
            return span.wanted;
        }
        v.state = VoiceState::Free;
        v.position = storedPosition(c.p);
        return int32_t(std::max<int64_t>(c.done - 1, 0));
    }
}

template <LoopKind Kind, bool Vibrato>
int32_t play(Span& span, const Loop& loop) {
    Voice& v = span.voice;
    // Only a ping-pong voice runs backwards; the others take the step's size.
    Cursor c{v.position, Kind == LoopKind::PingPong ? int64_t(v.step) : std::abs(int64_t(v.step)),
             Vibrato ? std::max(v.vibratoCountdown, 0) : 0, 0};
    if constexpr (Kind == LoopKind::PingPong) {
        if (c.p <= loop.start) c.s = std::abs(c.s);
        while (c.p <= loop.start && c.done < span.wanted)
            playChunk<Kind, Vibrato>(span, c, framesBefore(loop.start, c.p, c.s), loop);
        if (c.p > loop.end) foldInside(c.p, c.s, loop);
    }
    while (c.done < span.wanted) {
        if constexpr (Kind == LoopKind::Forward) {
            if (c.p >= loop.end) wrapForward(c.p, loop);
        }
        if constexpr (Kind == LoopKind::None && Vibrato) {
            // A voice that does not loop takes its new step before a frame,
            // when the countdown has run out: one every vibratoPeriod + 1 frames.
            if (c.countdown == 0) {
                c.countdown = int64_t(v.vibratoPeriod) + 1;
                c.s = vibratoStep(v, span.outputRate, false);
            }
        }
        playChunk<Kind, Vibrato>(span, c, framesToBoundary<Kind, Vibrato>(c, loop), loop);
        if constexpr (Kind == LoopKind::PingPong) reflect(c.p, c.s, loop);
        if constexpr (Kind == LoopKind::None) {
            if (c.p >= loop.end) break;
        }
    }
    return finish<Kind, Vibrato>(span, c, loop);
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
    const Loop toEnd{0, dataLength};
    if (!loops)
        frameCount = vibrato ? play<LoopKind::None, true>(span, toEnd) : play<LoopKind::None, false>(span, toEnd);
    else if ((modes & ModePingPong) == 0)
        frameCount = vibrato ? play<LoopKind::Forward, true>(span, loop) : play<LoopKind::Forward, false>(span, loop);
    else
        frameCount = vibrato ? play<LoopKind::PingPong, true>(span, loop) : play<LoopKind::PingPong, false>(span, loop);
    return buffer;
}

}  // namespace tz
