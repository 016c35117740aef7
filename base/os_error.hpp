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

} // namespace morvik
