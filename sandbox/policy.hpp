// The sandbox policy: version detection, the rights of each
// ABI version, the rule table as data, and the apply sequence.
//
// The same sequence serves the launcher (real kernel) and a dry-run explainer
// (a Kernel that really stats/opens/queries but only records create, add_rule,
// prctl and restrict_self): both call `apply_landlock`, the explainer with a
// `PolicyObserver` that is told each step's outcome.
#pragma once

#include <cstdint>
#include <map>
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
#include "sandbox/path_walk.hpp"
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
    AccessFs home_access;    // ReadFile | WriteFile | RemoveFile | MakeReg, + Truncate from 3
    bool handle_net = false; // level >= 4
    bool allow_udp = false;  // the profile's allow_udp
    AccessNet udp_access;    // BindUdp | ConnectSendUdp from version 10 unless allow_udp
    AccessNet net_access;    // handled network rights: BindTcp | ConnectTcp | udp_access, or none
    AccessNet port_access;   // ConnectTcp
    Scope scope;             // AbstractUnixSocket | Signal at level 6, else none

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

// The pseudo-devices that "/dev" is narrowed to for a privileged launcher
// (a trailing slash marks a directory).
inline constexpr std::string_view kNarrowDev[] = {
    "/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom",
    "/dev/tty",  "/dev/ptmx", "/dev/pts/", "/dev/shm/",
};

// The path rules for `profile` that come before the home rule: the profile's
// paths, then the system directories, in order (one entry per list element).
// With `narrow_dev`, "/dev" is one rule per entry of kNarrowDev instead.
[[nodiscard]] std::vector<PathRule> path_rules(const profile::SandboxProfile& profile,
                                               const PolicyRights& rights, bool narrow_dev = false);

// What happened to one path rule.
enum class PathRuleStatus : std::uint8_t {
    Added,      // the layer added it with `granted`
    Dropped,    // the running kernel supports none of its rights
    Inert,      // kept with `granted`, but the ruleset is inert (no Landlock call)
    Absent,     // the walk found nothing (`stat_error`): no rule, no message
    NotGranted, // the home directory is unfit (`note` says why): no rule, a warning
};

struct PathRuleEvent {
    const PathRule& rule;
    PathRuleStatus status;
    AccessFs granted;              // Added / Dropped / Inert
    bool directory_rights_removed; // not a directory: directory-only rights removed
    int stat_error;                // Absent
    std::string_view note = {};    // NotGranted
};

struct PortRuleEvent {
    std::uint16_t port;
    RuleOutcome<AccessNet> outcome;
};

// Whether the launcher's capabilities are taken from the command.
struct CapabilityDecision {
    bool privileged = false;        // uid 0 or any capability: they are dropped
    bool keep_capabilities = false; // the profile keeps them (nothing was checked)
    // uid 0 or CAP_SETPCAP: secure bits locked and bounding set emptied too
    bool full_drop = false;
};

// Told each step's outcome by `apply_landlock` (and `confine`). Errors are not reported here:
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
    // Before the policy runs (`confine` only).
    virtual void on_capabilities(const CapabilityDecision&) {}
    // Before the system-call filter is installed (`confine` only).
    virtual void on_filter(const SyscallFilter&) {}
};

struct PolicyOptions {
    std::string abi_version_path = kAbiVersionPath;
    PolicyObserver* observer = nullptr; // not owned; may be null
    bool narrow_dev = false;            // grant only the pseudo-devices of kNarrowDev
};

// The profile's minimum_landlock_abi is not met by the kernel's own answer to
// the version query.
struct MinimumAbiError {
    KernelSupport found;
    std::uint32_t required = 0;

    // "the kernel's Landlock ABI version is 5, below the required
    // minimum_landlock_abi 6", or "the kernel has no Landlock (…)" / "the
    // kernel's Landlock is disabled (…)".
    [[nodiscard]] std::string to_string() const;

