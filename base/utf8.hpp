// UTF-8 decoding: one decoder for every walk over UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvik {

// One step of a UTF-8 walk. A valid sequence (no overlongs, no surrogates,
// nothing above U+10FFFF) has `valid` set, its `length` in bytes and its
// `code_point`. Otherwise `length` is the maximal invalid subpart to skip (at
// least 1) and `code_point` is 0.
struct Utf8Step {
    bool valid = false;
    std::size_t length = 1;
    char32_t code_point = 0;
};

// Decodes the sequence that starts at text[offset]; `offset` must be less
// than text.size().
[[nodiscard]] Utf8Step decode_utf8(std::string_view text, std::size_t offset) noexcept;

// True when `text` is well-formed UTF-8.
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

// Appends `text` to `out`, replacing every invalid UTF-8 sequence by U+FFFD
// (one replacement per maximal invalid subpart).
void append_utf8_lossy(std::string& out, std::string_view text);

} // namespace morvik
