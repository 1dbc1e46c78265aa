// UTF-8 encoding and decoding, shared by the path conversions and the tools'
// display of texts read from files.
#pragma once
#include <string>
#include <string_view>

namespace tz {

constexpr char32_t kReplacementCharacter = 0xFFFD;

inline void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// Decodes one code point at text[i] (i < text.size()), advancing i.
// Malformed input (a cut or overlong sequence, a surrogate, a value beyond
// U+10FFFF) yields the replacement character, consumes one byte and clears
// *valid when it is given.
inline char32_t decodeUtf8(std::string_view text, size_t& i, bool* valid = nullptr) {
    const unsigned char b = static_cast<unsigned char>(text[i++]);
    if (b < 0x80) return b;
    const int extra = b >= 0xF0 && b < 0xF5 ? 3 : b >= 0xE0 ? 2 : b >= 0xC2 && b < 0xE0 ? 1 : -1;
    auto malformed = [&] {
        if (valid) *valid = false;
        return kReplacementCharacter;
    };
    if (extra < 0 || i + size_t(extra) > text.size()) return malformed();
    char32_t c = b & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        const unsigned char t = static_cast<unsigned char>(text[i + size_t(k)]);
        if ((t & 0xC0) != 0x80) return malformed();
        c = c << 6 | (t & 0x3F);
    }
    static constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return malformed();
    i += size_t(extra);
    return c;
}

// A text from a file made fit for display: kept as UTF-8 when it is, read as
// Latin-1 otherwise, control characters (escape sequences included) turned
// into spaces, runs of spaces folded, cut to `limit` characters.
std::string printableText(std::string_view raw, size_t limit = 200);

}  // namespace tz
