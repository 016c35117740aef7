// Rendering of operating-system error numbers.
#pragma once

#include <string>

namespace morvik {

// The platform's untranslated description of `code`, obtained through the
// POSIX (XSI) strerror_r into a 1024-byte buffer. Invalid UTF-8 in the
// description is replaced by U+FFFD. When strerror_r itself fails with
// anything but ERANGE the text is
// "OS error {code} (strerror_r returned error {errno})".
std::string errno_description(int code);

// An errno value captured right after a failing call. It renders as
// "{description} (os error {code})".
struct OsError {
    int code = 0;

    [[nodiscard]] std::string to_string() const;
    friend bool operator==(const OsError&, const OsError&) = default;
};

// Appends `text` to `out`, replacing every invalid UTF-8 sequence by U+FFFD
// (one replacement per maximal invalid subpart).
void append_utf8_lossy(std::string& out, std::string_view text);

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF).
[[nodiscard]] bool is_valid_utf8(std::string_view text) noexcept;

} // namespace morvik
