#include "tests/support/smf_builder.h"

#include "platform/byte_writer.h"

namespace tz::test {

void appendVarLength(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t groups[5];
    int count = 0;
    do {
        groups[count++] = uint8_t(value & 0x7F);
        value >>= 7;
    } while (value);
    while (count > 1) out.push_back(uint8_t(groups[--count] | 0x80));
    out.push_back(groups[0]);
}

SmfTrack& SmfTrack::channelMessage(uint32_t delta, uint8_t status, std::initializer_list<uint8_t> data) {
    appendVarLength(data_, delta);
    if (!runningStatus_ || lastStatus_ != status) data_.push_back(status);
    lastStatus_ = status;
    data_.insert(data_.end(), data.begin(), data.end());
    return *this;
}

SmfTrack& SmfTrack::noteOn(uint32_t delta, int channel, int note, int velocity) {
    return channelMessage(delta, uint8_t(0x90 | (channel & 15)), {uint8_t(note), uint8_t(velocity)});
}
SmfTrack& SmfTrack::noteOff(uint32_t delta, int channel, int note, int velocity) {
    return channelMessage(delta, uint8_t(0x80 | (channel & 15)), {uint8_t(note), uint8_t(velocity)});
}
SmfTrack& SmfTrack::chordOff(uint32_t delta, int channel, const std::vector<int>& notes) {
    for (int note : notes) {
        noteOff(delta, channel, note);
        delta = 0;
    }
    return *this;
}
SmfTrack& SmfTrack::keyPressure(uint32_t delta, int channel, int note, int pressure) {
    return channelMessage(delta, uint8_t(0xA0 | (channel & 15)), {uint8_t(note), uint8_t(pressure)});
}
SmfTrack& SmfTrack::controller(uint32_t delta, int channel, int number, int value) {
    return channelMessage(delta, uint8_t(0xB0 | (channel & 15)), {uint8_t(number), uint8_t(value)});
}
SmfTrack& SmfTrack::program(uint32_t delta, int channel, int program) {
    return channelMessage(delta, uint8_t(0xC0 | (channel & 15)), {uint8_t(program)});
}
SmfTrack& SmfTrack::channelPressure(uint32_t delta, int channel, int pressure) {
    return channelMessage(delta, uint8_t(0xD0 | (channel & 15)), {uint8_t(pressure)});
}
SmfTrack& SmfTrack::pitchBend(uint32_t delta, int channel, int value14) {
    return channelMessage(delta, uint8_t(0xE0 | (channel & 15)),
                          {uint8_t(value14 & 0x7F), uint8_t((value14 >> 7) & 0x7F)});
}

SmfTrack& SmfTrack::rpn(uint32_t delta, int channel, int msb, int lsb, int dataEntry) {
    controller(delta, channel, 101, msb);
    controller(0, channel, 100, lsb);
    return controller(0, channel, 6, dataEntry);
}
SmfTrack& SmfTrack::nrpn(uint32_t delta, int channel, int msb, int lsb, int dataEntry) {
    controller(delta, channel, 99, msb);
    controller(0, channel, 98, lsb);
    return controller(0, channel, 6, dataEntry);
}

SmfTrack& SmfTrack::tempo(uint32_t delta, uint32_t microsecondsPerQuarter) {
    return meta(delta, 0x51,
                {uint8_t(microsecondsPerQuarter >> 16), uint8_t(microsecondsPerQuarter >> 8),
                 uint8_t(microsecondsPerQuarter)});
}
SmfTrack& SmfTrack::text(uint32_t delta, int type, const std::string& text) {
    return meta(delta, type, std::vector<uint8_t>(text.begin(), text.end()));
}
SmfTrack& SmfTrack::meta(uint32_t delta, int type, const std::vector<uint8_t>& data) {
    return metaWithLength(delta, type, uint32_t(data.size()), data);
}
SmfTrack& SmfTrack::metaWithLength(uint32_t delta, int type, uint32_t length, const std::vector<uint8_t>& data) {
    appendVarLength(data_, delta);
    data_.push_back(0xFF);
    data_.push_back(uint8_t(type));
    appendVarLength(data_, length);
    data_.insert(data_.end(), data.begin(), data.end());
    return *this;
}
SmfTrack& SmfTrack::sysex(uint32_t delta, const std::vector<uint8_t>& data, uint8_t status) {
    appendVarLength(data_, delta);
    data_.push_back(status);
    appendVarLength(data_, uint32_t(data.size()));
    data_.insert(data_.end(), data.begin(), data.end());
    return *this;
}

SmfTrack& SmfTrack::event(uint32_t delta, std::initializer_list<uint8_t> bytes) {
    appendVarLength(data_, delta);
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
}
SmfTrack& SmfTrack::raw(const std::vector<uint8_t>& bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
}

SmfTrack& SmfTrack::useRunningStatus(bool on) {
    runningStatus_ = on;
    return *this;
}
SmfTrack& SmfTrack::end(uint32_t delta) {
    meta(delta, 0x2F, {});
    ended_ = true;
    return *this;
}
SmfTrack& SmfTrack::omitEndOfTrack() {
    omitEnd_ = true;
    return *this;
}
SmfTrack& SmfTrack::declaredLength(uint32_t length) {
    length_ = length;
    return *this;
}

SmfTrack& SmfBuilder::track() { return tracks_.emplace_back(); }

SmfBuilder& SmfBuilder::declaredTrackCount(uint16_t count) {
    trackCount_ = count;
    return *this;
}
SmfBuilder& SmfBuilder::headerLength(uint32_t length) {
    headerLength_ = length;
    return *this;
}
SmfBuilder& SmfBuilder::trailer(const std::vector<uint8_t>& bytes) {
    trailer_ = bytes;
    return *this;
}

std::vector<uint8_t> SmfBuilder::bytes() const {
    std::vector<uint8_t> out{'M', 'T', 'h', 'd'};
    putU32be(out, headerLength_);
    putU16be(out, format_);
    putU16be(out, trackCount_ ? *trackCount_ : uint16_t(tracks_.size()));
    putU16be(out, division_);
    for (uint32_t i = 6; i < headerLength_ && i < 4096; ++i) out.push_back(0);
    for (const SmfTrack& track : tracks_) {
        std::vector<uint8_t> data = track.data();
        if (!track.ended()) data.insert(data.end(), {0x00, 0xFF, 0x2F, 0x00});
        out.insert(out.end(), {'M', 'T', 'r', 'k'});
        putU32be(out, track.lengthOverride() ? *track.lengthOverride() : uint32_t(data.size()));
        out.insert(out.end(), data.begin(), data.end());
    }
    out.insert(out.end(), trailer_.begin(), trailer_.end());
    return out;
}

std::vector<uint8_t> wrapRmi(const std::vector<uint8_t>& midi, const std::vector<RiffPiece>& before,
                             const std::string& form) {
    std::vector<uint8_t> body(form.begin(), form.end());
    auto addChunk = [&body](const std::string& id, const std::vector<uint8_t>& data) {
        body.insert(body.end(), id.begin(), id.end());
        putU32le(body, uint32_t(data.size()));
        body.insert(body.end(), data.begin(), data.end());
        if (data.size() & 1) body.push_back(0);
    };
    for (const RiffPiece& piece : before) addChunk(piece.id, piece.data);
    addChunk("data", midi);
    std::vector<uint8_t> out{'R', 'I', 'F', 'F'};
    putU32le(out, uint32_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace tz::test
