#include "platform/utf8.h"

namespace tz {

std::string printableText(std::string_view raw, size_t limit) {
    std::u32string chars;
    bool utf8 = true;
    for (size_t i = 0; i < raw.size();) chars.push_back(decodeUtf8(raw, i, &utf8));
    if (!utf8) {
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
        appendUtf8(out, c);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

}  // namespace tz
