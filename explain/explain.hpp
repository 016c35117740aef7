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
#include "profile/sandbox_profile.hpp"
#include "sandbox/access.hpp"
#include "sandbox/kernel.hpp"
#include "sandbox/plan.hpp"

namespace morvik::explain {

inline constexpr std::string_view kUsage = "Usage: morvik-sandbox-explain --profile <profile.json>";
// What "--help" prints after the usage line.
inline constexpr std::string_view kHelp =
    "Prints the rules that morvik-sandbox would enforce for the profile on this kernel,\n"
    "one per line, without confining anything.\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "See morvik-sandbox-explain(1).\n";

// The plan as text, one item per line, each ending in a line feed (the
// format is documented in explain/main.cpp). A plan that stopped
// (`finished` false) shows what was decided before the failure.
[[nodiscard]] std::string render(const sandbox::Plan& plan, const profile::SandboxProfile& profile,
                                 bool finished = true);

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
