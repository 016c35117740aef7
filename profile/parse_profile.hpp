// The strict, single-pass profile reader.
#pragma once

#include <string_view>

#include "base/expected.hpp"
#include "profile/profile_error.hpp"
#include "profile/sandbox_profile.hpp"

namespace morvik::profile {

// Parses the whole profile text (object or array form). Never throws except
// std::bad_alloc; any input ends in a record or in exactly one ProfileError.
[[nodiscard]] Expected<SandboxProfile, ProfileError> parse_profile(std::string_view text);

} // namespace morvik::profile
