#include "launcher/command_line.hpp"

#include <cstring>

#include "morvik_version.hpp"

namespace morvik::launcher {
namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

std::size_t find_first(std::span<const char* const> args, const char* word) noexcept {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != nullptr && std::strcmp(args[i], word) == 0) return i;
    }
    return kNotFound;
}

} // namespace

Expected<CommandLine, ScanError> scan_arguments(std::span<const char* const> args) {
    if (args.empty()) return Unexpected(ScanError::Usage);
    const std::size_t p = find_first(args, "--profile");
    const std::size_t s = find_first(args, "--");
    if (p == kNotFound || s == kNotFound) return Unexpected(ScanError::Usage);
    const std::size_t v = p + 1;
    if (v >= s) return Unexpected(ScanError::Usage);
    if (s + 1 == args.size()) return Unexpected(ScanError::NoCommand);
    return CommandLine{args[v], s + 1};
}

std::optional<std::string> information_text(std::span<const char* const> args) {
    if (args.size() != 2 || args[1] == nullptr) return std::nullopt;
    const std::string_view option = args[1];
    if (option == "--version") return "morvik-sandbox " + std::string(kVersion) + "\n";
    if (option != "--help") return std::nullopt;
    return std::string(kUsage) +
           "\n"
           "Runs <command> confined by Landlock to what the JSON profile grants; the command's\n"
           "exit status is the launcher's. A failure of the launcher itself is one line on\n"
           "standard error and exit status 1.\n"
           "  --help     print this text\n"
           "  --version  print the version\n"
           "See morvik-sandbox(1) and morvik-sandbox-profile(5).\n";
}

std::string_view message(ScanError error) noexcept {
    return error == ScanError::NoCommand ? kNoCommand : kUsage;
}

} // namespace morvik::launcher
