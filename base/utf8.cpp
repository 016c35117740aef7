#include "base/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace morvik {

Utf8Step decode_utf8(std::string_view text, std::size_t offset) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(offset);
    if (b0 < 0x80) return Utf8Step{true, 1, b0};
    std::size_t need = 0;
    char32_t cp = 0;
    // The accepted range of the first continuation byte; later ones are
    // always 0x80..0xBF.
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0; // overlong
        if (b0 == 0xED) hi = 0x9F; // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90; // overlong
        if (b0 == 0xF4) hi = 0x8F; // above U+10FFFF
    } else {
        return Utf8Step{};
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (offset + k >= text.size()) return Utf8Step{false, k, 0};
        const unsigned char b = byte(offset + k);
        if (b < lo || b > hi) return Utf8Step{false, k, 0};
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
    }
    return Utf8Step{true, need + 1, cp};
}

bool is_valid_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        // Skip ASCII eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        const Utf8Step step = decode_utf8(text, i);
        if (!step.valid) return false;
        i += step.length;
    }
    return true;
}

void append_utf8_lossy(std::string& out, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const Utf8Step step = decode_utf8(text, i);
        if (step.valid) {
            out.append(text.substr(i, step.length));
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += step.length;
    }
}

} // namespace morvik
