// The explainer: shows the rule set the launcher would enforce for a profile
// on the running kernel, without confining anything.
//
// It runs the launcher's own policy (`sandbox::apply_landlock`) against a
// `DryRunKernel` wrapped around the given kernel, so the paths are really
// examined and opened and the kernel's Landlock version is really queried,
// while ruleset creation, rules, no-new-privileges and self-restriction are
// only recorded. A `PolicyObserver` collects what each step decided.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/expected.hpp"
#include "profile/sandbox_profile.hpp"
#include "sandbox/access.hpp"
#include "sandbox/confine.hpp"
#include "sandbox/dry_run_kernel.hpp"
#include "sandbox/kernel.hpp"
#include "sandbox/policy.hpp"
#include "sandbox/ruleset.hpp"

namespace morvik::explain {

inline constexpr std::string_view kUsage = "Usage: morvik-sandbox-explain --profile <profile.json>";
// What "--help" prints after the usage line.
inline constexpr std::string_view kHelp =
    "Prints the rules that morvik-sandbox would enforce for the profile on this kernel,\n"
    "one per line, without confining anything.\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "See morvik-sandbox-explain(1).\n";

// The ruleset as created: what the policy declared and what the running
// kernel would be told.
struct RulesetInfo {
    sandbox::KernelSupport support;
    sandbox::SupportState state = sandbox::SupportState::Unset;
    sandbox::AccessFs requested_fs;
    sandbox::AccessNet requested_net;
    sandbox::AccessFs handled_fs;
    sandbox::AccessNet handled_net;
    sandbox::Scope handled_scope;
};

// One examined path rule (the home rule included), copied from the policy's event.
struct PathItem {
    sandbox::RuleRow row = sandbox::RuleRow::Worktree;
    std::string path;
    sandbox::PathRuleStatus status = sandbox::PathRuleStatus::Absent;
    sandbox::AccessFs asked;   // the policy's rights for the rule
    sandbox::AccessFs granted; // after every reduction (Added / Dropped / Inert)
    bool directory_rights_removed = false;
    int stat_error = 0; // Absent
};

struct PortItem {
    std::uint16_t port = 0;
    sandbox::RuleOutcome<sandbox::AccessNet> outcome;
};

// Everything the policy reported, in the order it happened.
struct Explanation {
    std::optional<sandbox::PolicyRights> rights;
    std::optional<RulesetInfo> ruleset;
    std::vector<PathItem> paths;
    bool home_looked_up = false;
    std::optional<std::string> home;
    std::optional<PortItem> port;
    std::optional<sandbox::Enforcement> enforcement;
    bool log_new_exec = false; // restrict_self got the log flag
    // The profile's own settings, to say why a protection is off.
    bool log_denials_asked = false;
    std::optional<std::uint32_t> minimum_abi;
    std::optional<sandbox::CapabilityDecision> capabilities;
    std::optional<sandbox::SyscallFilter> filter;
    // Whether the profile names a proxy port (to say why no port rule exists).
    bool profile_has_port = false;
    // What the dry run recorded in place of the confining calls.
    std::vector<sandbox::DryRunKernel::Action> actions;
};

// The policy stopped with an error; `partial` holds what it did before.
struct ExplainError {
    sandbox::ConfineError error;
    Explanation partial;
};

struct ExplainOptions {
    std::string abi_version_path = sandbox::kAbiVersionPath;
};

// Runs the policy for `profile` in a dry run over `kernel`. Nothing is
// confined and nothing is written; every descriptor opened is closed again.
[[nodiscard]] Expected<Explanation, ExplainError> explain(const profile::SandboxProfile& profile,
                                                          sandbox::Kernel& kernel,
                                                          const ExplainOptions& options = {});

// The explanation as text, one item per line, each ending in a line feed
// (the format is documented in explain/main.cpp).
[[nodiscard]] std::string render(const Explanation& explanation);

// "Execute | ReadFile", or "none" for the empty set.
[[nodiscard]] std::string names(sandbox::AccessFs access);
[[nodiscard]] std::string names(sandbox::AccessNet access);

// `path` in double quotes, with '"' and '\\' backslash-escaped, control
// characters as \n, \t, \r or \xHH, and bytes that are not part of valid
// UTF-8 as \xHH, so that every path stays on its line and is recoverable.
[[nodiscard]] std::string quote_path(std::string_view path);

// What the program prints and its exit status.
struct Outcome {
    int status = 0;
    std::string out;
    std::string err;
};

// The whole program for `args` (argv including argv[0]): reads and parses
// the profile as the launcher does, with the same failure lines, and
// explains it. "--help" or "--version" alone gives its text in `out` and
// status 0. Nothing is written; the caller prints `out` and `err`.
[[nodiscard]] Outcome run(std::span<const char* const> args, sandbox::Kernel& kernel,
                          const ExplainOptions& options = {});

} // namespace morvik::explain
