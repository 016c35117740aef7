// The parsed sandbox profile: what the confined command may write, read and
// execute, and the one TCP port it may connect to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvik::profile {

// A file-system path exactly as the profile spells it (UTF-8 bytes of the
// decoded JSON string; may be empty, relative, or hold NUL bytes).
using Path = std::string;

struct SandboxProfile {
    Path worktree_path;
    Path git_dir;
    std::vector<Path> agent_config_dirs;
    std::vector<Path> tool_dirs;
    std::vector<Path> user_allowed_paths;
    std::vector<std::string> allowed_domains; // kept, never read by the sandbox
    std::vector<std::string> env_passthrough; // kept, never read by the sandbox
    std::optional<std::uint16_t> proxy_port;

    friend bool operator==(const SandboxProfile&, const SandboxProfile&) = default;
};

} // namespace morvik::profile
