// The explainer: shows the rule set the launcher would enforce for a profile
// on the running kernel, without confining anything.
//
// It makes the launcher's own plan (`sandbox::plan`: the paths are really
// examined and opened, the kernel's Landlock version really queried) and
// renders it; nothing is enforced.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/expected.hpp"
#include "explain/lint.hpp"
#include "profile/sandbox_profile.hpp"
#include "sandbox/access.hpp"
#include "sandbox/kernel.hpp"
#include "sandbox/plan.hpp"

namespace morvik::explain {

inline constexpr std::string_view kUsage =
    "Usage: morvik-sandbox-explain [--json] --profile <profile.json>";
// What "--help" prints after the usage line.
inline constexpr std::string_view kHelp =
    "Prints the rules that morvik-sandbox would enforce for the profile on this kernel,\n"
    "one per line, without confining anything.\n"
    "  --json     print them as one JSON document (explain.schema.json)\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "See morvik-sandbox-explain(1).\n";

// The plan as text, one item per line, each ending in a line feed (the
// format is documented in explain/main.cpp). A plan that stopped
// (`finished` false) shows what was decided before the failure.
[[nodiscard]] std::string render(const sandbox::Plan& plan, const profile::SandboxProfile& profile,
                                 bool finished = true);

// An outcome in the words both outputs use: a verdict and, where it tells
// more, why.
struct Verdict {
    std::string_view verdict;
    std::string reason;
};

// A path rule: "added"; "absent" or "lookup_failed" (the OS error: not
// there, or there but out of reach), "not_granted" (why the home directory
// is unfit) or "dropped" (the kernel supports none of the rights).
[[nodiscard]] Verdict rule_verdict(const sandbox::Rule& rule);
// The rights a rule asks for that fit its type: only the file rights for a
// file.
[[nodiscard]] sandbox::AccessFs typed_rights(const sandbox::Rule& rule);
// The port rule: "added", "dropped" or "none", with why for the last two.
[[nodiscard]] Verdict port_verdict(const sandbox::Plan& plan);
// Connecting to unix sockets (version 9) and UDP (version 10): "confined" or
// "not_confined", and why.
[[nodiscard]] Verdict unix_socket_verdict(const sandbox::Plan& plan);
[[nodiscard]] Verdict udp_verdict(const sandbox::Plan& plan,
                                  const profile::SandboxProfile& profile);

// The plan as one JSON document on one line, ending in a line feed (its shape
// is docs/explain.schema.json), with the launcher's warnings and the lint's.
[[nodiscard]] std::string render_json(const sandbox::Plan& plan,
                                      const profile::SandboxProfile& profile,
                                      std::span<const LintWarning> lint);
// In place of the plan when planning failed: the launcher's failure line and
// the lint's warnings.
[[nodiscard]] std::string render_json_failure(std::string_view line,
                                              std::span<const LintWarning> lint);

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
// the profile as the launcher does, with the same failure lines, plans it
// and renders the plan. "--help" or "--version" alone gives its text in `out` and
// status 0. Nothing is written; the caller prints `out` and `err`.
[[nodiscard]] Outcome run(std::span<const char* const> args, sandbox::Kernel& kernel);

} // namespace morvik::explain
