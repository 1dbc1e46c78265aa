#include "midi/song_facts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "midi/smf_reader.h"
#include "platform/byte_reader.h"
#include "platform/input_stream.h"
#include "platform/error.h"
#include "platform/utf8.h"
#include "records/midi_song.h"

namespace tz {

namespace {

void append(std::string& to, std::string_view text) {
    if (text.empty()) return;
    if (!to.empty()) to += ' ';
    to += text;
}

// Collects the texts of the first track: the events are walked (running
// status included) up to its end-of-track event or the end of its chunk.
void readFirstTrackTexts(ByteReader& in, SongFacts& facts) {
    uint32_t length;
    while (!in.tag("MTrk")) {
        // Chunks of other kinds before the first track are passed over.
        if (!in.skip(4) || !in.u32be(length) || !in.skip(std::min<size_t>(length, in.remaining()))) return;
    }
    if (!in.skip(4) || !in.u32be(length)) return;
    ByteReader track(in.current(), std::min<size_t>(length, in.remaining()));
    uint8_t running = 0;
    uint8_t status;
    while (!track.atEnd()) {
        track.varlen();  // the delta time
        if (!track.u8(status)) return;
        if (status == 0xFF) {
            uint8_t type;
            if (!track.u8(type)) return;
            const uint32_t size = track.varlen();
            if (size > track.remaining()) return;
            std::string_view text(reinterpret_cast<const char*>(track.current()), size);
            track.skip(size);
            if (type == 0x2F) return;
            if (type == 3 && facts.title.empty()) facts.title = printableText(text);
            if (type == 2) append(facts.copyright, printableText(text));
        } else if (status == 0xF0 || status == 0xF7) {
            if (!track.skip(track.varlen())) return;
        } else if (status >= 0xF0) {
            return;  // no other system message belongs in a file
        } else {
            int dataBytes = 2;
            if (status & 0x80) {
                running = status;
            } else if (running) {
                dataBytes = 1;  // the status byte read was the first data byte
            } else {
                return;
            }
            if ((running & 0xE0) == 0xC0) --dataBytes;  // program change, channel pressure: one data byte
            if (dataBytes > 0 && !track.skip(size_t(dataBytes))) return;
        }
    }
}

}  // namespace

SongFacts songFacts(std::span<const uint8_t> file, const std::vector<TrackEvent>& trackEvents) {
    SongFacts facts;
    facts.readable = true;
    facts.notes = uint64_t(std::count_if(trackEvents.begin(), trackEvents.end(), [](const TrackEvent& e) {
        return e.opcode == EventOpcode::NoteOn && e.b > 0;
    }));

    ByteReader in(midiFileData(file));
    uint32_t headerLength;
    uint16_t format, count, division16;
    if (!in.tag("MThd") || !in.skip(4) || !in.u32be(headerLength) || headerLength < 6 || !in.u16be(format) ||
        !in.u16be(count) || !in.u16be(division16) || !in.skip(std::min<size_t>(headerLength - 6, in.remaining())))
        return facts;
    facts.tracks = format == 0 ? 1 : std::max(0, int32_t(int16_t(count)));
    readFirstTrackTexts(in, facts);
    return facts;
}

SongFacts readSongFacts(std::span<const uint8_t> file) {
    // The engine's own reader decides whether the file is readable and
    // yields the notes it will play.
    auto song = std::make_unique<MidiSong>();
    SmfReaderState state;
    int32_t division = 0;
    if (readTrackEventList(file, *song, state, division) != Error::None) return {};
    return songFacts(file, state.trackEvents);
}

SongFacts readSongFacts(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, bytes, kMaxMidiFileBytes)) return {};
    return readSongFacts(std::span<const uint8_t>(bytes));
}

}  // namespace tz
