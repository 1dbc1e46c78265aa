// Bounds-checked reader over untrusted bytes, shared by every file reader.
// Each read either succeeds completely or fails and leaves the position where
// it was; a failed reader stays usable so callers can decide what to skip.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tz {

class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}
    ByteReader(const uint8_t* data, size_t size) : data_(data, size) {}

    size_t size() const { return data_.size(); }
    size_t position() const { return pos_; }
    size_t remaining() const { return data_.size() - pos_; }
    bool atEnd() const { return pos_ >= data_.size(); }
    const uint8_t* current() const { return data_.data() + pos_; }
    std::span<const uint8_t> data() const { return data_; }

    bool seek(size_t pos) {
        if (pos > data_.size()) return false;
        pos_ = pos;
        return true;
    }
    bool skip(size_t n) {
        if (n > remaining()) return false;
        pos_ += n;
        return true;
    }

    bool u8(uint8_t& v) {
        if (remaining() < 1) return false;
        v = data_[pos_++];
        return true;
    }
    bool u16le(uint16_t& v) {
        if (remaining() < 2) return false;
        v = uint16_t(data_[pos_] | data_[pos_ + 1] << 8);
        pos_ += 2;
        return true;
    }
    bool u32le(uint32_t& v) {
        if (remaining() < 4) return false;
        v = uint32_t(data_[pos_]) | uint32_t(data_[pos_ + 1]) << 8 | uint32_t(data_[pos_ + 2]) << 16 |
            uint32_t(data_[pos_ + 3]) << 24;
        pos_ += 4;
        return true;
    }
    bool u16be(uint16_t& v) {
        if (remaining() < 2) return false;
        v = uint16_t(data_[pos_] << 8 | data_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    bool u32be(uint32_t& v) {
        if (remaining() < 4) return false;
        v = uint32_t(data_[pos_]) << 24 | uint32_t(data_[pos_ + 1]) << 16 | uint32_t(data_[pos_ + 2]) << 8 |
            uint32_t(data_[pos_ + 3]);
        pos_ += 4;
        return true;
    }
    bool i16le(int16_t& v) {
        uint16_t u;
        if (!u16le(u)) return false;
        v = int16_t(u);
        return true;
    }
    // MIDI variable-length quantity: seven bits a byte, the high bit set on
    // every byte but the last. Any number of bytes is read; the value keeps
    // their low 32 bits. Unlike the other reads it never fails: data that end
    // inside the quantity end it (the next read then fails), as MIDI files
    // cut short are read as far as they go.
    uint32_t varlen() {
        uint32_t value = 0;
        uint8_t byte = 0;
        while (u8(byte)) {
            value = value * 128 + (byte & 0x7F);
            if (!(byte & 0x80)) break;
        }
        return value;
    }
    bool bytes(void* dst, size_t n) {
        if (n > remaining()) return false;
        if (n) std::memcpy(dst, data_.data() + pos_, n);
        pos_ += n;
        return true;
    }
    // A sub-reader over the next n bytes; advances past them.
    bool sub(size_t n, ByteReader& out) {
        if (n > remaining()) return false;
        out = ByteReader(data_.subspan(pos_, n));
        pos_ += n;
        return true;
    }
    bool tag(const char (&fourcc)[5]) const {
        return remaining() >= 4 && std::memcmp(data_.data() + pos_, fourcc, 4) == 0;
    }

private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

}  // namespace tz
