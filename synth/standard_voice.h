// Voices of the standard sound: a region's articulation played as DLS
// defines it. At note start and whenever the channel's controllers change,
// the articulation's connections give the voice its still parts and the
// reach of its moving sources; once per control block its envelopes and
// LFOs step and give the block's gains, resampling step and filter; between
// those the per-frame loops are the classic engine's, with the filter's loop
// for the voices whose filter is closed.
#pragma once
#include <cstdint>
#include <span>

namespace tz {

struct Channel;
struct MixContext;
struct SongData;
struct Voice;

// Frames of one control block of the standard sound.
constexpr int32_t kStandardBlockFrames = 64;
// The standard sound's master level: the linear gain of a note at full
// velocity, volume and expression, before panning (at 1.0 such a note's
// samples reach the output at half their value).
constexpr double kStandardMasterGain = 1.0;

// Where a standard voice's frames go besides the dry sums.
struct StandardSends {
    int32_t* reverb = nullptr;  // 32-bit sums of the group's reverb send; null: off
    int32_t* chorus = nullptr;
    bool reverbUsed = false;    // set when a voice added to them
    bool chorusUsed = false;
};

// Starts the note in `voice`, whose sample (with an articulation) is chosen,
// as the standard sound plays it. `now` is the song's frame.
void startStandardVoice(Voice& voice, const SongData& song, const Channel& channel, int key, int velocity,
                        int64_t now);
// The channel's controllers changed: the voice's still parts again.
void refreshStandardVoice(Voice& voice, const Channel& channel, int32_t outputRate);
// The key is released: the envelopes' release stages.
void releaseStandardVoice(Voice& voice);
// Cut short (an exclusive class, a stolen voice's neighbour): a release of a
// few milliseconds.
void cutStandardVoice(Voice& voice, int32_t outputRate);
// The linear level the voice sounds at now, for choosing one to steal.
double standardVoiceLevel(const Voice& voice);

// Adds the voice's next frames into the dry sums of its group and into the
// send sums, stepping its control blocks; frees the voice when it ends.
void mixStandardVoice(Voice& voice, const MixContext& context, std::span<int16_t> filterBuffer, int32_t* dry,
                      StandardSends& sends, int32_t frames);

}  // namespace tz
