// The argument scan: finds the profile, the status descriptor and the
// command in argv.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/expected.hpp"

namespace morvik::launcher {

inline constexpr std::string_view kUsage =
    "Usage: morvik-sandbox {--profile <profile.json> | --profile-fd <fd>} [--status-fd <fd>] -- "
    "<command> [args...]";
inline constexpr std::string_view kNoCommand = "No command specified after --";

struct CommandLine {
    // The value after the first "--profile", or null when the profile comes
    // through "--profile-fd".
    const char* profile_path = nullptr;
    // The value after the first "--profile-fd", or null.
    const char* profile_fd = nullptr;
    // The value after the first "--status-fd", or null when there is none.
    const char* status_fd = nullptr;
    // Index into argv of the command word (the first argument after the
    // first "--"); the command runs argv[command_index .. end).
    std::size_t command_index = 0;
};

enum class ScanError {
    Usage,     // no profile option or --, both profile options, or a value not before --
    NoCommand, // nothing follows --
};

// Scans `args` (argv including argv[0]). Options count only before the first
// "--", each compared whole, the first of each name with the argument after
// it as its value, which must also come before "--". Everything else before
// "--" is ignored; everything after it is the command's.
[[nodiscard]] Expected<CommandLine, ScanError> scan_arguments(std::span<const char* const> args);

[[nodiscard]] std::string_view message(ScanError error) noexcept;

// "--help" or "--version" as the one argument after the program name: the
// text to print on standard output (usage and a short description, or
// "morvik-sandbox VERSION"), each line ending in a line feed. Nothing for
// every other argument list, which `scan_arguments` handles as usual.
[[nodiscard]] std::optional<std::string> information_text(std::span<const char* const> args);

} // namespace morvik::launcher
