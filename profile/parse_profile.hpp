// The strict, single-pass profile reader.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/expected.hpp"
#include "profile/sandbox_profile.hpp"

namespace morvik::profile {

// A profile parse failure with its position in the text.
struct ProfileError {
    std::string message;
    std::size_t line = 1;   // 1-based
    std::size_t column = 0; // bytes after the last line feed

    // "{message} at line {line} column {column}"
    [[nodiscard]] std::string to_string() const;

    friend bool operator==(const ProfileError&, const ProfileError&) = default;
};

// Parses the whole profile text (object or array form). Never throws except
// std::bad_alloc; any input ends in a record or in exactly one ProfileError.
[[nodiscard]] Expected<SandboxProfile, ProfileError> parse_profile(std::string_view text);

} // namespace morvik::profile