    friend bool operator==(const MinimumAbiError&, const MinimumAbiError&) = default;
};

// A RulesetError or a PathFdError, rendered by the ruleset layer, the
// policy's own MinimumAbiError, or a link the path walk refused.
class ApplyError {
  public:
    ApplyError(RulesetError e) : error_(std::move(e)) {}
    ApplyError(PathFdError e) : error_(std::move(e)) {}
    ApplyError(LinkRefusal e) : error_(std::move(e)) {}
    ApplyError(MinimumAbiError e) : error_(e) {}

    [[nodiscard]] const RulesetError* ruleset_error() const noexcept {
        return std::get_if<RulesetError>(&error_);
    }
    [[nodiscard]] const PathFdError* path_fd_error() const noexcept {
        return std::get_if<PathFdError>(&error_);
    }
    [[nodiscard]] const LinkRefusal* link_refusal() const noexcept {
        return std::get_if<LinkRefusal>(&error_);
    }
    [[nodiscard]] const MinimumAbiError* minimum_abi_error() const noexcept {
        return std::get_if<MinimumAbiError>(&error_);
    }
    [[nodiscard]] std::string to_string() const;

  private:
    std::variant<RulesetError, PathFdError, MinimumAbiError, LinkRefusal> error_;
};

// What the enforcement left in place, for the steps that follow it.
struct LandlockResult {
    RestrictionStatus status;
    // The kernel was told to handle TCP connect: the ruleset restricts TCP.
    bool tcp_rules = false;
};

// The identities of the places the command may write to, found before any
// rule is added: every place it names that resolved.
struct WritablePlaces {
    std::vector<FileId> all;
    // Those reached without following a link that lies beneath one of
    // `all`: only these vouch for where a link beneath a writable place may
    // lead, so that a link planted by the command cannot vouch for itself.
    std::vector<FileId> anchors;
    // The places reached without following any link, still open by path:
    // the second pass would check nothing on their way, so these
    // descriptors serve it as they are.
    std::map<std::string, Resolved> link_free;
};

// The first pass: resolves the rules of "/tmp" and "/dev" (the narrowed
// devices, when "/dev" is), then the profile's places with
// every right, refusing links beneath those that lead elsewhere.
Expected<WritablePlaces, ApplyError> find_writable_places(Kernel& kernel,
                                                          const std::vector<PathRule>& rules);

// Resolves `rule.path` with `walker` (absent: success, no rule), or takes
// its descriptor from `ready` when the first pass left one there, and adds a
// PathBeneath rule on the descriptor the walk produced, which is closed
// before returning. When `chain` is given, it receives the ancestry of what
// the path resolved to, without the root for a path of one name beneath it
// that followed no link.
Expected<void, ApplyError> add_path_rule(RulesetCreated& ruleset, const PathRule& rule,
                                         PathWalker& walker, PolicyObserver* observer = nullptr,
                                         Ancestry* chain = nullptr,
                                         std::map<std::string, Resolved>* ready = nullptr);

// Why the home directory, resolved to `home`, gets no rule: not a directory, the root, a top-level
// directory other than
// "/root", equal to, beneath or above a system directory (`system`: their
// names and ancestries), or owned by someone other than `uid`. Empty when it
// is fit.
[[nodiscard]] std::string home_unfit(const StatResult& home, const Ancestry& chain,
                                     const std::vector<std::pair<std::string, Ancestry>>& system,
                                     std::optional<FileId> root_home, uid_t uid);

// Builds the ruleset for `profile` and enforces it on the calling thread.
// Every descriptor it opens is close-on-exec and closed before it
// returns. With `minimum_landlock_abi` in the profile, a kernel whose own
// version query reports less (or fails) stops it before anything is done.
Expected<LandlockResult, ApplyError> apply_landlock(const profile::SandboxProfile& profile,
                                                    Kernel& kernel,
                                                    const PolicyOptions& options = {});

} // namespace morvik::sandbox
