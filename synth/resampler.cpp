#include "synth/resampler.h"

namespace tz {

const int16_t* resampleVoice(MidiSong&, int, int32_t& frameCount) {
    frameCount = 0;
    return nullptr;
}
int32_t vibratoStep(MidiSong&, Voice&, bool) { return 0; }
void preResampleSample(MidiSong&, Sample&) {}

}  // namespace tz
