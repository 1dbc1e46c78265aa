#include "tools/song_facts.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "midi/smf_reader.h"
#include "platform/byte_reader.h"
#include "platform/paths.h"
#include "records/midi_song.h"

namespace tz {

namespace {

// A variable-length quantity of at most four bytes, as files write them.
bool readVarLength(ByteReader& in, uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t byte;
        if (!in.u8(byte)) return false;
        value = value << 7 | (byte & 0x7F);
        if (!(byte & 0x80)) return true;
    }
    return false;
}

// The MIDI data of an RMI file: its first top-level "data" chunk.
std::span<const uint8_t> midiData(std::span<const uint8_t> file) {
    ByteReader in(file);
    uint32_t formSize;
    // tag() looks without moving on.
    if (!in.tag("RIFF")) return file;
    if (!in.skip(4) || !in.u32le(formSize) || !in.tag("RMID") || !in.skip(4)) return {};
    const size_t formEnd = size_t(std::min<uint64_t>(8 + uint64_t(formSize), file.size()));
    while (in.position() + 8 <= formEnd) {
        const bool isData = in.tag("data");
        in.skip(4);
        uint32_t size = 0;
        in.u32le(size);
        const size_t start = in.position();
        if (isData) return file.subspan(start, size_t(std::min<uint64_t>(size, formEnd - start)));
        if (!in.seek(size_t(std::min<uint64_t>(uint64_t(start) + size + (size & 1), formEnd)))) break;
    }
    return {};
}

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
    uint32_t delta;
    uint8_t status;
    while (readVarLength(track, delta) && track.u8(status)) {
        if (status == 0xFF) {
            uint8_t type;
            uint32_t size;
            if (!track.u8(type) || !readVarLength(track, size) || size > track.remaining()) return;
            std::string_view text(reinterpret_cast<const char*>(track.current()), size);
            track.skip(size);
            if (type == 0x2F) return;
            if (type == 3 && facts.title.empty()) facts.title = printableText(text);
            if (type == 2) append(facts.copyright, printableText(text));
        } else if (status == 0xF0 || status == 0xF7) {
            uint32_t size;
            if (!readVarLength(track, size) || !track.skip(size)) return;
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

// Decodes UTF-8 into code points; false at the first malformed sequence.
bool decodeUtf8(std::string_view text, std::u32string& out) {
    static const char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    for (size_t i = 0; i < text.size();) {
        const uint8_t lead = uint8_t(text[i]);
        int extra;
        char32_t c;
        if (lead < 0x80) {
            extra = 0, c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, c = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, c = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, c = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i <= size_t(extra)) return false;
        for (int k = 1; k <= extra; ++k) {
            const uint8_t next = uint8_t(text[i + size_t(k)]);
            if ((next & 0xC0) != 0x80) return false;
            c = c << 6 | (next & 0x3F);
        }
        if (c < kLeast[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        out.push_back(c);
        i += size_t(extra) + 1;
    }
    return true;
}

}  // namespace

std::string printableText(std::string_view raw, size_t limit) {
    std::u32string chars;
    if (!decodeUtf8(raw, chars)) {
        chars.clear();
        for (char ch : raw) chars.push_back(char32_t(uint8_t(ch)));
    }
    std::string out;
    size_t count = 0;
    bool space = true;  // drops leading spaces
    for (char32_t c : chars) {
        if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c == ' ') {
            if (!space) out += ' ';
            space = true;
            continue;
        }
        if (count++ == limit) break;
        space = false;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | (c >> 12 & 0x3F));
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

SongFacts readSongFacts(std::span<const uint8_t> file) {
    SongFacts facts;
    // The engine's own reader decides whether the file is readable and
    // yields the notes it will play.
    auto song = std::make_unique<MidiSong>();
    SmfReaderState state;
    int32_t division = 0;
    if (!readTrackEventList(file, *song, state, division)) return facts;
    facts.readable = true;
    facts.notes = uint64_t(std::count_if(state.trackEvents.begin(), state.trackEvents.end(),
                                         [](const TrackEvent& e) { return e.opcode == NoteOn && e.b > 0; }));

    ByteReader in(midiData(file));
    uint32_t headerLength;
    uint16_t format, count, division16;
    if (!in.tag("MThd") || !in.skip(4) || !in.u32be(headerLength) || headerLength < 6 || !in.u16be(format) ||
        !in.u16be(count) || !in.u16be(division16) || !in.skip(std::min<size_t>(headerLength - 6, in.remaining())))
        return facts;
    facts.tracks = format == 0 ? 1 : std::max(0, int32_t(int16_t(count)));
    readFirstTrackTexts(in, facts);
    return facts;
}

SongFacts readSongFacts(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* f = openFileUtf16(utf8ToUtf16(path));
    if (!f) return {};
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && bytes.size() <= kMaxMidiFileBytes)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    if (bytes.size() > kMaxMidiFileBytes) return {};
    return readSongFacts(std::span<const uint8_t>(bytes));
}

}  // namespace tz
