// Fixed-note samples converted to the output rate at load time: the limits
// that leave a sample as it is. (Patches loaded with a fixed note, through
// this conversion, are tested with the patch loader.)
#include <gtest/gtest.h>

#include "instruments/pre_resample.h"
#include "records/midi_song.h"

namespace tz {
namespace {

TEST(GusPreResample, LeavesUnconvertibleSamplesAlone) {
    MidiSong song;
    song.outputRate = 44100;
    Sample s;
    s.data = allocateSampleData(4);
    for (int i = 0; i < 4; ++i) s.data[i] = int16_t(i + 1);
    s.dataLength = 4 << 12;
    s.loopEnd = 4 << 12;
    s.sampleRate = 44100;
    s.rootFrequency = 440000;
    s.fixedNote = 127;  // shortens four values to under two frames
    const int16_t* before = s.data.get();
    preResampleSample(song, s);
    EXPECT_EQ(s.data.get(), before);
    EXPECT_EQ(s.dataLength, 4 << 12);
    EXPECT_EQ(s.sampleRate, 44100);

    // A ratio that would stretch the sample past 2^19 values.
    s.fixedNote = 1;
    s.sampleRate = 1;
    s.rootFrequency = 0x7FFFFFFF;
    preResampleSample(song, s);
    EXPECT_EQ(s.data.get(), before);
    EXPECT_EQ(s.dataLength, 4 << 12);

    // A root frequency of zero gives no usable ratio.
    s.rootFrequency = 0;
    s.sampleRate = 44100;
    s.fixedNote = 69;
    preResampleSample(song, s);
    EXPECT_EQ(s.data.get(), before);

    // Stretching within the limit works and keeps the guard values.
    s.rootFrequency = 440000 * 8;
    preResampleSample(song, s);
    ASSERT_NE(s.data.get(), before);
    EXPECT_EQ(s.dataLength, 32 << 12);
    EXPECT_EQ(s.loopEnd, 32 << 12);
    EXPECT_EQ(s.sampleRate, 0);
    EXPECT_EQ(s.data[0], 1);
    // The last frame sits at 31 * 396, short of the last source value.
    EXPECT_EQ(s.data[31], 3);
    EXPECT_EQ(s.data[32], 3);
    EXPECT_EQ(s.data[33], 3);
}

}  // namespace
}  // namespace tz
