// Writes Standard MIDI Files from a few lines of code, for tests, fuzz seeds
// and benchmarks.
//
//   SmfBuilder smf(1, 480);
//   smf.track().tempo(0, 600000).noteOn(0, 0, 60, 100).noteOff(480, 0, 60);
//   std::vector<uint8_t> bytes = smf.bytes();
//
// Every event takes its delta time first. Tracks are closed with an
// end-of-track event when the bytes are written unless end() or
// omitEndOfTrack() was called. Nothing is checked: tests may write
// malformed data on purpose.
#pragma once
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace tz::test {

// Appends a MIDI variable-length quantity (up to five bytes for 32 bits).
void appendVarLength(std::vector<uint8_t>& out, uint32_t value);

class SmfTrack {
public:
    // Channel messages; the status byte is written unless it repeats the
    // previous one and running status is enabled.
    SmfTrack& noteOn(uint32_t delta, int channel, int note, int velocity);
    SmfTrack& noteOff(uint32_t delta, int channel, int note, int velocity = 0);
    // Releases every note of a chord at once, `delta` ticks after the last
    // event (nothing for an empty chord).
    SmfTrack& chordOff(uint32_t delta, int channel, const std::vector<int>& notes);
    SmfTrack& keyPressure(uint32_t delta, int channel, int note, int pressure);
    SmfTrack& controller(uint32_t delta, int channel, int number, int value);
    SmfTrack& program(uint32_t delta, int channel, int program);
    SmfTrack& channelPressure(uint32_t delta, int channel, int pressure);
    SmfTrack& pitchBend(uint32_t delta, int channel, int value14);
    // Shorthands for registered / non-registered parameter data entry.
    SmfTrack& rpn(uint32_t delta, int channel, int msb, int lsb, int dataEntry);
    SmfTrack& nrpn(uint32_t delta, int channel, int msb, int lsb, int dataEntry);

    // Meta events.
    SmfTrack& tempo(uint32_t delta, uint32_t microsecondsPerQuarter);
    SmfTrack& text(uint32_t delta, int type, const std::string& text);
    SmfTrack& meta(uint32_t delta, int type, const std::vector<uint8_t>& data);
    // Meta event whose declared length differs from the data written.
    SmfTrack& metaWithLength(uint32_t delta, int type, uint32_t length, const std::vector<uint8_t>& data);
    // System exclusive: F0 <length> data (status 0xF0 or 0xF7).
    SmfTrack& sysex(uint32_t delta, const std::vector<uint8_t>& data, uint8_t status = 0xF0);

    // A delta time followed by raw bytes, written as they stand.
    SmfTrack& event(uint32_t delta, std::initializer_list<uint8_t> bytes);
    // Raw bytes without a delta time.
    SmfTrack& raw(const std::vector<uint8_t>& bytes);

    // When enabled, channel messages leave out a status byte equal to the
    // previous one. Off by default.
    SmfTrack& useRunningStatus(bool on = true);
    // Closes the track with an end-of-track event.
    SmfTrack& end(uint32_t delta = 0);
    // Leaves the track without an end-of-track event.
    SmfTrack& omitEndOfTrack();
    // Writes this value as the chunk length instead of the data size.
    SmfTrack& declaredLength(uint32_t length);

    const std::vector<uint8_t>& data() const { return data_; }
    bool ended() const { return ended_ || omitEnd_; }
    std::optional<uint32_t> lengthOverride() const { return length_; }

private:
    SmfTrack& channelMessage(uint32_t delta, uint8_t status, std::initializer_list<uint8_t> data);

    std::vector<uint8_t> data_;
    int lastStatus_ = -1;
    bool runningStatus_ = false;
    bool ended_ = false;
    bool omitEnd_ = false;
    std::optional<uint32_t> length_;
};

class SmfBuilder {
public:
    // division: the raw 16-bit header word (ticks per quarter note, or an
    // SMPTE pair such as 0xE728).
    SmfBuilder(uint16_t format, uint16_t division) : format_(format), division_(division) {}

    // Adds a track; the reference stays valid while the builder lives.
    SmfTrack& track();
    SmfTrack& track(size_t index) { return tracks_[index]; }
    size_t trackCount() const { return tracks_.size(); }

    // Header overrides.
    SmfBuilder& declaredTrackCount(uint16_t count);
    SmfBuilder& headerLength(uint32_t length);  // extra bytes are written as zeros
    // Bytes written after the last track.
    SmfBuilder& trailer(const std::vector<uint8_t>& bytes);

    std::vector<uint8_t> bytes() const;

private:
    uint16_t format_;
    uint16_t division_;
    std::optional<uint16_t> trackCount_;
    uint32_t headerLength_ = 6;
    std::deque<SmfTrack> tracks_;
    std::vector<uint8_t> trailer_;
};

// A RIFF chunk for wrapping: id and contents (padded when odd).
struct RiffPiece {
    std::string id;
    std::vector<uint8_t> data;
};

// Wraps MIDI data in a RIFF form (default "RMID"): the chunks of `before`,
// then a "data" chunk holding `midi`.
std::vector<uint8_t> wrapRmi(const std::vector<uint8_t>& midi, const std::vector<RiffPiece>& before = {},
                             const std::string& form = "RMID");

}  // namespace tz::test
