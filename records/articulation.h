// A region's articulation as the standard sound plays it: the connection
// blocks of the DLS model (each adds scale x source x control, through
// their transforms, to one destination), the format's default connections
// merged with those the bank gives, and the region's own tuning, level and
// options. The classic sound does not read it.
#pragma once
#include <cstdint>
#include <vector>

namespace tz {

// Connection sources, controls and destinations, numbered as in DLS.
namespace dls {
enum Source : uint16_t {
    SrcNone = 0x0000,
    SrcLfo = 0x0001,
    SrcVelocity = 0x0002,
    SrcKeyNumber = 0x0003,
    SrcEg1 = 0x0004,
    SrcEg2 = 0x0005,
    SrcPitchWheel = 0x0006,
    SrcPolyPressure = 0x0007,
    SrcChannelPressure = 0x0008,
    SrcVibrato = 0x0009,
    SrcMonoPressure = 0x000A,
    SrcCc1 = 0x0081,
    SrcCc7 = 0x0087,
    SrcCc10 = 0x008A,
    SrcCc11 = 0x008B,
    SrcCc91 = 0x00DB,
    SrcCc93 = 0x00DD,
    SrcRpn0 = 0x0100,  // pitch-bend range
    SrcRpn1 = 0x0101,  // fine tune
    SrcRpn2 = 0x0102,  // coarse tune
};
enum Destination : uint16_t {
    DstNone = 0x0000,
    DstGain = 0x0001,  // 1/10 dB (after the 16 fraction bits)
    DstPitch = 0x0003,  // cents
    DstPan = 0x0004,    // 1/10 %
    DstKeyNumber = 0x0005,
    DstChorus = 0x0080,  // 1/10 %
    DstReverb = 0x0081,
    DstLfoFrequency = 0x0104,  // absolute pitch cents
    DstLfoDelay = 0x0105,      // timecents
    DstVibratoFrequency = 0x0114,
    DstVibratoDelay = 0x0115,
    DstEg1Attack = 0x0206,
    DstEg1Decay = 0x0207,
    DstEg1Release = 0x0209,
    DstEg1Sustain = 0x020A,  // 1/10 %
    DstEg1Delay = 0x020B,
    DstEg1Hold = 0x020C,
    DstEg1Shutdown = 0x020D,
    DstEg2Attack = 0x030A,
    DstEg2Decay = 0x030B,
    DstEg2Release = 0x030D,
    DstEg2Sustain = 0x030E,
    DstEg2Delay = 0x030F,
    DstEg2Hold = 0x0310,
    DstFilterCutoff = 0x0500,  // absolute pitch cents
    DstFilterQ = 0x0501,       // 1/10 dB
};
}  // namespace dls

// How a source or control value (0..1) is shaped before it scales.
enum class Curve : uint8_t { Linear = 0, Concave = 1, Convex = 2, Switch = 3 };
struct Shape {
    Curve curve = Curve::Linear;
    bool bipolar = false;  // 0..1 becomes -1..1
    bool invert = false;   // x becomes 1 - x first
    bool operator==(const Shape&) const = default;
};

struct ArticulationConnection {
    uint16_t source = dls::SrcNone;
    uint16_t control = dls::SrcNone;
    uint16_t destination = dls::DstNone;
    Shape sourceShape;
    Shape controlShape;
    int32_t scale = 0;  // the destination's unit with 16 fraction bits, as in the bank
};

// Timecents that mean "no time at all".
constexpr int32_t kTimecentsZero = int32_t(0x80000000u);
// A cutoff that means "no filter".
constexpr int32_t kCutoffOpen = 0x7FFFFFFF;

struct Articulation {
    // Every connection that applies: the defaults, each replaced by a bank
    // connection with the same source, control and destination, then the
    // bank's others. At most kMaxConnections.
    std::vector<ArticulationConnection> connections;
    int32_t unityNote = 60;      // the key at which the wave plays at its rate
    int32_t fineTuneCents = 0;   // the wave sample's fine tune
    int32_t attenuationCb = 0;   // the wave sample's attenuation, 1/10 dB, >= 0
    uint16_t keyGroup = 0;       // exclusive class: 0 none
    bool selfNonExclusive = false;  // a repeated key keeps the earlier note sounding
    bool oneShot = false;           // the wave does not loop
};

constexpr size_t kMaxConnections = 96;

}  // namespace tz
