#include "synth/envelope.h"

namespace tz {

bool advanceEnvelopeStage(Voice& v) {
    const Sample& sample = *v.sample;
    const bool keyDown = v.state == VoiceState::Playing || v.state == VoiceState::Sustained;
    const bool holds = (sample.modes & ModeEnvelope) != 0 && keyDown;
    int32_t s = std::max(v.envStage, 0);
    while (s <= 5) {
        if (holds && s > 2) {
            // Held at the level reached after the decays until the release.
            v.envStep = 0;
            return false;
        }
        v.envStage = s + 1;
        const int32_t target = sample.envelopeTarget[s];
        if (v.envLevel != target) {
            v.envTarget = target;
            v.envStep = target < v.envLevel ? -sample.envelopeRate[s] : sample.envelopeRate[s];
            return false;
        }
        s = v.envStage;
    }
    v.state = VoiceState::Free;
    return true;
}

}  // namespace tz
