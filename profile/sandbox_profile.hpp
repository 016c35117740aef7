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

// The ids the command runs as when a privileged launcher switches user.
struct RunAs {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    friend bool operator==(const RunAs&, const RunAs&) = default;
};

struct SandboxProfile {
    Path worktree_path;
    Path git_dir;
    std::vector<Path> agent_config_dirs;
    std::vector<Path> tool_dirs;
    std::vector<Path> user_allowed_paths;
    std::vector<std::string> allowed_domains; // kept, never read by the sandbox
    std::vector<std::string> env_passthrough; // kept, never read by the sandbox
    std::optional<std::uint16_t> proxy_port;
    // Object form only; each optional in the document.
    bool allow_udp = false;         // UDP sockets (protocol 0 or 17) may be created
    bool keep_capabilities = false; // a privileged launcher's capabilities reach the command
    std::optional<std::uint32_t> minimum_landlock_abi{}; // fail unless the kernel reports this
    bool log_denials = false;     // refused accesses reach the audit log (ABI 7 and later)
    std::optional<RunAs> run_as;  // the command's uid and gid (never 4294967295)
    bool isolate_network = false; // loopback only, the proxy port relayed from outside

    friend bool operator==(const SandboxProfile&, const SandboxProfile&) = default;
};

} // namespace morvik::profile
