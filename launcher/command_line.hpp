// The argument scan: finds the profile path and the command in argv.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/expected.hpp"

namespace morvik::launcher {

inline constexpr std::string_view kUsage =
    "Usage: morvik-sandbox --profile <profile.json> -- <command> [args...]";
inline constexpr std::string_view kNoCommand = "No command specified after --";

struct CommandLine {
    // The value after the first "--profile".
    const char* profile_path = nullptr;
    // Index into argv of the command word (the first argument after the
    // first "--"); the command runs argv[command_index .. end).
    std::size_t command_index = 0;
};

enum class ScanError {
    Usage,     // missing --profile or --, or -- not after the profile value
    NoCommand, // nothing follows --
};

// Scans `args` (argv including argv[0]). Only the first "--profile" and the
// first "--" count, each compared whole; everything else is ignored or left
// to the command.
[[nodiscard]] Expected<CommandLine, ScanError> scan_arguments(std::span<const char* const> args);

[[nodiscard]] std::string_view message(ScanError error) noexcept;

// "--help" or "--version" as the one argument after the program name: the
// text to print on standard output (usage and a short description, or
// "morvik-sandbox VERSION"), each line ending in a line feed. Nothing for
// every other argument list, which `scan_arguments` handles as usual.
[[nodiscard]] std::optional<std::string> information_text(std::span<const char* const> args);

} // namespace morvik::launcher
