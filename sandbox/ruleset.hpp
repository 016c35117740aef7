// The Landlock ruleset layer: kernel support, best-effort
// support state, ruleset declaration/creation, rules and enforcement. Every OS
// access goes through the `Kernel` given to `Ruleset` / `PathFd`.
#pragma once

#include <cstdint>
#include <string>

#include "base/expected.hpp"
#include "sandbox/access.hpp"
#include "sandbox/errors.hpp"
#include "sandbox/kernel.hpp"

namespace morvik::sandbox {

// The answer of the kernel's version query.
struct KernelSupport {
    enum class Kind : std::uint8_t { Available, Disabled, Missing };

    Kind kind = Kind::Missing;
    std::int32_t version = 0; // as the kernel returned it (Available only)
    std::uint8_t level = 0;   // effective ABI level 0..6
    int error = 0;            // the query's errno (Disabled and Missing only)

    // landlock_create_ruleset(NULL, 0, VERSION): r >= 0 Available (level
    // min(r, 6)); EOPNOTSUPP Disabled; any other failure Missing.
    static KernelSupport query(Kernel& kernel);

    friend bool operator==(const KernelSupport&, const KernelSupport&) = default;
};

enum class SupportState : std::uint8_t { Unset, Full, Partial, Unsupported, Inert };
// What one compatibility check found.
enum class CompatOutcome : std::uint8_t { Full, Partial, Unsupported };

// How each outcome of a rights check changes the support state.
[[nodiscard]] SupportState merge(SupportState state, CompatOutcome outcome) noexcept;

std::string_view to_string(SupportState state) noexcept;

// What `add_rule` did with a rule.
enum class RuleDisposition : std::uint8_t {
    Added,   // landlock_add_rule was called with `granted` and succeeded
    Dropped, // none of the rights is supported by the running kernel
    Inert,   // rights were kept but the ruleset is not live: no call was made
};

template <class Access> struct RuleOutcome {
    RuleDisposition disposition = RuleDisposition::Added;
    Access asked{};   // the rights of the rule as given
    Access granted{}; // the rights after every check (what the kernel got / would get)
    // Only for path rules: the parent is not a directory and directory-only
    // rights were removed.
    bool directory_rights_removed = false;
};

// A path-only descriptor (O_PATH | O_CLOEXEC) from the path walk, with its
// status.
class PathFd {
  public:
    // Takes a path-only descriptor opened elsewhere, whose status `st` the
    // caller already has (so adding the rule needs no second fstat).
    static PathFd adopt(UniqueFd fd, const StatResult& st) { return PathFd(std::move(fd), st); }

    [[nodiscard]] int get() const noexcept { return fd_.get(); }

  private:
    PathFd(UniqueFd fd, const StatResult& st) : fd_(std::move(fd)), st_(st) {}
    friend class RulesetCreated;
    UniqueFd fd_;
    StatResult st_;
};

struct PathBeneath {
    PathFd parent;
    AccessFs access;
};

struct NetPort {
    std::uint16_t port = 0;
    AccessNet access;
};

enum class Enforcement : std::uint8_t { Full, Partial, NotEnforced };

struct RestrictionStatus {
    Enforcement enforcement = Enforcement::NotEnforced;
    bool no_new_privs = false;
    KernelSupport support{};
    // The restriction was made with LANDLOCK_RESTRICT_SELF_LOG_NEW_EXEC_ON.
    bool log_new_exec = false;
};

// What `restrict_self` is asked for beyond the restriction itself.
struct RestrictOptions {
    // Log the denials of executed programs, when the kernel reports version 7
    // or more (ignored below).
    bool log_new_exec = false;
};

class RulesetCreated;

// A ruleset before its kernel object exists.
class Ruleset {
  public:
    // `Ruleset::new`: queries the kernel's support; state Unset, all sets empty.
    explicit Ruleset(Kernel& kernel);

    Expected<void, RulesetError> handle_access(AccessFs access);
    Expected<void, RulesetError> handle_access(AccessNet access);
    Expected<void, RulesetError> handle_access(Scope scope);
    // Consumes the ruleset.
    Expected<RulesetCreated, RulesetError> create() &&;

    [[nodiscard]] const KernelSupport& support() const noexcept { return support_; }
    [[nodiscard]] SupportState state() const noexcept { return state_; }
    [[nodiscard]] AccessFs requested_fs() const noexcept { return requested_fs_; }
    [[nodiscard]] AccessNet requested_net() const noexcept { return requested_net_; }
    [[nodiscard]] Scope requested_scope() const noexcept { return requested_scope_; }
    [[nodiscard]] AccessFs supported_fs() const noexcept { return supported_fs_; }
    [[nodiscard]] AccessNet supported_net() const noexcept { return supported_net_; }
    [[nodiscard]] Scope supported_scope() const noexcept { return supported_scope_; }

  private:
    Kernel* kernel_;
    KernelSupport support_;
    SupportState state_ = SupportState::Unset;
    AccessFs requested_fs_;
    AccessNet requested_net_;
    Scope requested_scope_;
    AccessFs supported_fs_;
    AccessNet supported_net_;
    Scope supported_scope_;
};

// A ruleset whose kernel object exists (or, when inert, never will). Owns the
// ruleset descriptor; discarding it closes the descriptor.
class RulesetCreated {
  public:
    // Each consumes the rule; the rule's PathFd is closed before returning.
    Expected<RuleOutcome<AccessFs>, RulesetError> add_rule(PathBeneath rule);
    Expected<RuleOutcome<AccessNet>, RulesetError> add_rule(NetPort rule);
    // Consumes the ruleset; its descriptor is closed on every outcome.
    Expected<RestrictionStatus, RulesetError> restrict_self(RestrictOptions options = {}) &&;

    [[nodiscard]] const KernelSupport& support() const noexcept { return support_; }
    [[nodiscard]] SupportState state() const noexcept { return state_; }
    [[nodiscard]] AccessFs requested_fs() const noexcept { return requested_fs_; }
    [[nodiscard]] AccessNet requested_net() const noexcept { return requested_net_; }
    // The rights told to the kernel as handled (zero when inert).
    [[nodiscard]] AccessFs handled_fs() const noexcept { return handled_fs_; }
    [[nodiscard]] AccessNet handled_net() const noexcept { return handled_net_; }
    [[nodiscard]] Scope handled_scope() const noexcept { return handled_scope_; }
    [[nodiscard]] int fd() const noexcept { return fd_.get(); }
    [[nodiscard]] bool no_new_privs() const noexcept { return no_new_privs_; }

  private:
    friend class Ruleset;
    RulesetCreated(Kernel& kernel, const Ruleset& from, SupportState state, UniqueFd fd,
                   AccessFs handled_fs, AccessNet handled_net, Scope handled_scope);

    Kernel* kernel_;
    KernelSupport support_;
    SupportState state_;
    AccessFs requested_fs_;
    AccessNet requested_net_;
    AccessFs handled_fs_;
    AccessNet handled_net_;
    Scope handled_scope_;
    UniqueFd fd_;
    bool no_new_privs_ = true;
};

} // namespace morvik::sandbox
