#include "launcher/run.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/command_line.hpp"
#include "launcher/exec.hpp"
#include "launcher/profile_file.hpp"
#include "profile/parse_profile.hpp"
#include "sandbox/confine.hpp"

namespace morvik::launcher {
namespace {

constexpr int kFailure = 1;

// Writes one line to standard error. Nothing is reported when that fails:
// there is nowhere left to report it.
void write_line(std::string line) {
    line += '\n';
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t n = ::write(2, rest.data(), rest.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

int fail(std::string line) {
    write_line(std::move(line));
    return kFailure;
}

} // namespace

int run(std::span<const char* const> args, sandbox::Kernel& kernel) {
    const auto command_line = scan_arguments(args);
    if (!command_line) return fail(std::string(message(command_line.error())));

    // The profile is read and parsed in full, with the launcher's own rights,
    // before anything is confined.
    const char* profile_path = command_line->profile_path;
    const auto text = read_profile_file(profile_path);
    if (!text) {
        return fail("Failed to read profile " + std::string(profile_path) + ": " +
                    text.error().to_string());
    }
    const auto profile = profile::parse_profile(*text);
    if (!profile) return fail("Failed to parse profile: " + profile.error().to_string());

    // The confinement ends with the system-call filter: from here on only
    // the argument copies are made before the exec.
    if (auto confined = sandbox::confine(*profile, kernel); !confined) {
        return fail(confined.error().line());
    }

    const std::span<const char* const> command = args.subspan(command_line->command_index);
    std::vector<std::string_view> argv;
    argv.reserve(command.size());
    for (const char* arg : command)
        argv.emplace_back(arg);
    const exec::Error error = exec::execvp(argv.front(), argv);
    return fail("Failed to exec " + std::string(argv.front()) + ": " + error.to_string());
}

} // namespace morvik::launcher
