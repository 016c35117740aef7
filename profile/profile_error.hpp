// A profile parse failure with its position in the text.
#pragma once

#include <cstddef>
#include <string>

namespace morvik::profile {

struct ProfileError {
    std::string message;
    std::size_t line = 1;   // 1-based
    std::size_t column = 0; // bytes after the last line feed

    // "{message} at line {line} column {column}"
    [[nodiscard]] std::string to_string() const;

    friend bool operator==(const ProfileError&, const ProfileError&) = default;
};

} // namespace morvik::profile
