#include "launcher/run.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "base/os_error.hpp"
#include "base/write_all.hpp"
#include "launcher/command_line.hpp"
#include "launcher/exec.hpp"
#include "profile/parse_profile.hpp"
#include "profile/profile_file.hpp"
#include "sandbox/confine.hpp"

namespace morvik::launcher {
namespace {

constexpr int kFailure = 1;

int fail(const std::string& line) {
    write_stderr_line(line);
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
    const auto text = profile::read_profile_file(profile_path);
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
