#include "launcher/run.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "base/os_error.hpp"
#include "launcher/command_line.hpp"
#include "launcher/exec.hpp"
#include "launcher/profile_file.hpp"
#include "profile/parse_profile.hpp"
#include "sandbox/policy.hpp"

namespace morvik::launcher {
namespace {

constexpr int kFailure = 1;

// Writes all of `text` to `fd`; the errno of the failing write, or 0.
int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

// Writes one line to standard error. Nothing is reported when that fails:
// there is nowhere left to report it.
void write_line(std::string line) {
    line += '\n';
    (void)write_all(2, line);
}

int fail(std::string line) {
    write_line(std::move(line));
    return kFailure;
}

} // namespace

int run(std::span<const char* const> args, sandbox::Kernel& kernel) {
    if (const auto info = information_text(args)) {
        if (const int error = write_all(1, *info); error != 0) {
            return fail("Failed to write output: " + OsError{error}.to_string());
        }
        return 0;
    }
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

    if (auto applied = sandbox::apply_landlock(*profile, kernel); !applied) {
        return fail("Failed to apply Landlock rules: " + applied.error().to_string());
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
