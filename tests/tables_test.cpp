#include <gtest/gtest.h>

#include "records/tables.h"

namespace tz {
namespace {

TEST(Tables, NoteFrequenciesFollowEqualTemperamentInMilliHz) {
    EXPECT_EQ(noteFrequencyTable[0], 8176);
    EXPECT_EQ(noteFrequencyTable[12], 16352);
    EXPECT_EQ(noteFrequencyTable[21], 27500);
    EXPECT_EQ(noteFrequencyTable[60], 261626);
    EXPECT_EQ(noteFrequencyTable[69], 440000);
    EXPECT_EQ(noteFrequencyTable[81], 880000);
    EXPECT_EQ(noteFrequencyTable[108], 4186009);
    EXPECT_EQ(noteFrequencyTable[127], 12543854);
    for (int n = 0; n + 12 < 128; ++n)
        EXPECT_NEAR(noteFrequencyTable[n + 12], 2 * noteFrequencyTable[n], 1) << n;
}

TEST(Tables, EnvelopeCurveSpansThirtySixDecibels) {
    EXPECT_EQ(envelopeVolumeTable[0], 0.015625);
    EXPECT_EQ(envelopeVolumeTable[64], 0.12706354208958254);
    EXPECT_EQ(envelopeVolumeTable[96], 0.36234429149478936);
    EXPECT_EQ(envelopeVolumeTable[126], 0.9677832704928024);
    EXPECT_EQ(envelopeVolumeTable[127], 1.0);
}

TEST(Tables, PitchOffsetsCombineSemitonesAndFractions) {
    EXPECT_EQ(bendFineTable[0], 1.0);
    EXPECT_EQ(bendFineTable[1], 1.0002256593050698);
    EXPECT_EQ(bendFineTable[128], 1.029302236643492);
    EXPECT_EQ(bendFineTable[255], 1.0592240705916123);
    EXPECT_EQ(bendSemitoneTable[0], 1.0);
    EXPECT_EQ(bendSemitoneTable[1], 1.0594630943592953);
    EXPECT_EQ(bendSemitoneTable[12], 2.0);
    EXPECT_EQ(bendSemitoneTable[127], 1534.2664467217226);
    EXPECT_EQ(pitchOffsetRatio(8192), bendSemitoneTable[1]);
    EXPECT_EQ(pitchOffsetRatio(8191), bendSemitoneTable[0] * bendFineTable[255]);
}

}  // namespace
}  // namespace tz
