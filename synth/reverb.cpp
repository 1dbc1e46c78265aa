// The reverb: set-up of the delays and coefficients for the output rate,
// the pairing of output frames into network frames, the rings the loops
// work in, and the dispatch of the loops by SIMD path.
#include "synth/reverb.h"

#include <algorithm>

#include "platform/portable_math.h"
#include "synth/effect_loops.h"
#include "synth/simd_path.h"

namespace tz {
namespace {

// In ms; the network's rate scales them, and each becomes the next prime
// number of frames.
constexpr double kLineDelaysMs[kReverbLines] = {41.8, 47.4, 53.7, 60.5, 68.5, 77.5, 87.0, 98.4};
constexpr double kDiffuserDelaysMs[kReverbDiffusers] = {4.77, 3.69, 12.8, 9.50};
// Their gains bound the values in their rings (see reverbDiffuse).
constexpr float kDiffuserGains[kReverbDiffusers] = {0.75f, 0.75f, 0.625f, 0.625f};
// Turns per second of the rotations, none a simple ratio of another.
constexpr double kRotationHz[kReverbRotations] = {2.6, 3.7};

// Time for the low frequencies to fall by 60 dB.
constexpr double kDecaySeconds = 1.6;
// Weight of each outer tap of the damping low-pass on the longest line
// (0.25 puts a zero at the network's Nyquist frequency); shorter lines,
// which pass through it more often, have proportionally less.
constexpr double kDamping = 0.2;
// Mix units per unit of a mixing row at level 1.
constexpr double kReturnGain = 256.0 * 0.5;

// The signs with which the input enters the lines, and the rows of the
// Hadamard mix that are the outputs.
constexpr int kReverbInputSign[kReverbLines] = {1, -1, 1, 1, -1, 1, -1, -1};
constexpr int kReverbLeftRow = 1;
constexpr int kReverbRightRow = 2;

// A pair of frames' four bus values, in mix units, to the loops' units (2^8
// mix units: the mean of the four).
constexpr float kReverbInputScale = 0x1p-10f;
// Values in the lines are saturated here, and the output (in mix units) at
// four times full scale, far beyond the clip of the output conversion.
constexpr float kReverbLineLimit = 0x1p27f;
constexpr float kReverbOutputLimit = 0x1p30f;

// Where a step reads and writes in each ring.
struct ReverbPointers {
    const int32_t* pasts[kReverbDiffusers];
    int32_t* diffuserRings[kReverbDiffusers];
    const int32_t* taps[kReverbLines];
    int32_t* lineRings[kReverbLines];
};

// Where the rotations stand over a step: per rotation the cosine and sine
// of its angle at the start of the step's block and their change per frame,
// the angle moving in a straight line to the next block's start.
struct ReverbTurn {
    float cosine[kReverbRotations], cosineStep[kReverbRotations];
    float sine[kReverbRotations], sineStep[kReverbRotations];
};

namespace loops {
#include "synth/reverb_loops.inc"
}  // namespace loops

using StepLoops = bool (*)(Reverb&, const int64_t*, int64_t*, int32_t, const ReverbPointers&, const ReverbTurn&,
                           float);

#if TZ_AVX2_PATH
// The same loops compiled for AVX2 alone.
TZ_AVX2_BEGIN
namespace avx2loops {
#include "synth/reverb_loops.inc"
}  // namespace avx2loops
bool avx2Step(Reverb& reverb, const int64_t* bus, int64_t* mix, int32_t n, const ReverbPointers& at,
              const ReverbTurn& turn, float first) {
    return avx2loops::reverbStepLoops<fx::Avx2Ops>(reverb, bus, mix, n, at, turn, first);
}
TZ_AVX2_END
#endif

// Indexed by SimdPath.
constexpr StepLoops kStepLoops[kSimdPathCount] = {
    loops::reverbStepLoops<fx::PlainOps>,
#if defined(__SSE2__)
    loops::reverbStepLoops<fx::Sse2Ops>,
#else
    loops::reverbStepLoops<fx::PlainOps>,
#endif
#if TZ_AVX2_PATH
    avx2Step,
#elif defined(__SSE2__)
    loops::reverbStepLoops<fx::Sse2Ops>,
#else
    loops::reverbStepLoops<fx::PlainOps>,
#endif
};

bool isPrime(int32_t n) {
    if (n < 2) return false;
    for (int32_t d = 2; d * d <= n; ++d)
        if (n % d == 0) return false;
    return true;
}

int32_t delayFrames(double ms, int32_t networkRate) {
    int32_t n = std::max(int32_t(ms * networkRate / 1000.0 + 0.5), 2);
    while (!isPrime(n)) ++n;
    return n;
}

int32_t ringSizeFor(int32_t history, int32_t block) {
    int32_t size = 2 * block;
    while (size < history + block) size *= 2;
    return size;
}

// The pointers for a step starting at network frame m.
ReverbPointers pointersAt(Reverb& reverb, uint32_t m) {
    ReverbPointers at;
    int32_t* memory = reverb.memory.data();
    for (int d = 0; d < kReverbDiffusers; ++d) {
        const ReverbDelay& ring = reverb.diffusers[d];
        const uint32_t mask = uint32_t(ring.size) - 1;
        at.pasts[d] = memory + ring.start + ((m - uint32_t(ring.delay)) & mask);
        at.diffuserRings[d] = memory + ring.start + (m & mask);
    }
    for (int l = 0; l < kReverbLines; ++l) {
        const ReverbDelay& ring = reverb.lines[l];
        const uint32_t mask = uint32_t(ring.size) - 1;
        at.taps[l] = memory + ring.start + ((m - uint32_t(ring.delay) - 1) & mask);
        at.lineRings[l] = memory + ring.start + (m & mask);
    }
    return at;
}

// After n frames were written from network frame m on (never past a ring's
// end, steps being within blocks): what went to a ring's front is repeated
// after its end.
void mirrorWrites(Reverb& reverb, uint32_t m, int32_t n) {
    int32_t* memory = reverb.memory.data();
    auto mirror = [&](const ReverbDelay& ring) {
        const int32_t at = int32_t(m & (uint32_t(ring.size) - 1));
        if (at >= kReverbMirror) return;
        int32_t* values = memory + ring.start;
        std::copy(values + at, values + std::min(at + n, kReverbMirror), values + ring.size + at);
    };
    for (const ReverbDelay& ring : reverb.diffusers) mirror(ring);
    for (const ReverbDelay& ring : reverb.lines) mirror(ring);
}

// The rotations over the block holding network frame m: each angle at the
// block's start and at the next block's, from the sine table, and the
// straight line between. The values at a block's end are those at the next
// one's start, kept for it.
ReverbTurn turnAt(Reverb& reverb, uint32_t m) {
    const uint32_t start = m & ~uint32_t(reverb.block - 1), end = start + uint32_t(reverb.block);
    constexpr uint32_t kQuarter = 1u << 30;
    constexpr int kEnds = 2 * kReverbRotations;  // turn: the start's cosines and sines, then the end's
    if (!reverb.turnKnown || reverb.turnBlock != start) {
        if (reverb.turnKnown && reverb.turnBlock + uint32_t(reverb.block) == start) {
            std::copy_n(reverb.turn.begin() + kEnds, kEnds, reverb.turn.begin());
        } else {
            for (int p = 0; p < kReverbRotations; ++p) {
                const uint32_t a = start * reverb.rotationStep[p];
                reverb.turn[2 * p] = fx::sineAt(reverb.sine, a + kQuarter);
                reverb.turn[2 * p + 1] = fx::sineAt(reverb.sine, a);
            }
        }
        for (int p = 0; p < kReverbRotations; ++p) {
            const uint32_t b = end * reverb.rotationStep[p];
            reverb.turn[kEnds + 2 * p] = fx::sineAt(reverb.sine, b + kQuarter);
            reverb.turn[kEnds + 2 * p + 1] = fx::sineAt(reverb.sine, b);
        }
        reverb.turnKnown = true;
        reverb.turnBlock = start;
    }
    ReverbTurn turn;
    const float perFrame = 1.0f / float(reverb.block);
    for (int p = 0; p < kReverbRotations; ++p) {
        turn.cosine[p] = reverb.turn[2 * p];
        turn.sine[p] = reverb.turn[2 * p + 1];
        turn.cosineStep[p] = (reverb.turn[kEnds + 2 * p] - turn.cosine[p]) * perFrame;
        turn.sineStep[p] = (reverb.turn[kEnds + 2 * p + 1] - turn.sine[p]) * perFrame;
    }
    return turn;
}

// The second frame of a pair whose first came before: one network frame on
// the plain loops, and its output frame, the mean of the last output and the
// new one.
void completePair(Reverb& reverb, const int64_t* bus, int64_t* mix) {
    using Plain = fx::PlainOps;
    const uint32_t m = reverb.position >> 1;
    const uint64_t sum = uint64_t(reverb.pendingSum) + (bus ? uint64_t(bus[0]) + uint64_t(bus[1]) : 0);
    float* x = reverb.input.data();
    x[0] = float(fx::saturate32(int64_t(sum))) * kReverbInputScale;
    const ReverbPointers at = pointersAt(reverb, m);
    reverb.left[0] = reverb.lastLeft;
    reverb.right[0] = reverb.lastRight;
    const bool written = loops::reverbCoreLoops<Plain>(reverb, x, 1, at, turnAt(reverb, m),
                                                       float(m & uint32_t(reverb.block - 1)), true);
    mirrorWrites(reverb, m, 1);
    Plain::addToMix(mix, (reverb.lastLeft + reverb.left[1]) * 0.5f, (reverb.lastRight + reverb.right[1]) * 0.5f);
    reverb.lastLeft = reverb.left[1];
    reverb.lastRight = reverb.right[1];
    reverb.pendingSum = 0;
    reverb.quietFrames = written ? 0 : std::min(reverb.quietFrames + 1, reverb.longestRing);
}

}  // namespace

bool initReverb(Reverb& reverb, int32_t rate, float level) {
    reverb = Reverb{};
    if (rate < kMinEffectRate || rate > kMaxEffectRate) return false;
    if (!(level > 0.0f)) return true;
    reverb.level = std::min(level, 1.0f);
    reverb.rate = rate;
    const int32_t networkRate = rate / 2;

    int32_t shortest = INT32_MAX, longest = 0;
    for (int l = 0; l < kReverbLines; ++l) {
        reverb.lines[l].delay = delayFrames(kLineDelaysMs[l], networkRate);
        shortest = std::min(shortest, reverb.lines[l].delay - 1);
        longest = std::max(longest, reverb.lines[l].delay);
    }
    for (int d = 0; d < kReverbDiffusers; ++d) {
        reverb.diffusers[d].delay = delayFrames(kDiffuserDelaysMs[d], networkRate);
        reverb.diffuserGain[d] = kDiffuserGains[d];
        shortest = std::min(shortest, reverb.diffusers[d].delay);
    }
    reverb.block = 8;
    while (reverb.block * 2 <= std::min(kReverbMaxBlock, shortest)) reverb.block *= 2;

    // Every ring holds its delay (a line one frame more, for its outer tap)
    // and the step being written.
    int32_t start = 0;
    for (ReverbDelay& ring : reverb.diffusers) {
        ring.size = ringSizeFor(ring.delay, reverb.block);
        ring.start = start;
        start += ring.size + kReverbMirror;
    }
    // Decay: each pass through a line loses delay / (rate * T60) of 60 dB.
    constexpr double kLog2Of1000 = 9.965784284662087;
    constexpr double kInverseSqrt8 = 0.35355339059327373;
    for (int l = 0; l < kReverbLines; ++l) {
        ReverbDelay& ring = reverb.lines[l];
        ring.size = ringSizeFor(ring.delay + 1, reverb.block);
        ring.start = start;
        start += ring.size + kReverbMirror;
        const double decay = portableExp2(-kLog2Of1000 * ring.delay / (kDecaySeconds * networkRate));
        const double damping = kDamping * ring.delay / longest;
        reverb.outerTap[l] = float(decay * damping * kInverseSqrt8);
        reverb.centreTap[l] = float(decay * (1.0 - 2.0 * damping) * kInverseSqrt8);
    }
    for (const ReverbDelay& ring : reverb.lines) reverb.longestRing = std::max(reverb.longestRing, ring.size);
    for (const ReverbDelay& ring : reverb.diffusers) reverb.longestRing = std::max(reverb.longestRing, ring.size);
    for (int p = 0; p < kReverbRotations; ++p)
        reverb.rotationStep[p] = uint32_t(kRotationHz[p] * 4294967296.0 / networkRate);
    reverb.returnGain = float(double(reverb.level) * kReturnGain);
    reverb.memory.assign(size_t(start), 0);
    reverb.sine = fx::sineTable();
    reverb.input.assign(size_t(reverb.block), 0.0f);
    reverb.left.assign(size_t(reverb.block) + 1, 0.0f);
    reverb.right.assign(size_t(reverb.block) + 1, 0.0f);
    clearReverb(reverb, 0);
    return true;
}

void clearReverb(Reverb& reverb, int64_t position) {
    std::fill(reverb.memory.begin(), reverb.memory.end(), 0);
    reverb.position = uint32_t(uint64_t(position));
    reverb.pendingSum = 0;
    reverb.lastLeft = reverb.lastRight = 0.0f;
    reverb.quietFrames = reverb.longestRing;
    reverb.turnKnown = false;
}

void runReverb(Reverb& reverb, const int64_t* bus, int64_t* mix, int32_t frames) {
    if (!reverbActive(reverb) || reverb.memory.empty() || frames <= 0) return;
    const StepLoops step = kStepLoops[int(activeSimdPath())];
    while (frames > 0) {
        // Nothing sent and nothing left in the rings: the output is silence.
        if (bus == nullptr && reverb.quietFrames >= reverb.longestRing && reverb.pendingSum == 0 &&
            reverb.lastLeft == 0.0f && reverb.lastRight == 0.0f) {
            reverb.position += uint32_t(frames);
            return;
        }
        if (reverb.position & 1) {
            completePair(reverb, bus, mix);
            ++reverb.position;
            if (bus != nullptr) bus += 2;
            mix += 2;
            --frames;
            continue;
        }
        const uint32_t m = reverb.position >> 1;
        const int32_t inBlock = int32_t(m & uint32_t(reverb.block - 1));
        const int32_t n = std::min(frames / 2, reverb.block - inBlock);
        if (n == 0) {
            // One frame left: the first of a pair. Its output is the last one.
            reverb.pendingSum = bus ? int64_t(uint64_t(bus[0]) + uint64_t(bus[1])) : 0;
            fx::PlainOps::addToMix(mix, reverb.lastLeft, reverb.lastRight);
            ++reverb.position;
            return;
        }
        reverb.left[0] = reverb.lastLeft;
        reverb.right[0] = reverb.lastRight;
        const bool written = step(reverb, bus, mix, n, pointersAt(reverb, m), turnAt(reverb, m), float(inBlock));
        mirrorWrites(reverb, m, n);
        reverb.lastLeft = reverb.left[size_t(n)];
        reverb.lastRight = reverb.right[size_t(n)];
        reverb.quietFrames = written ? 0 : std::min(reverb.quietFrames + n, reverb.longestRing);
        reverb.position += 2 * uint32_t(n);
        if (bus != nullptr) bus += 4 * n;
        mix += 4 * n;
        frames -= 2 * n;
    }
}

}  // namespace tz
