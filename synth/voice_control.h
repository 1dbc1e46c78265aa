// Note and controller events applied to the voice pool: allocation and
// stealing, release, cut-off, and re-tuning or re-levelling a channel.
#pragma once
#include <cstdint>

namespace tz {

struct MidiSong;
struct MidiEvent;

// Note on (velocity > 0): cuts the same key on the channel, then plays the
// note in the lowest free slot, else in the quietest held-by-pedal or
// releasing voice, else drops it.
void noteOn(MidiSong& song, const MidiEvent& event);
void noteOff(MidiSong& song, const MidiEvent& event);
void keyPressure(MidiSong& song, const MidiEvent& event);
void releaseSustained(MidiSong& song, const MidiEvent& event);
void allNotesOff(MidiSong& song, const MidiEvent& event);
void allSoundsOff(MidiSong& song, const MidiEvent& event);
void refreshChannelPitch(MidiSong& song, const MidiEvent& event);
void refreshChannelVolume(MidiSong& song, const MidiEvent& event);

// Number of voice slots that take part in allocation and mixing.
int activeVoiceCount(const MidiSong& song);
// The standard sound's voices on the channel take its controllers again.
void refreshStandardChannel(MidiSong& song, int channel);

}  // namespace tz
