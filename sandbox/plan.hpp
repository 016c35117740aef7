// The confinement, first planned: everything the launcher will do to itself
// is decided here, by reading only (one Landlock version query, the ABI
// file, the two-pass path walk, the home directory's fitness), and returned
// as a value that holds one open descriptor per path rule. `enforce`
// (enforce.hpp) then makes the kernel calls; the explainer renders the same
// value, so what it shows is what the launcher does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.hpp"
#include "base/unique_fd.hpp"
#include "profile/sandbox_profile.hpp"
#include "sandbox/access.hpp"
#include "sandbox/kernel.hpp"
#include "sandbox/syscall_filter.hpp"

namespace morvik::sandbox {

inline constexpr const char* kAbiVersionPath = "/sys/kernel/security/landlock/abi_version";
inline constexpr std::string_view kNotEnforcedWarning =
    "Warning: Landlock sandbox not enforced by kernel";

// What the plan needs to know about the launching process.
struct Host {
    uid_t uid = 0;  // real
    uid_t euid = 0; // effective
    CapabilitySets caps{};
    // HOME when set and not empty, else the password entry's directory of
    // `run_uid`.
    std::optional<std::string> home;
    uid_t run_uid = 0; // the uid the command will run as
};

// Reads the host through `kernel`; the command runs as `run_as`'s uid, else
// as the real uid.
[[nodiscard]] Host read_host(Kernel& kernel, const std::optional<profile::RunAs>& run_as = {});

// Where a path rule comes from: the profile's keys, the fixed read-only
// system directories, the shared writable ones ("/tmp", "/dev"), the home.
enum class Origin : std::uint8_t {
    Worktree,
    GitDir,
    AgentConfigDir,
    ToolDir,
    UserAllowedPath,
    System,
    Shared,
    Home
};

// The pseudo-devices that "/dev" is narrowed to when the capabilities are
// dropped (a trailing slash marks a directory).
inline constexpr std::string_view kNarrowDev[] = {
    "/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom",
    "/dev/tty",  "/dev/ptmx", "/dev/pts/", "/dev/shm/",
};

// One path rule as planned. It reaches the kernel when `fd` is open and
// `granted` is not empty.
struct Rule {
    Origin origin = Origin::Worktree;
    std::string path{};
    AccessFs asked{};    // the rights the policy asks for
    AccessFs granted{};  // after the type check and the kernel's mask (none: dropped)
    bool file = false;   // not a directory: only the file rights apply
    int absent = 0;      // the walk found nothing (this errno): no rule, and unless
                         // `absent_silently`, a warning for a profile path
    std::string unfit{}; // the home directory is not granted (why): a warning
    UniqueFd fd{};       // what the walk reached (O_PATH, close-on-exec)
};

enum class Enforcement : std::uint8_t { Full, Partial, NotEnforced };

struct Plan {
    // The version the rules are built for and its level (1 to 6; 0 when
    // planning stopped before), and the kernel's own answer to the version
    // query (-1 when it failed, with `kernel_error`).
    std::uint32_t version = 0;
    std::uint8_t level = 0;
    std::int64_t kernel_version = -1;
    int kernel_error = 0;
    // The rights the ruleset is asked to handle (none until planned), and
    // those the kernel is told (none when it has no Landlock: nothing is
    // enforced).
    AccessFs asked_fs;
    AccessNet asked_net;
    Scope asked_scope;
    AccessFs handled_fs;
    AccessNet handled_net;
    Scope handled_scope;
    // The profile's paths, the system directories, then the home directory.
    std::vector<Rule> rules;
    bool home_looked_up = false;
    std::optional<std::string> home;
    // The one TCP port the command may connect to (when network is
    // handled), and ConnectTcp unless the kernel lacks it.
    std::optional<std::uint16_t> port;
    AccessNet port_granted;
    std::uint32_t restrict_flags = 0;
    Enforcement enforcement = Enforcement::NotEnforced;
    // uid 0 or a capability held: every capability is taken; `full_drop`
    // (uid 0 holding capabilities, or CAP_SETPCAP) also locks the secure
    // bits and empties the bounding set.
    bool root = false; // the launcher runs as uid 0 (real or effective)
    bool drop_capabilities = false;
    bool full_drop = false;
    SyscallFilter filter{};
    // Printed, in order, once enforcement has succeeded.
    std::vector<std::string> warnings;
};

// A plan that stopped: the launcher's failure line, and what was decided
// before it (its descriptors closed).
struct PlanError {
    std::string line;
    Plan partial;
};

// Whether a path the walk could not look up for `error` is simply not there
// (ENOENT, ENOTDIR), rather than there but out of reach (EACCES, ELOOP,
// ENAMETOOLONG, EINVAL).
[[nodiscard]] bool absent_silently(int error) noexcept;

// The version number in the ABI file's text (valid UTF-8), or none.
[[nodiscard]] std::optional<std::uint32_t> parse_abi_version(std::string_view text);

// Plans the confinement of the calling process for `profile`.
[[nodiscard]] Expected<Plan, PlanError> plan(const profile::SandboxProfile& profile,
                                             const Host& host, Kernel& kernel);

// The label of a rule's origin: the profile key, "system" or "home".
[[nodiscard]] std::string_view origin_label(Origin origin) noexcept;

} // namespace morvik::sandbox
