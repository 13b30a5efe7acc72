#include "types.h"

namespace board {

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

char32_t next_code_point(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    // Python's decoder, whose "replace" the header dicts show: no overlong
    // form, no surrogate, nothing above U+10FFFF, and a malformed sequence
    // stands for one U+FFFD up to the first byte that cannot continue it.
    const std::size_t len = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                            : lead >= 0xF0 && lead <= 0xF4                                  ? 4
                                                                                            : 0;
    // The second byte's range narrows where the lead alone allows too much.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    char32_t c = lead & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    std::size_t k = 1;
    for (; k < len && i + k < text.size(); ++k) {
        const unsigned char cont = byte(k);
        if (k == 1 ? cont < low || cont > high : (cont & 0xC0) != 0x80) break;
        c = (c << 6) | (cont & 0x3F);
    }
    i += k;
    return len != 0 && k == len ? c : U'\uFFFD';
}

}  // namespace board
