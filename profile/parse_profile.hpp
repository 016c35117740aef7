// The strict, single-pass profile reader.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.hpp"
#include "profile/sandbox_profile.hpp"

namespace morvik::profile {

// The object form's keys. The first eight are the array form's elements, in
// order, and the first seven are required; the rest exist in the object form
// only.
inline constexpr std::array<std::string_view, 14> kProfileKeys = {
    "worktree_path",
    "git_dir",
    "agent_config_dirs",
    "tool_dirs",
    "user_allowed_paths",
    "allowed_domains",
    "env_passthrough",
    "proxy_port",
    "allow_udp",
    "keep_capabilities",
    "minimum_landlock_abi",
    "log_denials",
    "run_as",
    "isolate_network",
};

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
// When `unknown_keys` is given, it receives the object form's top-level keys
// that were read and dropped (decoded, in order, repeats included).
[[nodiscard]] Expected<SandboxProfile, ProfileError>
parse_profile(std::string_view text, std::vector<std::string>* unknown_keys = nullptr);

} // namespace morvik::profile
