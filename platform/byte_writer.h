// Integers, tags and RIFF chunks appended to a byte vector: the writing side
// of ByteReader, for the bank writer, the WAV writer and the test builders.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tz {

using Bytes = std::vector<uint8_t>;

inline void putU8(Bytes& out, uint8_t v) { out.push_back(v); }
inline void putU16le(Bytes& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
inline void putU32le(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
inline void putU16be(Bytes& out, uint16_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}
inline void putU32be(Bytes& out, uint32_t v) {
    for (int i = 3; i >= 0; --i) out.push_back(uint8_t(v >> (8 * i)));
}
// A four-character code.
inline void putTag(Bytes& out, const char (&tag)[5]) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(tag[i]));
}
inline void putBytes(Bytes& out, const uint8_t* data, size_t size) { out.insert(out.end(), data, data + size); }
inline void putBytes(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }
// Text in a field of `width` bytes: cut to it, or padded with zeros.
inline void putText(Bytes& out, std::string_view text, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(i < text.size() ? uint8_t(text[i]) : 0);
}

// A RIFF chunk: identifier, little-endian size, data, and a pad byte after
// data of odd size.
inline Bytes riffChunk(const char (&id)[5], const Bytes& data) {
    Bytes out;
    out.reserve(data.size() + 9);
    putTag(out, id);
    putU32le(out, uint32_t(data.size()));
    putBytes(out, data);
    if (data.size() & 1) out.push_back(0);
    return out;
}

// A "LIST" (or "RIFF") chunk holding a type and a body of chunks.
inline Bytes riffList(const char (&id)[5], const char (&type)[5], const Bytes& body) {
    Bytes data;
    data.reserve(body.size() + 4);
    putTag(data, type);
    putBytes(data, body);
    return riffChunk(id, data);
}

}  // namespace tz
