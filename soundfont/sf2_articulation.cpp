#include "soundfont/sf2_articulation.h"

#include <algorithm>
#include <cmath>

#include "records/articulation.h"

namespace tz {

namespace {

using namespace dls;

// A value in the block's unit with its 16 fraction bits; a block holds
// whole values up to +-32767.
int32_t fixed(double value) { return int32_t(std::lround(std::clamp(value, -32767.0, 32767.0) * 65536.0)); }

DlsConnection block(uint16_t source, uint16_t control, uint16_t destination, double value,
                        uint16_t transform = 0) {
    DlsConnection c;
    c.source = source;
    c.control = control;
    c.destination = destination;
    c.transform = transform;
    c.scale = fixed(value);
    return c;
}

DlsConnection constant(uint16_t destination, double value) { return block(SrcNone, SrcNone, destination, value); }

// The LFOs swing from -1 to 1.
constexpr uint16_t kBipolar = dlsTransform(DlsCurveLinear, true, false);

struct EnvelopeDestinations {
    uint16_t delay, attack, hold, decay, sustain, release;
};
constexpr EnvelopeDestinations kEg1{DstEg1Delay, DstEg1Attack, DstEg1Hold, DstEg1Decay, DstEg1Sustain, DstEg1Release};
constexpr EnvelopeDestinations kEg2{DstEg2Delay, DstEg2Attack, DstEg2Hold, DstEg2Decay, DstEg2Sustain, DstEg2Release};

// Stage times within the ranges the SoundFont player keeps them to.
constexpr int32_t kShortest = -12000;
constexpr int32_t kLongestDelay = 5000, kLongestHold = 5000, kLongestStage = 8000;

// A stage time with its key scaling: the SoundFont adds perKey x (60 - key)
// timecents, DLS adds scale x key / 128, so the base takes 60 x perKey.
void scaledStage(std::vector<DlsConnection>& out, uint16_t destination, int32_t timecents, int32_t perKey,
                 int32_t longest) {
    if (perKey == 0) {
        out.push_back(constant(destination, std::clamp(timecents, kShortest, longest)));
        return;
    }
    out.push_back(constant(destination, double(timecents) + 60.0 * perKey));
    out.push_back(block(SrcKeyNumber, SrcNone, destination, -128.0 * perKey));
}

void envelope(std::vector<DlsConnection>& out, const Sf2EnvelopeGenerators& e, int32_t sustainPermille,
              const EnvelopeDestinations& d) {
    out.push_back(constant(d.delay, std::clamp(e.delay, kShortest, kLongestDelay)));
    out.push_back(constant(d.attack, std::clamp(e.attack, kShortest, kLongestStage)));
    scaledStage(out, d.hold, e.hold, e.holdPerKey, kLongestHold);
    scaledStage(out, d.decay, e.decay, e.decayPerKey, kLongestStage);
    out.push_back(constant(d.sustain, std::clamp(sustainPermille, 0, 1000)));
    out.push_back(constant(d.release, std::clamp(e.release, kShortest, kLongestStage)));
}

int32_t within(int32_t value, int32_t limit) { return std::clamp(value, -limit, limit); }

}  // namespace

std::vector<DlsConnection> sf2ArticulationConnections(const Sf2ZoneArticulation& z, int32_t pan,
                                                          double referenceKey) {
    std::vector<DlsConnection> out;
    // Volume envelope: a sustain of c centibels holds the level 1 - c/1000.
    envelope(out, z.volume, 1000 - std::clamp(z.volume.sustain, 0, 1440), kEg1);
    out.push_back(constant(DstPan, std::clamp(pan, -500, 500)));

    // Filter. The SoundFont format's default velocity-to-cutoff modulator
    // (up to 2400 cents down for soft notes; in its first version only from
    // velocity 64 up, through a switch on velocity as second source) is left
    // out: the SoundFont player it is played against evaluates it to nothing,
    // so velocity never moves the cutoff there, nor here.
    out.push_back(constant(DstFilterCutoff, z.filterFc));
    if (z.filterQ != 0) out.push_back(constant(DstFilterQ, std::clamp(z.filterQ, 0, 960)));

    // Vibrato LFO: the SoundFont's rate and delay always, for the modulation
    // wheel and channel pressure each reach 50 cents through it.
    out.push_back(constant(DstVibratoFrequency, std::clamp(z.vibLfoFrequency, -16000, 4500)));
    out.push_back(constant(DstVibratoDelay, std::clamp(z.vibLfoDelay, kShortest, kLongestDelay)));
    if (z.vibLfoToPitch != 0)
        out.push_back(block(SrcVibrato, SrcNone, DstPitch, within(z.vibLfoToPitch, 12000), kBipolar));
    out.push_back(block(SrcVibrato, SrcCc1, DstPitch, 50.0, kBipolar));
    out.push_back(block(SrcVibrato, SrcChannelPressure, DstPitch, 50.0, kBipolar));

    // Modulation LFO, where it reaches anything.
    if (z.modLfoToPitch != 0 || z.modLfoToFilterFc != 0 || z.modLfoToVolume != 0) {
        out.push_back(constant(DstLfoFrequency, std::clamp(z.modLfoFrequency, -16000, 4500)));
        out.push_back(constant(DstLfoDelay, std::clamp(z.modLfoDelay, kShortest, kLongestDelay)));
        if (z.modLfoToPitch != 0)
            out.push_back(block(SrcLfo, SrcNone, DstPitch, within(z.modLfoToPitch, 12000), kBipolar));
        if (z.modLfoToFilterFc != 0)
            out.push_back(block(SrcLfo, SrcNone, DstFilterCutoff, within(z.modLfoToFilterFc, 12000), kBipolar));
        // Gain in tenths of a decibel, as the SoundFont's centibels: louder
        // at the LFO's peak for a positive value.
        if (z.modLfoToVolume != 0)
            out.push_back(block(SrcLfo, SrcNone, DstGain, within(z.modLfoToVolume, 960), kBipolar));
    }

    // Modulation envelope, where it reaches anything: its sustain is a
    // decrease in tenths of a percent.
    if (z.modEnvToPitch != 0 || z.modEnvToFilterFc != 0) {
        envelope(out, z.modulation, 1000 - std::clamp(z.modulation.sustain, 0, 1000), kEg2);
        if (z.modEnvToPitch != 0) out.push_back(block(SrcEg2, SrcNone, DstPitch, within(z.modEnvToPitch, 12000)));
        if (z.modEnvToFilterFc != 0)
            out.push_back(block(SrcEg2, SrcNone, DstFilterCutoff, within(z.modEnvToFilterFc, 12000)));
    }

    // Effects sends: the zone's own, and the controllers' 20 % in place of
    // the format's 100 %.
    out.push_back(block(SrcCc91, SrcNone, DstReverb, 200.0));
    out.push_back(block(SrcCc93, SrcNone, DstChorus, 200.0));
    if (z.reverbSend > 0) out.push_back(constant(DstReverb, std::min(z.reverbSend, 1000)));
    if (z.chorusSend > 0) out.push_back(constant(DstChorus, std::min(z.chorusSend, 1000)));

    // Keys scaleTuning cents apart; the key number's block spans 128 keys.
    if (z.scaleTuning != 100) {
        out.push_back(block(SrcKeyNumber, SrcNone, DstPitch, 128.0 * z.scaleTuning));
        out.push_back(constant(DstPitch, (100.0 - z.scaleTuning) * referenceKey));
    }
    return out;
}

}  // namespace tz
