#include "instruments/dls_articulation.h"

#include <algorithm>

namespace tz {

namespace {

using namespace dls;

constexpr int32_t fixed(int32_t value) { return int32_t(uint32_t(value) << 16); }

// A source or control shape from its four transform bits and two flags.
Shape shapeOf(uint32_t curve, bool bipolar, bool invert) {
    Shape s;
    s.curve = curve <= 3 ? Curve(curve) : Curve::Linear;
    s.bipolar = bipolar;
    s.invert = invert;
    return s;
}

// The sources Level 1 reads as -1..1.
bool bipolarInLevel1(uint16_t source) {
    return source == SrcLfo || source == SrcVibrato || source == SrcCc10 || source == SrcPitchWheel ||
           source == SrcRpn1 || source == SrcRpn2;
}

ArticulationConnection connection(uint16_t source, uint16_t control, uint16_t destination, int32_t scale,
                                  Shape sourceShape = {}) {
    ArticulationConnection c;
    c.source = source;
    c.control = control;
    c.destination = destination;
    c.scale = scale;
    c.sourceShape = sourceShape;
    return c;
}

bool sameTarget(const ArticulationConnection& a, const ArticulationConnection& b) {
    return a.source == b.source && a.control == b.control && a.destination == b.destination;
}

std::vector<ArticulationConnection> makeDefaults() {
    const Shape bipolar{Curve::Linear, true, false};
    const Shape attenuation{Curve::Concave, false, true};
    // 5 Hz, and 10 ms, as absolute pitch and timecents.
    constexpr int32_t kFiveHz = -55791973;
    constexpr int32_t kTenMs = -522494112;
    return {
        connection(SrcNone, SrcNone, DstLfoFrequency, kFiveHz),
        connection(SrcNone, SrcNone, DstLfoDelay, kTenMs),
        connection(SrcNone, SrcNone, DstVibratoFrequency, kFiveHz),
        connection(SrcNone, SrcNone, DstVibratoDelay, kTenMs),
        connection(SrcNone, SrcNone, DstEg1Delay, kTimecentsZero),
        connection(SrcNone, SrcNone, DstEg1Attack, kTimecentsZero),
        connection(SrcNone, SrcNone, DstEg1Hold, kTimecentsZero),
        connection(SrcNone, SrcNone, DstEg1Decay, kTimecentsZero),
        connection(SrcNone, SrcNone, DstEg1Sustain, fixed(1000)),
        connection(SrcNone, SrcNone, DstEg1Release, kTimecentsZero),
        connection(SrcVelocity, SrcNone, DstEg1Attack, 0),
        connection(SrcKeyNumber, SrcNone, DstEg1Decay, 0),
        connection(SrcKeyNumber, SrcNone, DstEg1Hold, 0),
        connection(SrcNone, SrcNone, DstEg2Delay, kTimecentsZero),
        connection(SrcNone, SrcNone, DstEg2Attack, kTimecentsZero),
        connection(SrcNone, SrcNone, DstEg2Hold, kTimecentsZero),
        connection(SrcNone, SrcNone, DstEg2Decay, kTimecentsZero),
        connection(SrcNone, SrcNone, DstEg2Sustain, fixed(1000)),
        connection(SrcNone, SrcNone, DstEg2Release, kTimecentsZero),
        connection(SrcNone, SrcNone, DstFilterCutoff, kCutoffOpen),
        connection(SrcNone, SrcNone, DstFilterQ, 0),
        connection(SrcVelocity, SrcNone, DstGain, fixed(-960), attenuation),
        connection(SrcCc7, SrcNone, DstGain, fixed(-960), attenuation),
        connection(SrcCc11, SrcNone, DstGain, fixed(-960), attenuation),
        connection(SrcNone, SrcNone, DstPan, 0),
        connection(SrcCc10, SrcNone, DstPan, fixed(508), bipolar),
        connection(SrcCc91, SrcNone, DstReverb, fixed(1000)),
        connection(SrcCc93, SrcNone, DstChorus, fixed(1000)),
        connection(SrcPitchWheel, SrcRpn0, DstPitch, fixed(12800), bipolar),
        connection(SrcKeyNumber, SrcNone, DstPitch, fixed(12800)),
        connection(SrcRpn1, SrcNone, DstPitch, fixed(100), bipolar),
        connection(SrcRpn2, SrcNone, DstPitch, fixed(6400), bipolar),
        // The modulation wheel's vibrato, 50 cents at full.
        connection(SrcVibrato, SrcCc1, DstPitch, fixed(50), bipolar),
    };
}

// Whether the bank's connections take the modulation wheel to pitch
// themselves: then the default vibrato on the wheel does not apply.
bool wheelReachesPitch(const std::vector<ArticulationConnection>& bank) {
    return std::any_of(bank.begin(), bank.end(), [](const ArticulationConnection& c) {
        return c.destination == DstPitch && (c.control == SrcCc1 || c.source == SrcCc1);
    });
}

}  // namespace

const std::vector<ArticulationConnection>& defaultConnections() {
    static const std::vector<ArticulationConnection> defaults = makeDefaults();
    return defaults;
}

ArticulationConnection articulationConnection(const DlsConnection& block, bool level2) {
    ArticulationConnection c;
    c.source = block.source;
    c.control = block.control;
    c.destination = block.destination;
    c.scale = block.scale;
    const uint16_t t = block.transform;
    if (level2) {
        c.sourceShape = shapeOf((t >> 10) & 0xF, (t >> 14) & 1, (t >> 15) & 1);
        c.controlShape = shapeOf((t >> 4) & 0xF, (t >> 8) & 1, (t >> 9) & 1);
    } else {
        const bool intoGain = c.destination == DstGain;
        const bool inverted =
            intoGain && (c.source == SrcVelocity || c.source == SrcCc7 || c.source == SrcCc11);
        c.sourceShape = shapeOf(t & 0xF, bipolarInLevel1(c.source), inverted);
    }
    return c;
}

std::shared_ptr<const Articulation> resolveArticulation(const DlsInstrument& instrument, const DlsRegion& region,
                                                        const DlsWave& wave, bool oneShot) {
    auto art = std::make_shared<Articulation>();
    const DlsArticulation* blocks = nullptr;
    if (region.articulation.present && region.articulation.connectionCount > 0)
        blocks = &region.articulation;
    else if (instrument.articulation.present && instrument.articulation.connectionCount > 0)
        blocks = &instrument.articulation;

    std::vector<ArticulationConnection> bank;
    if (blocks) {
        const uint32_t count = std::min<uint32_t>(blocks->connectionCount, uint32_t(kMaxConnections));
        bank.reserve(count);
        for (uint32_t i = 0; i < count; ++i)
            bank.push_back(articulationConnection(dlsConnection(*blocks, i), blocks->level2));
    }
    const bool wheel = wheelReachesPitch(bank);
    art->connections.reserve(defaultConnections().size() + bank.size());
    for (const ArticulationConnection& d : defaultConnections()) {
        // A bank connection with the same source, control and destination
        // takes the default's place; several add up.
        bool replaced = false;
        for (const ArticulationConnection& b : bank)
            if (sameTarget(b, d)) {
                art->connections.push_back(b);
                replaced = true;
            }
        const bool wheelVibrato = d.source == SrcVibrato && d.control == SrcCc1;
        if (!replaced && !(wheel && wheelVibrato)) art->connections.push_back(d);
    }
    for (const ArticulationConnection& b : bank) {
        const bool isDefault = std::any_of(defaultConnections().begin(), defaultConnections().end(),
                                           [&](const ArticulationConnection& d) { return sameTarget(b, d); });
        if (!isDefault && art->connections.size() < kMaxConnections) art->connections.push_back(b);
    }

    // The region's wave sample, else the wave's own.
    const DlsWaveSample& ws = region.waveSample.present ? region.waveSample : wave.waveSample;
    if (ws.present) {
        art->unityNote = std::min<int32_t>(ws.unityNote, 127);
        art->fineTuneCents = ws.fineTune;
        // Attenuation in 1/65536 of 1/10 dB; a gain above unity is not taken.
        art->attenuationCb = std::clamp(-(ws.attenuation / 65536), 0, 1440);
    }
    art->keyGroup = region.keyGroup;
    art->selfNonExclusive = (region.options & 1) != 0;
    art->oneShot = oneShot;
    return art;
}

}  // namespace tz
