// A SoundFont zone's articulation as the DLS model states it: its envelope,
// filter, LFO, send and pan generators and a SoundFont player's default
// modulators, written as DLS Level 2 connection blocks ("art2") over the
// format's default connections. This is what the standard sound, and any
// other DLS player, reads of a converted bank; the classic sound reads
// blocks of its own (volumeEnvelopeConnections).
//
// Where a SoundFont player and the SoundFont's own rules differ, the blocks
// follow the player (FluidSynth): a sustain of c centibels is a level of
// 1 - c/1000 on an envelope whose full swing is 96 dB; velocity does not
// move the cutoff; the effects sends default to 20 %.
#pragma once
#include <cstdint>
#include <vector>

#include "soundfont/dls_writer.h"

namespace tz {

// One of a zone's two envelopes as its generators state it: times in
// timecents, the key scaling in timecents per key below key 60, the sustain
// in the generator's unit (centibels of attenuation for the volume envelope,
// tenths of a percent of decrease for the modulation envelope).
struct Sf2EnvelopeGenerators {
    int32_t delay = -12000;
    int32_t attack = -12000;
    int32_t hold = -12000;
    int32_t decay = -12000;
    int32_t sustain = 0;
    int32_t release = -12000;
    int32_t holdPerKey = 0;
    int32_t decayPerKey = 0;
};

// The articulation generators of a zone, each the instrument zone's value
// (else the default) plus the preset zone's.
struct Sf2ZoneArticulation {
    Sf2EnvelopeGenerators volume;
    Sf2EnvelopeGenerators modulation;
    int32_t modEnvToPitch = 0;     // cents at the envelope's peak
    int32_t modEnvToFilterFc = 0;  // cents
    int32_t modLfoDelay = -12000;  // timecents
    int32_t modLfoFrequency = 0;   // absolute cents (0: 8.176 Hz)
    int32_t modLfoToPitch = 0;     // cents at the LFO's peak
    int32_t modLfoToFilterFc = 0;  // cents
    int32_t modLfoToVolume = 0;    // centibels; positive: louder at the LFO's peak
    int32_t vibLfoDelay = -12000;
    int32_t vibLfoFrequency = 0;
    int32_t vibLfoToPitch = 0;
    int32_t filterFc = 13500;  // absolute cents; 13500 and up: open
    int32_t filterQ = 0;       // centibels
    int32_t chorusSend = 0;    // tenths of a percent
    int32_t reverbSend = 0;
    int32_t scaleTuning = 100;  // cents per key
};

// The blocks of a region that plays the zone at `pan` (tenths of a percent,
// -500..500). `referenceKey` is the key at which the region's unity note,
// fine tune and wave rate give the zone's pitch: a zone whose keys are not
// 100 cents apart gets its own key-to-pitch block and a constant pitch block
// that keeps that key where it is.
std::vector<DlsConnection> sf2ArticulationConnections(const Sf2ZoneArticulation& zone, int32_t pan,
                                                          double referenceKey);

}  // namespace tz
