// The chorus: set-up for the output rate, the sweep of the taps per segment
// and the dispatch of the loops by SIMD path.
#include "synth/chorus.h"

#include <algorithm>

#include "synth/effect_loops.h"
#include "synth/simd_path.h"

namespace tz {
namespace {

constexpr int32_t kChorusMirror = kChorusSegment;
// The bus's left plus right, in mix units, to the line's units (2^8 mix
// units: the mean of the two sides).
constexpr float kChorusInputScale = 0x1p-9f;
// Mix units per unit of the two taps on a side, at level 1: each at the
// input's level.
constexpr double kReturnGain = 256.0;
constexpr float kChorusOutputLimit = 0x1p30f;

namespace loops {
#include "synth/chorus_loops.inc"
}  // namespace loops

struct Loops {
    bool (*input)(float* line, const int64_t* bus, int32_t n);
    void (*taps)(const Chorus& chorus, const uint32_t* starts, const uint32_t* steps, int64_t* mix, int32_t n);
};

#if TZ_AVX2_PATH
// The same loops compiled for AVX2 alone.
TZ_AVX2_BEGIN
namespace avx2loops {
#include "synth/chorus_loops.inc"
}  // namespace avx2loops
bool avx2Input(float* line, const int64_t* bus, int32_t n) {
    return avx2loops::chorusInputLoops<fx::Avx2Ops>(line, bus, n);
}
void avx2Taps(const Chorus& chorus, const uint32_t* starts, const uint32_t* steps, int64_t* mix, int32_t n) {
    avx2loops::chorusTapLoops<fx::Avx2Ops>(chorus, starts, steps, mix, n);
}
TZ_AVX2_END
#endif

// Indexed by SimdPath.
const Loops kLoops[kSimdPathCount] = {
    {loops::chorusInputLoops<fx::PlainOps>, loops::chorusTapLoops<fx::PlainOps>},
#if defined(__SSE2__)
    {loops::chorusInputLoops<fx::Sse2Ops>, loops::chorusTapLoops<fx::Sse2Ops>},
#else
    {loops::chorusInputLoops<fx::PlainOps>, loops::chorusTapLoops<fx::PlainOps>},
#endif
#if TZ_AVX2_PATH
    {avx2Input, avx2Taps},
#elif defined(__SSE2__)
    {loops::chorusInputLoops<fx::Sse2Ops>, loops::chorusTapLoops<fx::Sse2Ops>},
#else
    {loops::chorusInputLoops<fx::PlainOps>, loops::chorusTapLoops<fx::PlainOps>},
#endif
};

// A tap's delay at the song's frame, in 1/65536 frames.
inline int32_t delayAt(const Chorus& chorus, uint32_t frame, int tap) {
    const uint32_t phase = frame * chorus.phaseStep + uint32_t(tap) * (1u << 30);
    return int32_t(chorus.centreDelay + chorus.depth * fx::sineAt(chorus.sine, phase));
}

}  // namespace

bool initChorus(Chorus& chorus, int32_t rate, float level) {
    chorus = Chorus{};
    if (rate < kMinEffectRate || rate > kMaxEffectRate) return false;
    if (!(level > 0.0f)) return true;
    chorus.level = std::min(level, 1.0f);
    chorus.rate = rate;
    const double framesPerMs = rate / 1000.0;
    chorus.centreDelay = float(kChorusDelayMs * framesPerMs * 65536.0);
    chorus.depth = float(kChorusDepthMs * framesPerMs * 65536.0);
    chorus.phaseStep = uint32_t(kChorusRateHz * 4294967296.0 / rate);
    const int32_t longest = int32_t((kChorusDelayMs + kChorusDepthMs) * framesPerMs) + 2;
    chorus.ringSize = 1;
    while (chorus.ringSize < longest + kChorusSegment) chorus.ringSize *= 2;
    chorus.returnGain = float(double(chorus.level) * kReturnGain);
    chorus.ring.assign(size_t(chorus.ringSize + kChorusMirror), 0.0f);
    chorus.sine = fx::sineTable();
    clearChorus(chorus, 0);
    return true;
}

void clearChorus(Chorus& chorus, int64_t position) {
    std::fill(chorus.ring.begin(), chorus.ring.end(), 0.0f);
    chorus.position = uint32_t(uint64_t(position));
    chorus.quietFrames = chorus.ringSize;
}

void runChorus(Chorus& chorus, const int64_t* bus, int64_t* mix, int32_t frames) {
    if (!chorusActive(chorus) || chorus.ring.empty()) return;
    const Loops& loops = kLoops[int(activeSimdPath())];
    const uint32_t size = uint32_t(chorus.ringSize), mask = size - 1;
    float* ring = chorus.ring.data();
    while (frames > 0) {
        // Nothing sent and the line empty: the output is silence.
        if (bus == nullptr && chorus.quietFrames >= chorus.ringSize) {
            chorus.position += uint32_t(frames);
            return;
        }
        // Up to the end of the segment the position lies in.
        const uint32_t segment = chorus.position & ~uint32_t(kChorusSegment - 1);
        const uint32_t offset = chorus.position - segment;
        const int32_t n = std::min(frames, int32_t(kChorusSegment - offset));

        // The input first, so that a tap may read the frame it stands at.
        // Segments never cross the ring's end (its size is a whole number of
        // them); what went to its front is repeated after the end.
        const uint32_t write = chorus.position & mask;
        const bool written = loops.input(ring + write, bus, n);
        if (write < uint32_t(kChorusMirror))
            std::copy(ring + write, ring + std::min<uint32_t>(write + uint32_t(n), kChorusMirror), ring + size + write);
        chorus.quietFrames = written ? 0 : std::min(chorus.quietFrames + n, chorus.ringSize);

        // Each tap's delay moves in a straight line from the segment's start
        // to the next's; its read position for the span's first frame, and
        // its step per frame, in 1/65536 frames.
        uint32_t starts[kChorusTaps], steps[kChorusTaps];
        for (int t = 0; t < kChorusTaps; ++t) {
            const int32_t from = delayAt(chorus, segment, t);
            const int32_t to = delayAt(chorus, segment + kChorusSegment, t);
            const int32_t perFrame = (to - from) / kChorusSegment;
            steps[t] = 65536u - uint32_t(perFrame);
            starts[t] = ((segment & mask) << 16) - uint32_t(from) + offset * steps[t];
        }
        loops.taps(chorus, starts, steps, mix, n);

        chorus.position += uint32_t(n);
        if (bus != nullptr) bus += 2 * n;
        mix += 2 * n;
        frames -= n;
    }
}

}  // namespace tz
