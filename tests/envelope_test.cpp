// The volume envelope as a voice runs it: stages passed over, the hold after
// the decays, the release to the end.
#include <gtest/gtest.h>

#include "synth/envelope.h"
#include "tests/support/song_fixture.h"

namespace tz {
namespace {

using test::makeMixSong;
using test::makeSample;
using test::startVoice;

constexpr int32_t kOne = 4096;

Sample envelopeSample(std::initializer_list<int32_t> targets, std::initializer_list<int32_t> rates) {
    Sample s = makeSample(std::vector<int16_t>(64, 1000), ModeLooping | ModeEnvelope, 0, 64);
    std::copy(targets.begin(), targets.end(), s.envelopeTarget);
    std::copy(rates.begin(), rates.end(), s.envelopeRate);
    return s;
}

TEST(SynthEnvelope, StagesAtTheirTargetAreSkippedAndHoldAfterDecay) {
    auto song = makeMixSong();
    const int32_t T = 100 << 22, H = 50 << 22;
    const Sample s = envelopeSample({0, T, T, H, H, 0}, {1 << 22, 3 << 22, 1, 2 << 22, 1, 5 << 22});
    Voice& v = startVoice(*song, 0, s, kOne);
    EXPECT_FALSE(advanceEnvelopeStage(song->voices[0]));
    EXPECT_EQ(v.envStage, 2);  // stage 0 (already at 0) skipped
    EXPECT_EQ(v.envTarget, T);
    EXPECT_EQ(v.envStep, 3 << 22);

    v.envLevel = T - 1;
    EXPECT_FALSE(stepEnvelope(song->voices[0]));  // reaches T, stage 2 skipped, held
    EXPECT_EQ(v.envLevel, T);
    EXPECT_EQ(v.envStep, 0);
    EXPECT_EQ(v.envStage, 3);

    // Release: stage 3 falls to H, 4 is skipped, 5 falls to 0, then Free.
    v.state = VoiceState::Releasing;
    EXPECT_FALSE(advanceEnvelopeStage(song->voices[0]));
    EXPECT_EQ(v.envStep, -(2 << 22));
    int blocks = 0;
    while (!stepEnvelope(song->voices[0])) ++blocks;
    EXPECT_EQ(blocks, 25 + 10 - 1);  // 25 blocks down to H, then 10 to 0
    EXPECT_EQ(v.state, VoiceState::Free);
    EXPECT_EQ(v.envLevel, 0);
    EXPECT_EQ(v.envStage, 6);
}

}  // namespace
}  // namespace tz
