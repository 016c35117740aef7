// The sandbox policy: version detection, the rights of each
// ABI version, the rule table as data, and the apply sequence.
//
// The same sequence serves the launcher (real kernel) and a dry-run explainer
// (a Kernel that really stats/opens/queries but only records create, add_rule,
// prctl and restrict_self): both call `apply_landlock`, the explainer with a
// `PolicyObserver` that is told each step's outcome.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/expected.hpp"
#include "profile/sandbox_profile.hpp"
#include "sandbox/access.hpp"
#include "sandbox/errors.hpp"
#include "sandbox/kernel.hpp"
#include "sandbox/ruleset.hpp"

namespace morvik::sandbox {

inline constexpr const char* kAbiVersionPath = "/sys/kernel/security/landlock/abi_version";
inline constexpr std::string_view kNotEnforcedWarning =
    "Warning: Landlock sandbox not enforced by kernel\n";

// What the policy builds for a version number. The level stops at 6; the
// rights of later versions are gated on the version number itself.
struct PolicyRights {
    std::uint32_t version = 1;
    std::uint8_t level = 1;  // 1..5 as the version, else 6
    AccessFs full_access;    // AccessFs::from_all(level): "/tmp" and "/dev"
    AccessFs unix_access;    // ResolveUnix from version 9, else none
    AccessFs work_access;    // full_access | unix_access: the handled set, and the
                             // work tree, git dir and agent config dirs
    AccessFs read_access;    // Execute | ReadFile | ReadDir
    AccessFs home_access;    // ReadFile | WriteFile | MakeReg, + Truncate from version 3
    bool handle_net = false; // level >= 4
    bool allow_udp = false;  // the profile's allow_udp
    AccessNet udp_access;    // BindUdp | ConnectSendUdp from version 10 unless allow_udp
    AccessNet net_access;    // handled network rights: BindTcp | ConnectTcp | udp_access, or none
    AccessNet port_access;   // ConnectTcp

    friend bool operator==(const PolicyRights&, const PolicyRights&) = default;
};

// No UDP right is ever granted: handling `udp_access` refuses every UDP bind
// and send.
[[nodiscard]] PolicyRights rights_for_version(std::uint32_t version,
                                              bool allow_udp = false) noexcept;

// The version number in the ABI file text (valid
// UTF-8), or none when the kernel must be asked.
[[nodiscard]] std::optional<std::uint32_t> parse_abi_version(std::string_view text);

// The version number: the file at `path`, else the kernel's version query, else 1.
[[nodiscard]] std::uint32_t detect_abi_version(Kernel& kernel, const std::string& path);

// The rules the policy adds, in the order it adds them: the profile's paths,
// the fixed system directories, the home directory, the proxy port.
enum class RuleRow : std::uint8_t {
    Worktree = 1,
    GitDir,
    AgentConfigDir,
    ToolDir,
    UserAllowedPath,
    Usr,
    Bin,
    Lib,
    Lib64,
    Etc,
    Sbin,
    Run,
    Sys,
    Tmp,
    Proc,
    Dev,
    Home,
    ProxyPort,
};

// "worktree_path", "git_dir", "agent_config_dirs", "tool_dirs",
// "user_allowed_paths", "/usr" … "/dev", "home", "proxy_port".
[[nodiscard]] std::string_view row_name(RuleRow row) noexcept;

struct PathRule {
    RuleRow row;
    std::string path;
    AccessFs access;
};

// The path rules for `profile` that come before the home rule: the profile's
// paths, then the system directories, in order (one entry per list element).
[[nodiscard]] std::vector<PathRule> path_rules(const profile::SandboxProfile& profile,
                                               const PolicyRights& rights);

// What happened to one path rule.
enum class PathRuleStatus : std::uint8_t {
    Added,   // the layer added it with `granted`
    Dropped, // the running kernel supports none of its rights
    Inert,   // kept with `granted`, but the ruleset is inert (no Landlock call)
    Absent,  // stat failed (`stat_error`): no rule, no message
};

struct PathRuleEvent {
    const PathRule& rule;
    PathRuleStatus status;
    AccessFs granted;              // Added / Dropped / Inert
    bool directory_rights_removed; // not a directory: directory-only rights removed
    int stat_error;                // Absent
};

struct PortRuleEvent {
    std::uint16_t port;
    RuleOutcome<AccessNet> outcome;
};

// Told each step's outcome by `apply_landlock`. Errors are not reported here:
// they are the return value. Default implementations do nothing.
class PolicyObserver {
  public:
    virtual ~PolicyObserver() = default;
    // After version detection.
    virtual void on_rights(const PolicyRights&) {}
    // After the ruleset was created: kernel support, state, handled rights.
    virtual void on_created(const RulesetCreated&) {}
    // After each path rule (the home rule included) that was examined.
    virtual void on_path_rule(const PathRuleEvent&) {}
    // The home lookup's result (before the home rule).
    virtual void on_home(const std::optional<std::string>&) {}
    // After the port rule, when one was due (network handled and a port given).
    virtual void on_port_rule(const PortRuleEvent&) {}
    // After enforcement (before the warning).
    virtual void on_enforced(const RestrictionStatus&) {}
};

struct PolicyOptions {
    std::string abi_version_path = kAbiVersionPath;
    PolicyObserver* observer = nullptr; // not owned; may be null
};

// A RulesetError or a PathFdError, rendered by the ruleset layer.
class ApplyError {
  public:
    ApplyError(RulesetError e) : error_(std::move(e)) {}
    ApplyError(PathFdError e) : error_(std::move(e)) {}

    [[nodiscard]] const RulesetError* ruleset_error() const noexcept {
        return std::get_if<RulesetError>(&error_);
    }
    [[nodiscard]] const PathFdError* path_fd_error() const noexcept {
        return std::get_if<PathFdError>(&error_);
    }
    [[nodiscard]] std::string to_string() const;

  private:
    std::variant<RulesetError, PathFdError> error_;
};

// Stats `rule.path` (absent: success, no rule), opens it and adds a
// PathBeneath rule. The descriptor is closed before returning.
Expected<void, ApplyError> add_path_rule(Kernel& kernel, RulesetCreated& ruleset,
                                         const PathRule& rule, PolicyObserver* observer = nullptr);

// Builds the ruleset for `profile` and enforces it on the calling thread.
// Every descriptor it opens is close-on-exec and closed before it
// returns.
Expected<void, ApplyError> apply_landlock(const profile::SandboxProfile& profile, Kernel& kernel,
                                          const PolicyOptions& options = {});

} // namespace morvik::sandbox
