// The volume envelope as a voice runs it: stage after stage towards each
// stage's target, one step a control block, held after the decays while the
// key is down. The model (levels, fraction bits, the gain table's range) is
// in records/envelope.h, which the instrument loaders share.
#pragma once
#include <algorithm>
#include <cstdint>

#include "platform/saturate.h"
#include "records/envelope.h"
#include "records/channel_voice.h"
#include "records/instrument.h"
#include "records/tables.h"

namespace tz {

// Starts the next stage whose target differs from the level (the ones already
// there are passed over); true when the last stage is done and the voice has
// become Free.
bool advanceEnvelopeStage(Voice& voice);

// One control-block step of the envelope; true when the voice became Free.
// Inline: the mixer runs it once a control block for every voice whose
// envelope moves.
inline bool stepEnvelope(Voice& v) {
    const int64_t level = int64_t(v.envLevel) + v.envStep;
    if ((v.envStep < 0 && level <= v.envTarget) || (v.envStep > 0 && level >= v.envTarget)) {
        v.envLevel = v.envTarget;
        return advanceEnvelopeStage(v);
    }
    v.envLevel = saturateToInt32(level);
    return false;
}

// The gain factor of an envelope level: its entry of envelopeVolumeTable.
inline float envelopeGain(int32_t level) {
    return float(envelopeVolumeTable[std::clamp(level >> kEnvelopeTableShift, 0, kEnvelopeTableLast)]);
}

}  // namespace tz
