#include "synth/mixer.h"

namespace tz {

void mixVoice(MidiSong&, int, int64_t*, int32_t) {}
bool advanceEnvelopeStage(MidiSong&, int) { return false; }
bool stepEnvelope(MidiSong&, int) { return false; }
void updateTremolo(MidiSong&, int) {}
void updateGains(MidiSong&, int) {}

}  // namespace tz
