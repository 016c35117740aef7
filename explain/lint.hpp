// Profile lint: mistakes the launcher accepts in silence, shown by the
// explainer as warnings. Nothing here changes what the launcher does.
//
// What is reported (the unknown keys first, then each listed path in the
// profile's order):
//   unknown_key       a top-level key the reader dropped, with the nearest
//                     known key when one is close (a typo);
//   root              a writable path (worktree_path, git_dir,
//                     agent_config_dirs) that is the root directory;
//   home              a writable path that is the home directory or holds it;
//   system_directory  a writable path that is, or lies beneath, one of
//                     kSystemTrees, or that is one of kSystemDirs;
//   tmp_worktree      a work tree in /tmp, which every run may write;
//   absent            a listed path that does not exist (ENOENT, ENOTDIR);
//                     an empty path, which names nothing on purpose, is not.
// Paths are compared by device and inode, walking up with "..", after
// following every link, so a relative path, a ".." or a link to "/" is
// recognised as what it leads to.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "profile/sandbox_profile.hpp"
#include "sandbox/kernel.hpp"

namespace morvik::explain {

// The system's programs, libraries, configuration, kernel interfaces,
// devices and runtime sockets: no writable path belongs at or beneath them.
inline constexpr std::string_view kSystemTrees[] = {
    "/usr", "/bin",  "/sbin", "/lib",  "/lib32", "/lib64", "/libx32",
    "/etc", "/boot", "/sys",  "/proc", "/dev",   "/run",
};
// Directories whose subdirectories may well be someone's work place, but
// which are never one as a whole.
inline constexpr std::string_view kSystemDirs[] = {
    "/var", "/home", "/root", "/opt", "/srv", "/mnt", "/media",
};

struct LintWarning {
    std::string_view kind;           // as listed above
    std::string key;                 // the profile key concerned (the unknown key itself)
    std::optional<std::string> path; // the path as the profile writes it; none for a key
    std::string message;             // one line, without a line feed
};

// The key of `known` nearest to `key` by edit distance (a swap of two
// neighbours counts as one edit), when it is close enough to be a typo.
[[nodiscard]] std::optional<std::string_view> nearest_key(std::string_view key,
                                                          std::span<const std::string_view> known);

// Checks `profile`, whose reading dropped `unknown_keys`, for the command
// whose home directory is `home`. Paths are resolved through `kernel`; every
// descriptor opened is closed again.
[[nodiscard]] std::vector<LintWarning> lint(const profile::SandboxProfile& profile,
                                            std::span<const std::string> unknown_keys,
                                            const std::optional<std::string>& home,
                                            sandbox::Kernel& kernel);

} // namespace morvik::explain
