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
    const std::size_t s = find_first(args, "--");
    if (s == kNotFound) return Unexpected(ScanError::Usage);
    const std::span<const char* const> options = args.first(s);
    bool value_missing = false;
    const auto value_of = [&](const char* option) -> const char* {
        const std::size_t p = find_first(options, option);
        if (p == kNotFound) return nullptr;
        if (p + 1 >= s) value_missing = true;
        return value_missing ? nullptr : args[p + 1];
    };
    CommandLine line{value_of("--profile"), value_of("--profile-fd"), value_of("--status-fd"),
                     s + 1};
    if (value_missing || (line.profile_path == nullptr) == (line.profile_fd == nullptr)) {
        return Unexpected(ScanError::Usage);
    }
    if (s + 1 == args.size()) return Unexpected(ScanError::NoCommand);
    return line;
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
           "  --profile FILE   read the profile from FILE\n"
           "  --profile-fd N   read the profile from inherited descriptor N, then close it\n"
           "  --status-fd N    write one JSON line to inherited descriptor N: confined, or\n"
           "                   failed with the stage and the failure line\n"
           "  --help           print this text\n"
           "  --version        print the version\n"
           "See morvik-sandbox(1) and morvik-sandbox-profile(5).\n";
}

std::string_view message(ScanError error) noexcept {
    return error == ScanError::NoCommand ? kNoCommand : kUsage;
}

} // namespace morvik::launcher
