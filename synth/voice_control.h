// Note and controller events applied to the voice pool: allocation and
// stealing, release, cut-off, and re-tuning or re-levelling a channel.
#pragma once
#include <cstdint>

namespace tz {

struct MidiSong;
struct MidiEvent;
struct Instrument;
struct Voice;

// Note on (velocity > 0): cuts the same key on the channel, then plays the
// note in the lowest free slot, else in the quietest held-by-pedal or
// releasing voice, else drops it.
void noteOn(MidiSong& song, const MidiEvent& event);
// Chooses instrument and sample and starts the note in `voice`, a slot of the
// song's pool; does nothing when neither the channel's bank nor bank 0 has the
// instrument. A melodic channel at program -1 plays the song's default
// instrument.
void startNote(Voice& voice, MidiSong& song, const MidiEvent& event);
// Stores in voice.sample the instrument's sample for the voice's
// baseFrequency and the velocity.
void selectSample(const Instrument& instrument, Voice& voice, int32_t velocity);
void noteOff(MidiSong& song, const MidiEvent& event);
void keyPressure(MidiSong& song, const MidiEvent& event);
void releaseSustained(MidiSong& song, const MidiEvent& event);
void allNotesOff(MidiSong& song, const MidiEvent& event);
void allSoundsOff(MidiSong& song, const MidiEvent& event);
void refreshChannelPitch(MidiSong& song, const MidiEvent& event);
void refreshChannelVolume(MidiSong& song, const MidiEvent& event);

// Number of voice slots that take part in allocation and mixing.
int activeVoiceCount(const MidiSong& song);

}  // namespace tz
