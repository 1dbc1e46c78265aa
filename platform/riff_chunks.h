// Walking the chunks of a RIFF body (RIFF forms, LIST bodies): the one walker
// the DLS reader, the RMI unwrapping and the SoundFont reader share.
#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "platform/byte_reader.h"

namespace tz {

// A four-character identifier as a little-endian 32-bit value.
constexpr uint32_t fourCC(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

// Where a chunk whose header declares `size` ends, with `remaining` bytes
// after its header in the body that holds it: its data, cut to the body, and
// the distance to the next chunk's header (past the pad byte after an odd
// size, when the body holds one).
struct RiffExtent {
    size_t length;
    size_t advance;
};
constexpr RiffExtent riffChunkExtent(uint32_t size, size_t remaining) {
    const size_t length = size < remaining ? size : remaining;
    return {length, length + ((size & 1) && length < remaining ? 1 : 0)};
}

struct RiffChunkView {
    uint32_t id = 0;
    uint32_t size = 0;               // as the header declares it
    std::span<const uint8_t> data;   // the data that lie within the body
};

// Reads the chunk at the reader's position and moves past it: its data and
// the pad byte after an odd size, when the body holds one. Data declared
// beyond the body's end are cut to it; when `strict`, such a chunk fails
// instead (its id and size are then filled in and the position is left
// where it was). False as well when fewer than eight bytes remain.
inline bool nextRiffChunk(ByteReader& body, RiffChunkView& chunk, bool strict = false) {
    const size_t start = body.position();
    if (!body.u32le(chunk.id) || !body.u32le(chunk.size)) {
        body.seek(start);
        return false;
    }
    if (strict && chunk.size > body.remaining()) {
        body.seek(start);
        return false;
    }
    const RiffExtent extent = riffChunkExtent(chunk.size, body.remaining());
    chunk.data = body.data().subspan(body.position(), extent.length);
    body.skip(extent.advance);
    return true;
}

// The identifier as text for messages, unprintable bytes shown as '?'.
inline std::string riffIdText(uint32_t id) {
    std::string text(4, '?');
    for (int i = 0; i < 4; ++i) {
        const uint8_t c = uint8_t(id >> (8 * i));
        if (c >= 0x20 && c <= 0x7E) text[size_t(i)] = char(c);
    }
    return text;
}

}  // namespace tz
