#include "launcher/run.hpp"

#include <cerrno>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/escape.hpp"
#include "base/os_error.hpp"
#include "base/write_all.hpp"
#include "launcher/command_line.hpp"
#include "launcher/exec.hpp"
#include "profile/parse_profile.hpp"
#include "profile/profile_file.hpp"
#include "sandbox/confine.hpp"
#include "sandbox/network_namespace.hpp"

namespace morvik::launcher {
namespace {

constexpr int kFailure = 1;

int fail(const std::string& line) {
    write_stderr_line(line);
    return kFailure;
}

} // namespace

int run(std::span<const char* const> args, sandbox::Kernel& kernel,
        const SigpipeDisposition* sigpipe) {
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
        return fail("Failed to read profile " + escape_name(profile_path) + ": " +
                    text.error().to_string());
    }
    // A profile that fits the read bound may still not fit in memory once
    // parsed: that ends the run with its one line like any other failure.
    std::optional<profile::SandboxProfile> profile;
    try {
        auto parsed = profile::parse_profile(*text);
        if (!parsed) return fail("Failed to parse profile: " + parsed.error().to_string());
        profile = std::move(*parsed);
    } catch (const std::bad_alloc&) {
        return fail("Failed to parse profile: " + OsError{ENOMEM}.to_string());
    }

    // The privilege read before a namespace is entered decides the rest.
    std::optional<sandbox::Privilege> privilege_before;
    if (profile->isolate_network) {
        auto isolated = sandbox::isolate_network(*profile, kernel);
        if (!isolated) return fail(isolated.error().line());
        privilege_before = isolated->privilege;
    }

    // The confinement ends with the system-call filter: from here on only
    // the argument copies are made before the exec.
    try {
        if (auto confined = sandbox::confine(*profile, kernel, {}, privilege_before); !confined) {
            return fail(confined.error().line());
        }
    } catch (const std::bad_alloc&) {
        return fail("Failed to apply Landlock rules: " + OsError{ENOMEM}.to_string());
    }

    const std::span<const char* const> command = args.subspan(command_line->command_index);
    std::vector<std::string_view> argv;
    argv.reserve(command.size());
    for (const char* arg : command)
        argv.emplace_back(arg);
    if (sigpipe != nullptr) sigpipe->restore();
    const exec::Error error = exec::execvp(argv.front(), argv);
    if (sigpipe != nullptr) SigpipeDisposition::ignore();
    return fail("Failed to exec " + escape_name(argv.front()) + ": " + error.to_string());
}

} // namespace morvik::launcher
