// morvik-sandbox-explain: prints the rule set that morvik-sandbox would
// enforce for a profile on this kernel, without confining anything.
//
//   morvik-sandbox-explain [--json] --profile <profile.json>
//
// The profile is read and parsed exactly as the launcher does, and the
// launcher's own plan is made and shown, never enforced: the paths are
// really examined and opened, and the kernel's Landlock version is really
// queried. Relative paths resolve against the working directory, and
// HOME is read, as they would be for the launcher started from here.
//
// Output (standard output, one item per line, "KEY: VALUE", in this order):
//
//   abi version: N                 the version number the policy builds for
//   abi level: L                   1 to 6
//   kernel support: available N (level L) | disabled | missing
//   handled fs: RIGHTS             filesystem rights the kernel would handle
//   unsupported fs: RIGHTS         (only if some declared rights are not supported)
//   handled net: RIGHTS            or "none (network not handled below level 4)"
//   unsupported net: RIGHTS        (only if some declared rights are not supported)
//   unix sockets: connect only beneath ... | not confined (REASON)
//                                  Landlock version 9 confines connecting to
//                                  unix sockets outside programs listen on
//   udp: none (...) | not confined (REASON)
//                                  version 10 refuses UDP unless allow_udp
//   rule: ROW "PATH": RIGHTS [NOTES]     one per rule added, in the order added
//   skip: ROW "PATH": REASON             one per path that gets no rule
//   home: "PATH" | none            the home lookup, before the home rule (row "home")
//   port: N: RIGHTS | none (REASON)
//   enforcement: full | partial | not enforced
//   scopes: AbstractUnixSocket | Signal | none (REASON)
//   log denials: on | off (REASON)
//   minimum abi: N (the kernel reports V) | none (best effort)
//   capabilities: dropped (...) | kept (keep_capabilities) | none held
//   filter tcp: allowed (REASON) | refused (REASON)
//   filter udp: allowed (allow_udp) | refused (allow_udp not set)
//   filter: refuses ...            what the system-call filter always refuses
//   warning: MESSAGE               one per profile lint finding (explain/lint.hpp)
//
// RIGHTS are right names joined by " | ", lowest bit first, or "none". ROW
// is the profile key (worktree_path, git_dir, agent_config_dirs, tool_dirs,
// user_allowed_paths), "system" for the fixed directories, or "home". PATH is
// in double quotes, escaped as in the launcher's failure lines ('\' as \\,
// line feed and tab as \n and \t, other control characters, C1 included, and
// bytes that are not valid UTF-8 as \xHH) and '"' as \". A rule's NOTES are
// "(not a directory: removed RIGHTS)" and "(unsupported by the kernel:
// RIGHTS)". A skip's REASON is "absent: OS ERROR", "cannot be looked up: OS
// ERROR" (a path there but out of reach, where the launcher warns for a
// profile path), "not granted: WHY" (the home directory only, where the
// launcher warns) or "dropped: the kernel supports none of RIGHTS".
// "enforcement: not enforced" is where the launcher prints its warning.
// A minimum_landlock_abi the kernel does not meet ends the output with the
// launcher's failure line.
//
// With "--json" (before or after "--profile FILE") the plan and the lint's
// warnings are one JSON document on one line instead (explain/json.cpp,
// docs/explain.schema.json); when planning fails, a document with the
// launcher's failure line and the lint's warnings.
//
// "--help" or "--version" as the only argument prints the usage line and a
// short description, or "morvik-sandbox VERSION", with status 0.
//
// Exit status 0 on success. Every failure is one line on standard error and
// status 1: the usage line; "Failed to read profile PATH: REASON" and
// "Failed to parse profile: MESSAGE", as the launcher prints them; "Failed to
// apply Landlock rules: MESSAGE" (a path exists but cannot be opened), after
// the lines decided before the failure; "Failed to write output: REASON".
#include <sys/resource.h>

#include <span>
#include <string>
#include <string_view>

#include "base/os_error.hpp"
#include "base/process_start.hpp"
#include "base/write_all.hpp"
#include "explain/explain.hpp"
#include "sandbox/linux_kernel.hpp"

int main(int argc, char** argv) {
    if (!morvik::ensure_standard_descriptors()) return 1;
    // A closed pipe on standard output is a write error, not a silent death.
    (void)morvik::ignore_sigpipe();
    // The plan holds one descriptor per rule, as in the launcher, which
    // raises its soft limit on open files to the hard one for it.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &files);
    }
    const std::span<const char* const> args(const_cast<const char* const*>(argv),
                                            static_cast<std::size_t>(argc > 0 ? argc : 0));
    const morvik::explain::Outcome outcome =
        morvik::explain::run(args, morvik::sandbox::system_kernel());
    if (const int error = morvik::write_all(1, outcome.out); error != 0) {
        morvik::write_stderr_line("Failed to write output: " + morvik::OsError{error}.to_string());
        return 1;
    }
    (void)morvik::write_all(2, outcome.err);
    return outcome.status;
}
