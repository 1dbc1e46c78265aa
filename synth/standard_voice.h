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
// velocity, volume and expression, before panning. Dense songs at ordinary
// levels stay some 5 dB below full scale with it.
constexpr double kStandardMasterGain = 1.25;

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

// Makes the tables the standard sound plays from at this output rate, so
// that rendering finds them made.
void prepareStandardSound(int32_t outputRate);
// The working space mixFilteredVoices takes for spans of up to
// bufferFrames frames: each lane's filtered block and resampled span.
size_t standardLaneValues(int32_t bufferFrames);
// Whether the voice runs its filter: then it mixes with the others that do.
bool standardVoiceFiltered(const Voice& voice);
// Adds the voice's next frames (its filter open) into the dry sums of its
// group and into the send sums, stepping its control blocks; frees the voice
// when it ends. `now` is the song frame of the first.
void mixStandardVoice(Voice& voice, const MixContext& context, int32_t* dry, StandardSends& sends, int64_t now,
                      int32_t frames);
// The same for up to kFilterLanes voices whose filters run, side by side.
// laneBuffer holds standardLaneValues(bufferFrames) values.
void mixFilteredVoices(Voice* const* voices, int count, const MixContext& context, std::span<int16_t> laneBuffer,
                       int32_t* dry, StandardSends& sends, int64_t now, int32_t frames);

}  // namespace tz
