#include "synth/standard_voice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/portable_math.h"
#include "records/midi_song.h"
#include "synth/filter_lanes.h"
#include "synth/mixer.h"
#include "synth/resampler.h"

namespace tz {

namespace {

using namespace dls;

static_assert(kStandardBlockFrames == kFilterLaneFrames);

constexpr double kPi = 3.14159265358979323846;
constexpr double kFullRangeDb = 96.0;
constexpr double kLog2Of10 = 3.32192809488736234787;
// A cutoff at or above this (about 19.9 kHz) leaves the filter open; the
// default cutoff (kCutoffOpen) is far above it.
constexpr double kOpenCutoffCents = 13500.0;
// A release that cuts a voice short.
constexpr double kCutSeconds = 0.005;

double exp2(double x) { return portableExp2(x); }
double log10(double x) { return portableLog2(x) / kLog2Of10; }
double cosine(double x) { return portableSin(x + kPi / 2); }

// A source or control through its shape, from its value 0..1.
double shaped(double x, const Shape& s) {
    if (s.invert) x = 1.0 - x;
    auto curve = [&](double v) {
        switch (s.curve) {
            case Curve::Concave:
                return v >= 1.0 - 0x1.0p-12 ? 1.0 : std::min(1.0, -(5.0 / 12.0) * log10(1.0 - v));
            case Curve::Convex: return v <= 0x1.0p-12 ? 0.0 : std::max(0.0, 1.0 + (5.0 / 12.0) * log10(v));
            case Curve::Switch: return v < 0.5 ? 0.0 : 1.0;
            default: return v;
        }
    };
    if (!s.bipolar) return curve(x);
    const double b = 2.0 * x - 1.0;
    if (s.curve == Curve::Linear || s.curve == Curve::Switch) return 2.0 * curve(x) - 1.0;
    return b < 0 ? -curve(-b) : curve(b);
}

enum class Moving { None, ModLfo, VibLfo, ModEnv, VolEnv };

Moving movingSource(uint16_t source) {
    switch (source) {
        case SrcLfo: return Moving::ModLfo;
        case SrcVibrato: return Moving::VibLfo;
        case SrcEg2: return Moving::ModEnv;
        case SrcEg1: return Moving::VolEnv;
        default: return Moving::None;
    }
}

// The value 0..1 of a source that holds still while the note sounds.
double stillSource(uint16_t source, const Channel& c, int key, int velocity) {
    switch (source) {
        case SrcNone: return 1.0;
        case SrcVelocity: return velocity / 127.0;
        case SrcKeyNumber: return key / 128.0;
        case SrcPitchWheel: return std::clamp(c.pitchBend, 0, 16383) / 16384.0;
        case SrcChannelPressure:
        case SrcMonoPressure: return c.pressure / 127.0;
        case SrcCc1: return c.modulation / 127.0;
        case SrcCc7: return c.volume / 127.0;
        case SrcCc10: return (c.panning < 0 ? 64 : c.panning) / 127.0;
        case SrcCc11: return c.expression / 127.0;
        case SrcCc91: return c.reverbSend / 127.0;
        case SrcCc93: return c.chorusSend / 127.0;
        case SrcRpn0: return c.bendRange / 128.0;
        case SrcRpn1:
        case SrcRpn2: return 0.5;  // centred: no tuning
        default: return 0.0;       // poly pressure and anything unknown
    }
}

// Every destination a voice takes a still value from.
struct Destinations {
    double gain = 0, pitch = 0, pan = 0, reverb = 0, chorus = 0;
    double lfoFrequency = 0, lfoDelay = 0, vibFrequency = 0, vibDelay = 0;
    double eg1[6] = {};  // delay, attack, hold, decay, sustain, release
    double eg2[6] = {};
    double cutoff = 0, q = 0;
    bool cutoffOpen = false;
    // The reach of the moving sources.
    double modLfoPitch = 0, modLfoGain = 0, modLfoCutoff = 0, vibPitch = 0, modEnvPitch = 0, modEnvCutoff = 0;
};

double* stillDestination(Destinations& d, uint16_t destination) {
    switch (destination) {
        case DstGain: return &d.gain;
        case DstPitch: return &d.pitch;
        case DstPan: return &d.pan;
        case DstReverb: return &d.reverb;
        case DstChorus: return &d.chorus;
        case DstLfoFrequency: return &d.lfoFrequency;
        case DstLfoDelay: return &d.lfoDelay;
        case DstVibratoFrequency: return &d.vibFrequency;
        case DstVibratoDelay: return &d.vibDelay;
        case DstEg1Delay: return &d.eg1[0];
        case DstEg1Attack: return &d.eg1[1];
        case DstEg1Hold: return &d.eg1[2];
        case DstEg1Decay: return &d.eg1[3];
        case DstEg1Sustain: return &d.eg1[4];
        case DstEg1Release: return &d.eg1[5];
        case DstEg2Delay: return &d.eg2[0];
        case DstEg2Attack: return &d.eg2[1];
        case DstEg2Hold: return &d.eg2[2];
        case DstEg2Decay: return &d.eg2[3];
        case DstEg2Sustain: return &d.eg2[4];
        case DstEg2Release: return &d.eg2[5];
        case DstFilterCutoff: return &d.cutoff;
        case DstFilterQ: return &d.q;
        default: return nullptr;
    }
}

double* movingDestination(Destinations& d, Moving source, uint16_t destination) {
    switch (source) {
        case Moving::ModLfo:
            return destination == DstPitch ? &d.modLfoPitch
                   : destination == DstGain ? &d.modLfoGain
                   : destination == DstFilterCutoff ? &d.modLfoCutoff
                                                    : nullptr;
        case Moving::VibLfo: return destination == DstPitch ? &d.vibPitch : nullptr;
        case Moving::ModEnv:
            return destination == DstPitch ? &d.modEnvPitch : destination == DstFilterCutoff ? &d.modEnvCutoff : nullptr;
        default: return nullptr;  // the volume envelope reaches the gain by itself
    }
}

Destinations evaluate(const Articulation& art, const Channel& channel, int key, int velocity) {
    Destinations d;
    for (const ArticulationConnection& c : art.connections) {
        const double scale = double(c.scale) / 65536.0;
        if (c.destination == DstFilterCutoff && c.source == SrcNone && c.control == SrcNone &&
            c.scale == kCutoffOpen)
            d.cutoffOpen = true;
        const Moving control = movingSource(c.control);
        if (control != Moving::None) continue;  // a moving control: not modelled
        const double byControl =
            c.control == SrcNone ? 1.0 : shaped(stillSource(c.control, channel, key, velocity), c.controlShape);
        const Moving source = movingSource(c.source);
        if (source != Moving::None) {
            if (double* to = movingDestination(d, source, c.destination)) *to += scale * byControl;
            continue;
        }
        if (double* to = stillDestination(d, c.destination))
            *to += scale * shaped(stillSource(c.source, channel, key, velocity), c.sourceShape) * byControl;
    }
    return d;
}

double seconds(double timecents) { return timecents <= -32000.0 ? 0.0 : exp2(timecents / 1200.0); }
double hertz(double absoluteCents) { return 440.0 * exp2((absoluteCents - 6900.0) / 1200.0); }

int32_t blocksOf(double secondsLong, int32_t outputRate) {
    const double blocks = secondsLong * outputRate / kStandardBlockFrames;
    return blocks >= 1e9 ? 1000000000 : int32_t(std::ceil(blocks - 1e-9));
}

// Sets an envelope from its six destinations; `volume`: the volume
// envelope (values in dB after the attack), else the modulation envelope.
void startEnvelope(EnvelopeState& e, const double stages[6], bool volume, int32_t outputRate) {
    e.blocksLeft = blocksOf(seconds(stages[0]), outputRate);
    e.stage = e.blocksLeft > 0 ? EnvelopeStage::Delay : EnvelopeStage::Attack;
    e.value = 0.0;
    const int32_t attack = blocksOf(seconds(stages[1]), outputRate);
    e.attackStep = attack > 0 ? 1.0 / attack : 1.0;
    const double full = volume ? kFullRangeDb : 1.0;
    const int32_t decay = blocksOf(seconds(stages[3]), outputRate);
    e.decayStep = decay > 0 ? full / decay : full;
    const int32_t release = blocksOf(seconds(stages[5]), outputRate);
    e.releaseStep = release > 0 ? full / release : full;
    const double level = std::clamp(stages[4] / 1000.0, 0.0, 1.0);
    e.sustain = volume ? kFullRangeDb * (1.0 - level) : level;
    e.hold = blocksOf(seconds(stages[2]), outputRate);
}

void startLfo(LfoState& lfo, double frequencyCents, double delayCents, int32_t outputRate) {
    lfo.delayBlocks = blocksOf(seconds(delayCents), outputRate);
    lfo.phase = 0.0;
    lfo.phaseStep = std::clamp(hertz(frequencyCents), 0.0, 100.0) * kStandardBlockFrames / outputRate;
}

// The LFO's value this block, -1..1, and its step to the next.
double stepLfo(LfoState& lfo) {
    if (lfo.delayBlocks > 0) {
        --lfo.delayBlocks;
        return 0.0;
    }
    const double p = lfo.phase;
    lfo.phase += lfo.phaseStep;
    if (lfo.phase >= 1.0) lfo.phase -= std::floor(lfo.phase);
    return p < 0.25 ? 4.0 * p : p < 0.75 ? 2.0 - 4.0 * p : 4.0 * p - 4.0;
}

// One block of an envelope. The volume envelope's result: true while it
// sounds; `amplitude` and `attenuationDb` describe the block.
bool stepEnvelope(EnvelopeState& e, bool volume) {
    switch (e.stage) {
        case EnvelopeStage::Delay:
            if (--e.blocksLeft > 0) return true;
            e.stage = EnvelopeStage::Attack;
            return true;
        case EnvelopeStage::Attack:
            e.value += e.attackStep;
            if (e.value >= 1.0) {
                e.value = volume ? 0.0 : 1.0;  // from here the volume envelope counts dB
                e.stage = EnvelopeStage::Hold;
                e.blocksLeft = e.hold;
            }
            return true;
        case EnvelopeStage::Hold:
            if (e.blocksLeft-- > 0) return true;
            e.stage = EnvelopeStage::Decay;
            [[fallthrough]];
        case EnvelopeStage::Decay:
            if (volume) {
                e.value += e.decayStep;
                if (e.value >= e.sustain) {
                    e.value = e.sustain;
                    e.stage = EnvelopeStage::Sustain;
                }
            } else {
                e.value -= e.decayStep;
                if (e.value <= e.sustain) {
                    e.value = e.sustain;
                    e.stage = EnvelopeStage::Sustain;
                }
            }
            return true;
        case EnvelopeStage::Sustain: return true;
        case EnvelopeStage::Release:
            if (volume) {
                e.value += e.releaseStep;
                if (e.value >= kFullRangeDb) {
                    e.stage = EnvelopeStage::Done;
                    return false;
                }
            } else {
                e.value -= e.releaseStep;
                if (e.value <= 0.0) {
                    e.value = 0.0;
                    e.stage = EnvelopeStage::Done;
                }
            }
            return true;
        case EnvelopeStage::Done: return !volume;
    }
    return false;
}

// Where the volume envelope stands: its amplitude (the attack) and
// attenuation (after it).
void volumeLevel(const EnvelopeState& e, double& amplitude, double& attenuationDb) {
    amplitude = 1.0;
    attenuationDb = 0.0;
    switch (e.stage) {
        case EnvelopeStage::Delay: amplitude = 0.0; break;
        case EnvelopeStage::Attack: amplitude = e.value; break;
        default: attenuationDb = e.value; break;
    }
}

void beginRelease(EnvelopeState& e, bool volume) {
    if (e.stage == EnvelopeStage::Done) return;
    if (volume) {
        if (e.stage == EnvelopeStage::Delay) {
            e.stage = EnvelopeStage::Done;
            return;
        }
        if (e.stage == EnvelopeStage::Attack)
            e.value = e.value > 0.0 ? std::min(kFullRangeDb, -20.0 * log10(e.value)) : kFullRangeDb;
    } else if (e.stage == EnvelopeStage::Delay) {
        e.value = 0.0;
    }
    e.stage = EnvelopeStage::Release;
}

// Cutoffs are taken to the nearest kCutoffStepCents within the SoundFont's
// range (about 20 Hz to 20 kHz); below half the output rate's 0.45 the
// filter's angle comes from a table made once for the usual output rate.
constexpr double kLowestCutoffCents = 1500.0;
constexpr double kHighestCutoffCents = 13500.0;
constexpr double kCutoffStepCents = 2.0;
constexpr int kCutoffEntries = int((kHighestCutoffCents - kLowestCutoffCents) / kCutoffStepCents) + 1;
constexpr int32_t kTableRate = 44100;

struct FilterAngle {
    double cosine = 1.0, sine = 0.0;
};

FilterAngle angleAt(int index, int32_t outputRate) {
    const double fc = std::min(hertz(kLowestCutoffCents + index * kCutoffStepCents), 0.45 * outputRate);
    const double w0 = 2.0 * kPi * fc / outputRate;
    return {cosine(w0), portableSin(w0)};
}

const std::vector<FilterAngle>& tableAngles() {
    static const std::vector<FilterAngle> table = [] {
        std::vector<FilterAngle> t(kCutoffEntries);
        for (int i = 0; i < kCutoffEntries; ++i) t[size_t(i)] = angleAt(i, kTableRate);
        return t;
    }();
    return table;
}

int cutoffIndex(double cutoffCents) {
    const double c = std::clamp(cutoffCents, kLowestCutoffCents, kHighestCutoffCents);
    return std::clamp(int((c - kLowestCutoffCents) / kCutoffStepCents + 0.5), 0, kCutoffEntries - 1);
}

// The parts of the coefficients the resonance (dB) sets: 1 / 2Q and the
// gain that keeps a resonant peak no louder than the pass band. A
// resonance of 0 is the flat (Butterworth) response.
void setResonance(StandardVoice& s, double resonanceDb) {
    const double qDb = std::clamp(resonanceDb, 0.0, 96.0) - 3.0103;
    const double q = exp2(qDb / 20.0 * kLog2Of10);
    s.filterGain = q > 1.0 ? 1.0 / std::sqrt(q) : 1.0;
    s.filterAlphaScale = 1.0 / (2.0 * q);
}

// The low-pass coefficients for a cutoff (absolute cents), when the cutoff
// moved to another step.
void setFilter(StandardVoice& s, double cutoffCents, int32_t outputRate) {
    const int index = cutoffIndex(cutoffCents);
    if (index == s.filterIndex) return;
    s.filterIndex = index;
    const FilterAngle angle = outputRate == kTableRate ? tableAngles()[size_t(index)] : angleAt(index, outputRate);
    const double alpha = angle.sine * s.filterAlphaScale;
    const double inverse = 1.0 / (1.0 + alpha);
    setFilterCoefficients(s.filter, (1.0 - angle.cosine) * 0.5 * inverse * s.filterGain, -2.0 * angle.cosine * inverse,
                          (1.0 - alpha) * inverse);
}

// Frames from the song frame `now` to the end of its control block: the
// blocks of every voice end on the same frames.
int32_t framesToBlockEnd(int64_t now) { return kStandardBlockFrames - int32_t(now % kStandardBlockFrames); }

int32_t gainFor(double amplitude) { return gainOfAmplitude(float(amplitude)); }

// Steps the voice's control block: envelopes, LFOs, and from them the gains,
// the resampling step and the filter. False when the voice has ended.
bool controlBlock(Voice& v, int32_t outputRate) {
    StandardVoice& s = v.standard;
    if (!stepEnvelope(s.volume, true)) return false;
    stepEnvelope(s.modulation, false);
    const double modLfo = stepLfo(s.modLfo);
    const double vibLfo = stepLfo(s.vibLfo);
    const double modEnv = s.modulation.value;

    double amplitude = 0.0, envelopeDb = 0.0;
    volumeLevel(s.volume, amplitude, envelopeDb);
    const double attenuation = s.attenuationDb + envelopeDb - modLfo * s.modLfoToGainDb;
    // The gains hold while the level does (a sustain, a hold).
    if (!s.gainsKnown || attenuation != s.gainsAttenuation || amplitude != s.gainsAmplitude) {
        const double level = attenuation >= 144.0 ? 0.0 : amplitude * exp2(-attenuation / 20.0 * kLog2Of10);
        s.amplitude = level;
        s.gainsKnown = true;
        s.gainsAttenuation = attenuation;
        s.gainsAmplitude = amplitude;
        const double left = level * s.panLeft, right = level * s.panRight;
        v.leftGain = gainFor(left);
        v.rightGain = gainFor(right);
        s.reverbLeft = s.reverbSend > 0.0 ? gainFor(left * s.reverbSend) : 0;
        s.reverbRight = s.reverbSend > 0.0 ? gainFor(right * s.reverbSend) : 0;
        s.chorusLeft = s.chorusSend > 0.0 ? gainFor(left * s.chorusSend) : 0;
        s.chorusRight = s.chorusSend > 0.0 ? gainFor(right * s.chorusSend) : 0;
    }
    // A voice that adds nothing any more and can only grow quieter has ended:
    // its gains are all 0 and its envelope is past the attack and no higher
    // than where it goes.
    if ((v.leftGain | v.rightGain | s.reverbLeft | s.reverbRight | s.chorusLeft | s.chorusRight) == 0 &&
        s.modLfoToGainDb == 0.0) {
        const EnvelopeStage stage = s.volume.stage;
        if (stage == EnvelopeStage::Release ||
            ((stage == EnvelopeStage::Decay || stage == EnvelopeStage::Sustain) && s.volume.sustain >= envelopeDb))
            return false;
    }

    if (s.pitchMoves) {
        const double cents =
            s.pitchCents + modLfo * s.modLfoToPitch + vibLfo * s.vibLfoToPitch + modEnv * s.modEnvToPitch;
        const double step = s.stepFactor * exp2(cents / 1200.0);
        v.step = step >= 2147483647.0 ? INT32_MAX : int32_t(step);
    }
    if (s.filterMoves) setFilter(s, s.cutoffCents + modLfo * s.modLfoToCutoff + modEnv * s.modEnvToCutoff, outputRate);
    return true;
}

// Adds n frames with the block's gains into the dry and send sums.
void addBlock(const Voice& v, const int16_t* in, int32_t n, int32_t* dry, StandardSends& sends, int offset,
              bool mono) {
    const StandardVoice& s = v.standard;
    addFrames(dry + offset, in, n, v.leftGain, v.rightGain, mono);
    if (sends.reverb && (s.reverbLeft | s.reverbRight) != 0) {
        addFrames(sends.reverb + offset, in, n, s.reverbLeft, s.reverbRight, mono);
        sends.reverbUsed = true;
    }
    if (sends.chorus && (s.chorusLeft | s.chorusRight) != 0) {
        addFrames(sends.chorus + offset, in, n, s.chorusLeft, s.chorusRight, mono);
        sends.chorusUsed = true;
    }
}

}  // namespace

void refreshStandardVoice(Voice& v, const Channel& channel, int32_t outputRate) {
    if (!v.sample || !v.sample->articulation) return;
    const Articulation& art = *v.sample->articulation;
    StandardVoice& s = v.standard;
    const Destinations d = evaluate(art, channel, v.note, v.velocity);
    // Pitch against the wave's unity note, with its fine tune.
    s.pitchCents = d.pitch - 100.0 * art.unityNote + art.fineTuneCents;
    s.stepFactor = double(v.sample->sampleRate) / double(outputRate) * 4096.0;
    s.modLfoToPitch = d.modLfoPitch;
    s.vibLfoToPitch = d.vibPitch;
    s.modEnvToPitch = d.modEnvPitch;
    s.pitchMoves = d.modLfoPitch != 0.0 || d.vibPitch != 0.0 || d.modEnvPitch != 0.0;
    if (!s.pitchMoves) {
        const double step = s.stepFactor * exp2(s.pitchCents / 1200.0);
        v.step = step >= 2147483647.0 ? INT32_MAX : int32_t(step);
    }
    // Level: the gain connections (attenuation is their negative), the wave
    // sample's attenuation and the master level.
    s.attenuationDb = -d.gain / 10.0 + art.attenuationCb / 10.0 - 20.0 * log10(kStandardMasterGain);
    s.modLfoToGainDb = d.modLfoGain / 10.0;
    s.gainsKnown = false;
    s.pan = std::clamp(d.pan / 1000.0, -0.5, 0.5);
    const double angle = (s.pan + 0.5) * kPi / 2.0;
    s.panLeft = cosine(angle);
    s.panRight = portableSin(angle);
    s.reverbSend = std::clamp(d.reverb / 1000.0, 0.0, 1.0);
    s.chorusSend = std::clamp(d.chorus / 1000.0, 0.0, 1.0);
    // The filter runs where it is closed or something moves its cutoff.
    s.cutoffCents = d.cutoff;
    s.resonanceDb = d.q / 10.0;
    s.modLfoToCutoff = d.modLfoCutoff;
    s.modEnvToCutoff = d.modEnvCutoff;
    s.filterMoves = d.modLfoCutoff != 0.0 || d.modEnvCutoff != 0.0;
    const bool wasFiltered = s.filtered;
    s.filtered = !d.cutoffOpen && (s.filterMoves || d.cutoff < kOpenCutoffCents || s.resonanceDb > 0.0);
    if (s.filtered && s.resonanceDb != s.filterResonanceDb) {
        setResonance(s, s.resonanceDb);
        s.filterResonanceDb = s.resonanceDb;
        s.filterIndex = -1;
    }
    if (s.filtered && !s.filterMoves) setFilter(s, s.cutoffCents, outputRate);
    if (s.filtered && !wasFiltered) s.filter.x1 = s.filter.x2 = s.filter.y1 = s.filter.y2 = 0;
}

void startStandardVoice(Voice& v, const SongData& song, const Channel& channel, int key, int velocity, int64_t now) {
    StandardVoice& s = v.standard;
    s = StandardVoice{};
    s.active = true;
    s.startTime = now;
    const Articulation& art = *v.sample->articulation;
    s.keyGroup = art.keyGroup;
    v.note = uint8_t(key);
    v.velocity = uint8_t(velocity);
    v.position = 0;
    v.step = 0;
    // Nothing of the classic modulation runs.
    v.vibratoPeriod = 0;
    v.tremoloPhaseStep = 0;
    v.envStep = 0;
    v.panMode = PanMode::Panned;

    const Destinations d = evaluate(art, channel, key, velocity);
    startEnvelope(s.volume, d.eg1, true, song.outputRate);
    startEnvelope(s.modulation, d.eg2, false, song.outputRate);
    startLfo(s.modLfo, d.lfoFrequency, d.lfoDelay, song.outputRate);
    startLfo(s.vibLfo, d.vibFrequency, d.vibDelay, song.outputRate);
    refreshStandardVoice(v, channel, song.outputRate);
    v.blockCountdown = 0;
    v.leftGain = v.rightGain = 0;
}

void releaseStandardVoice(Voice& v) {
    beginRelease(v.standard.volume, true);
    beginRelease(v.standard.modulation, false);
}

void cutStandardVoice(Voice& v, int32_t outputRate) {
    StandardVoice& s = v.standard;
    const int32_t blocks = std::max(1, blocksOf(kCutSeconds, outputRate));
    s.volume.releaseStep = std::max(s.volume.releaseStep, kFullRangeDb / blocks);
    releaseStandardVoice(v);
    v.state = VoiceState::Releasing;
}

double standardVoiceLevel(const Voice& v) { return v.standard.amplitude; }

void prepareStandardSound(int32_t outputRate) {
    if (outputRate == kTableRate) tableAngles();
}

size_t standardLaneValues(int32_t bufferFrames) {
    return size_t(kFilterLanes) * (size_t(kFilterLaneFrames) + size_t(std::max(bufferFrames, kFilterLaneFrames)));
}

bool standardVoiceFiltered(const Voice& v) { return v.standard.active && v.standard.filtered; }

void mixStandardVoice(Voice& v, const MixContext& context, int32_t* dry, StandardSends& sends, int64_t now,
                      int32_t frames) {
    const int stride = context.mono ? 1 : 2;
    int offset = 0;
    while (frames > 0) {
        if (v.blockCountdown <= 0) {
            if (!controlBlock(v, context.outputRate)) {
                v.state = VoiceState::Free;
                return;
            }
            v.blockCountdown = framesToBlockEnd(now);
        }
        // A voice whose pitch holds still resamples all the blocks of its
        // span at once; the gains still change at every block.
        const int32_t want = std::min(frames, v.standard.pitchMoves ? v.blockCountdown : frames);
        int32_t n = want;
        const int16_t* in = resampleVoice(v, context.resampleBuffer, context.outputRate, n);
        int32_t done = 0;
        while (done < n) {
            if (v.blockCountdown <= 0) {
                if (!controlBlock(v, context.outputRate)) {
                    v.state = VoiceState::Free;
                    return;
                }
                v.blockCountdown = framesToBlockEnd(now + done);
            }
            const int32_t part = std::min(n - done, v.blockCountdown);
            addBlock(v, in + done, part, dry, sends, offset, context.mono);
            offset += part * stride;
            done += part;
            v.blockCountdown -= part;
        }
        frames -= want;
        now += want;
        if (n < want) return;  // the wave ended: the resampler freed the voice
    }
}

void mixFilteredVoices(Voice* const* voices, int count, const MixContext& context, std::span<int16_t> laneBuffer,
                       int32_t* dry, StandardSends& sends, int64_t now, int32_t frames) {
    count = std::clamp(count, 0, kFilterLanes);
    // Each lane's part of the buffer: its filtered block, then its
    // resampled frames (a block, or the whole span).
    const size_t laneValues = laneBuffer.size() / kFilterLanes;
    if (laneValues < size_t(2 * kFilterLaneFrames) || frames <= 0) return;
    const int32_t spanCapacity = int32_t(std::min<size_t>(laneValues - kFilterLaneFrames, INT32_MAX));
    const int stride = context.mono ? 1 : 2;
    struct Lane {
        Voice* voice = nullptr;
        int16_t* filtered = nullptr;
        int16_t* resampled = nullptr;
        const int16_t* span = nullptr;  // the whole span's frames, for a voice whose pitch holds still
        int32_t available = 0;          // of them
    };
    Lane lanes[kFilterLanes];
    for (int j = 0; j < count; ++j) {
        Lane& lane = lanes[j];
        lane.voice = voices[j];
        lane.filtered = laneBuffer.data() + size_t(j) * laneValues;
        lane.resampled = lane.filtered + kFilterLaneFrames;
        if (lane.voice->standard.pitchMoves || frames > spanCapacity) continue;
        // Its step holds: the span resampled at once, as for an open voice.
        int32_t m = frames;
        lane.span = resampleVoice(*lane.voice, {lane.resampled, size_t(spanCapacity)}, context.outputRate, m);
        lane.available = m;
    }
    int32_t done = 0;
    while (done < frames) {
        // Every voice's control blocks end where the song's do, so one run
        // of the filters covers the same block of each.
        const int32_t n = std::min(frames - done, framesToBlockEnd(now + done));
        FilterState* filters[kFilterLanes];
        const int16_t* in[kFilterLanes];
        int16_t* out[kFilterLanes];
        Voice* running[kFilterLanes];
        int32_t got[kFilterLanes];
        int k = 0;
        for (int j = 0; j < count; ++j) {
            Lane& lane = lanes[j];
            Voice* v = lane.voice;
            if (v == nullptr) continue;
            if (v->blockCountdown <= 0) {
                if (!controlBlock(*v, context.outputRate)) {
                    v->state = VoiceState::Free;
                    lane.voice = nullptr;
                    continue;
                }
                v->blockCountdown = framesToBlockEnd(now + done);
            }
            const int16_t* frames16;
            int32_t m = n;
            if (lane.span != nullptr) {
                m = std::clamp(lane.available - done, 0, n);
                frames16 = lane.span + done;
            } else {
                frames16 = resampleVoice(*v, {lane.resampled, size_t(kFilterLaneFrames)}, context.outputRate, m);
            }
            if (m < n) {
                // The wave ended (the resampler freed the voice): the filter
                // runs on over silence.
                int16_t* pad = lane.span != nullptr ? lane.filtered : lane.resampled;
                std::memmove(pad, frames16, size_t(m) * sizeof(int16_t));
                std::fill(pad + m, pad + n, int16_t(0));
                frames16 = pad;
                lane.voice = nullptr;
            }
            v->blockCountdown -= n;
            filters[k] = &v->standard.filter;
            in[k] = frames16;
            out[k] = lane.filtered;
            running[k] = v;
            got[k] = m;
            ++k;
        }
        if (k == 0) return;
        runFilterLanes(filters, in, out, k, n);
        for (int i = 0; i < k; ++i)
            if (got[i] > 0) addBlock(*running[i], out[i], got[i], dry, sends, done * stride, context.mono);
        done += n;
    }
}

}  // namespace tz
