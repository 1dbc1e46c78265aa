#include "midi/smf_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "midi/event_list.h"
#include "platform/byte_reader.h"
#include "platform/error.h"
#include "platform/input_stream.h"
#include "platform/riff_chunks.h"
#include "records/midi_song.h"

namespace tz {

namespace {

// Skips `count` bytes, or to the end of the data when fewer remain.
void skipClamped(ByteReader& in, uint32_t count) {
    in.skip(std::min<size_t>(count, in.remaining()));
}

// Text meta events: types 1 and 2 are kept (control characters shown as
// full stops), the others are read past. A text that runs past the end of
// the data is dropped.
void storeTextEvent(ByteReader& in, uint32_t length, uint8_t type, MidiSong& song) {
    if (length > in.remaining()) {
        skipClamped(in, length);
        return;
    }
    if (type != 1 && type != 2) {
        in.skip(length);
        return;
    }
    std::string text(reinterpret_cast<const char*>(in.current()), length);
    in.skip(length);
    for (char& ch : text) {
        if (uint8_t(ch) < 0x20) ch = '.';
    }
    song.texts[type == 1 ? 0 : 1] = std::move(text);
}

enum class TrackStep { Event, EndOfTrack, DataEnded };

// Turns a controller change into an event, or returns false when it makes
// none (unknown controllers, parameter selection, ignored data entry).
bool controllerEvent(SmfReaderState& state, uint8_t channel, uint8_t controller, uint8_t value,
                     TrackEvent& out) {
    out.a = value;
    switch (controller) {
    case 0:
        out.opcode = EventOpcode::BankSelect;
        return true;
    case 32:
        if (value != 0) return false;
        out.opcode = EventOpcode::BankSelect;
        return true;
    case 6:
        if (state.nrpnSelected) return false;
        if (state.rpnMsb[channel] == 0 && state.rpnLsb[channel] == 0) {
            out.opcode = EventOpcode::BendRange;
            return true;
        }
        if (state.rpnMsb[channel] == 127 && state.rpnLsb[channel] == 127) {
            out.opcode = EventOpcode::BendRange;
            out.a = 2;
            return true;
        }
        return false;
    case 7: out.opcode = EventOpcode::ChannelVolume; return true;
    case 10: out.opcode = EventOpcode::Panning; return true;
    case 11: out.opcode = EventOpcode::Expression; return true;
    case 64: out.opcode = EventOpcode::SustainPedal; return true;
    case 98:
        state.rpnMsb[channel] = value;
        state.nrpnSelected = 1;
        return false;
    case 99:
        state.rpnLsb[channel] = value;
        state.nrpnSelected = 1;
        return false;
    case 100:
        state.rpnLsb[channel] = value;
        state.nrpnSelected = 0;
        return false;
    case 101:
        state.rpnMsb[channel] = value;
        state.nrpnSelected = 0;
        return false;
    case 1:
    case 91:
    case 93:
        if (!state.standardEvents) return false;
        out.opcode = controller == 1    ? EventOpcode::ModulationWheel
                     : controller == 91 ? EventOpcode::ReverbSend
                                        : EventOpcode::ChorusSend;
        return true;
    case 120: out.opcode = EventOpcode::AllSoundsOff; return true;
    case 121: out.opcode = EventOpcode::ResetControllers; return true;
    case 123: out.opcode = EventOpcode::AllNotesOff; return true;
    default: return false;
    }
}

// The system-exclusive messages that reset a whole synthesizer: General
// MIDI on, Roland GS reset, Yamaha XG system on (the bytes after F0).
bool isSystemReset(std::span<const uint8_t> m) {
    static constexpr uint8_t kGm[] = {0x7E, 0x7F, 0x09, 0x01, 0xF7};
    static constexpr uint8_t kGm2[] = {0x7E, 0x7F, 0x09, 0x03, 0xF7};
    static constexpr uint8_t kGs[] = {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    static constexpr uint8_t kXg[] = {0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
    auto is = [&](std::span<const uint8_t> k, size_t ignoreAt) {
        if (m.size() < k.size()) return false;
        for (size_t i = 0; i < k.size(); ++i)
            if (i != ignoreAt && m[i] != k[i]) return false;
        return true;
    };
    // The device byte (the second, or the XG's low nibble) may be any.
    return is(kGm, 1) || is(kGm2, 1) || is(kGs, 1) || (m.size() >= sizeof kXg && (m[1] & 0xF0) == 0x10 && is(kXg, 1));
}

// Reads up to the next event the song keeps, or to the end of the track.
TrackStep readTrackEvent(ByteReader& in, SmfReaderState& state, MidiSong& song, TrackEvent& out) {
    for (;;) {
        state.trackTime += in.varlen();
        uint8_t status;
        if (!in.u8(status)) return TrackStep::DataEnded;

        if (status == 0xF0 || status == 0xF7) {
            const uint32_t length = in.varlen();
            if (state.standardEvents && status == 0xF0 && length <= in.remaining() &&
                isSystemReset({in.current(), length})) {
                in.skip(length);
                out = TrackEvent{state.trackTime, 0, EventOpcode::SystemReset, 0, 0};
                return TrackStep::Event;
            }
            skipClamped(in, length);
            continue;
        }
        if (status == 0xFF) {
            uint8_t type;
            if (!in.u8(type)) return TrackStep::DataEnded;
            const uint32_t length = in.varlen();
            if (type >= 1 && type <= 15) {
                storeTextEvent(in, length, type, song);
                continue;
            }
            if (type == 0x2F) return TrackStep::EndOfTrack;
            if (type == 0x51) {
                // Always three bytes, whatever the length says.
                uint8_t t[3];
                if (!in.bytes(t, 3)) return TrackStep::DataEnded;
                out = TrackEvent{};
                out.time = state.trackTime;
                out.opcode = EventOpcode::Tempo;
                out.tempo = uint32_t(t[0]) << 16 | uint32_t(t[1]) << 8 | t[2];
                return TrackStep::Event;
            }
            skipClamped(in, length);
            continue;
        }

        uint8_t d1;
        if (status & 0x80) {
            state.runningStatusType = (status >> 4) & 7;
            state.runningStatusChannel = status & 0x0F;
            if (!in.u8(d1)) return TrackStep::DataEnded;
            d1 &= 0x7F;
        } else {
            d1 = status;  // a data byte under the running status
        }

        const uint8_t channel = state.runningStatusChannel;
        out = TrackEvent{state.trackTime, channel, EventOpcode::None, d1, 0};
        uint8_t d2 = 0;
        switch (state.runningStatusType) {
        case 0:
        case 1:
        case 2:
        case 6:
            if (!in.u8(d2)) return TrackStep::DataEnded;
            out.b = d2 & 0x7F;
            out.opcode = state.runningStatusType == 0   ? EventOpcode::NoteOff
                         : state.runningStatusType == 1 ? EventOpcode::NoteOn
                         : state.runningStatusType == 2 ? EventOpcode::KeyPressure
                                                        : EventOpcode::PitchBend;
            return TrackStep::Event;
        case 3:
            if (!in.u8(d2)) return TrackStep::DataEnded;
            if (controllerEvent(state, channel, d1, d2 & 0x7F, out)) return TrackStep::Event;
            continue;
        case 4:
            out.opcode = EventOpcode::ProgramChange;
            return TrackStep::Event;
        case 5:
            if (!state.standardEvents) continue;  // its byte is consumed
            out.opcode = EventOpcode::ChannelPressure;
            return TrackStep::Event;
        default:  // system messages: their byte is consumed
            continue;
        }
    }
}

// Reads one "MTrk" chunk, appending its events to `out`. Fails when the
// chunk header is missing or wrong or the data end before the track's
// end-of-track event.
Error readTrack(ByteReader& in, SmfReaderState& state, MidiSong& song, int64_t startTime,
                std::vector<TrackEvent>& out) {
    state.trackTime = startTime;
    uint32_t length;
    if (!in.tag("MTrk")) return in.remaining() == 0 ? Error::MidiTrackTruncated : Error::MidiTrackMissing;
    if (!in.skip(4) || !in.u32be(length)) return Error::MidiTrackTruncated;
    // The chunk length is not used: the track ends at its end-of-track event.
    TrackEvent event;
    for (;;) {
        switch (readTrackEvent(in, state, song, event)) {
        case TrackStep::Event: out.push_back(event); break;
        case TrackStep::EndOfTrack: return Error::None;
        case TrackStep::DataEnded: return Error::MidiTrackTruncated;
        }
    }
}

// Merges two runs sorted by time into `out`; at equal times events of
// `first` come before those of `second`. Written without a branch on the
// comparison, which is unpredictable for interleaved tracks.
TrackEvent* mergeRuns(const TrackEvent* first, const TrackEvent* firstEnd, const TrackEvent* second,
                      const TrackEvent* secondEnd, TrackEvent* out) {
    while (first != firstEnd && second != secondEnd) {
        const bool takeSecond = second->time < first->time;
        const TrackEvent* source = takeSecond ? second : first;
        *out++ = *source;
        second += takeSecond;
        first += !takeSecond;
    }
    out = std::copy(first, firstEnd, out);
    return std::copy(second, secondEnd, out);
}

// Merges tracks that all start at tick 0. `events` holds the head event
// followed by each track's events; track t occupies [starts[t], starts[t+1]).
// Among events of equal time a later track comes first; within a track the
// order is kept. Adjacent groups of tracks are merged pairwise, so every event
// is moved once per halving of the track count. The result replaces `events`.
void mergeTracks(std::vector<TrackEvent>& events, std::vector<size_t> starts) {
    std::vector<TrackEvent> other(events.size());
    other[0] = events[0];
    while (starts.size() > 2) {
        const TrackEvent* from = events.data();
        TrackEvent* to = other.data();
        std::vector<size_t> merged{starts[0]};
        size_t g = 0;
        for (; g + 2 < starts.size(); g += 2) {
            // The later group of tracks goes first at equal times.
            mergeRuns(from + starts[g + 1], from + starts[g + 2], from + starts[g], from + starts[g + 1],
                      to + starts[g]);
            merged.push_back(starts[g + 2]);
        }
        if (g + 1 < starts.size()) {
            std::copy(from + starts[g], from + starts[g + 1], to + starts[g]);
            merged.push_back(starts[g + 1]);
        }
        events.swap(other);
        starts = std::move(merged);
    }
}

// The MIDI data inside an RMID RIFF form: the contents of its first
// top-level "data" chunk. Returns false for any other RIFF form or an RMID
// form without data.
bool unwrapRmi(std::span<const uint8_t> file, std::span<const uint8_t>& midi) {
    ByteReader in(file);
    uint32_t formSize;
    if (!in.skip(4) || !in.u32le(formSize) || !in.tag("RMID")) return false;
    const size_t formEnd = size_t(std::min<uint64_t>(8 + uint64_t(formSize), file.size()));
    ByteReader form(file.first(formEnd));
    form.seek(12);
    RiffChunkView chunk;
    while (nextRiffChunk(form, chunk)) {
        // The data chunk is cut to the form; a chunk before it that runs past
        // the form's end leaves nothing to find.
        if (chunk.id == fourCC("data")) {
            midi = chunk.data;
            return true;
        }
    }
    return false;
}

}  // namespace

std::span<const uint8_t> midiFileData(std::span<const uint8_t> file) {
    if (file.size() < 4 || std::memcmp(file.data(), "RIFF", 4) != 0) return file;
    std::span<const uint8_t> midi;
    return unwrapRmi(file, midi) ? midi : std::span<const uint8_t>();
}

Error readTrackEventList(std::span<const uint8_t> file, MidiSong& song, SmfReaderState& state,
                         int32_t& division) {
    state.trackEvents.clear();
    state.trackTime = 0;

    if (file.size() >= 4 && std::memcmp(file.data(), "RIFF", 4) == 0) {
        ByteReader form(file);
        if (!form.skip(8) || !form.tag("RMID")) return Error::NotMidi;
        if (!unwrapRmi(file, file)) return Error::RmiWithoutMidi;
    }

    ByteReader in(file);
    uint32_t headerLength;
    uint16_t format, trackCount, rawDivision;
    if (!in.tag("MThd")) return Error::NotMidi;
    if (!in.skip(4) || !in.u32be(headerLength)) return Error::MidiHeaderShort;
    if (int32_t(headerLength) < 6) return Error::MidiHeaderShort;
    if (!in.u16be(format) || !in.u16be(trackCount) || !in.u16be(rawDivision)) return Error::MidiHeaderShort;

    if (int16_t(rawDivision) >= 0) {
        division = int16_t(rawDivision);
    } else {
        // SMPTE: negative frames per second in the high byte, ticks per frame
        // in the low byte.
        division = -int32_t(int8_t(rawDivision >> 8)) * int32_t(rawDivision & 0xFF);
    }
    if (division == 0) return Error::MidiDivisionZero;
    skipClamped(in, headerLength - 6);
    if (format > 2) return Error::MidiFormatUnknown;

    std::vector<TrackEvent>& list = state.trackEvents;
    // Typical tracks spend three or more bytes per event; past a million
    // events the vector grows as needed.
    list.reserve(std::min<size_t>(in.remaining() / 3, size_t(1) << 20) + 1);
    list.push_back(TrackEvent{});  // head: tick 0, None
    const int32_t tracks = format == 0 ? 1 : int16_t(trackCount);

    Error error = Error::None;
    if (format == 1 && tracks > 1) {
        // Every track starts at tick 0: read them one after the other, then merge.
        std::vector<size_t> trackStarts{1};
        for (int32_t t = 0; t < tracks && error == Error::None; ++t) {
            error = readTrack(in, state, song, 0, list);
            trackStarts.push_back(list.size());
        }
        if (error == Error::None) mergeTracks(list, std::move(trackStarts));
    } else {
        // One track, or format 2: each track starts at the time of the last
        // event read so far, so its events follow the list's.
        for (int32_t t = 0; t < tracks && error == Error::None; ++t) {
            error = readTrack(in, state, song, format == 2 ? list.back().time : 0, list);
        }
    }
    if (error != Error::None) std::vector<TrackEvent>().swap(list);
    return error;
}

bool readMidiFile(MidiSong& song, std::span<const uint8_t> file, Error* why) {
    SmfReaderState state;
    int32_t division = 0;
    Error error = readTrackEventList(file, song, state, division);
    if (error == Error::None && !buildEventList(song, state.trackEvents, division)) error = Error::SongTooLong;
    if (error != Error::None) song.events.clear();
    if (why) *why = error;
    return error == Error::None;
}

bool readMidiFile(MidiSong& song, InputStream* stream, Error* why) {
    song.events.clear();
    std::vector<uint8_t> file;
    Error error = Error::None;
    if (!stream || !stream->read) error = Error::SongUnreadable;
    else if (!readWholeStream(stream, file, kMaxMidiFileBytes)) error = Error::SongTooLarge;
    if (error != Error::None) {
        if (why) *why = error;
        return false;
    }
    return readMidiFile(song, std::span<const uint8_t>(file), why);
}

}  // namespace tz
