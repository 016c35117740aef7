#include "launcher/run.hpp"

#include <sys/resource.h>

#include <cerrno>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/escape.hpp"
#include "base/os_error.hpp"
#include "base/unique_fd.hpp"
#include "base/write_all.hpp"
#include "launcher/command_line.hpp"
#include "launcher/exec.hpp"
#include "launcher/status_fd.hpp"
#include "profile/parse_profile.hpp"
#include "profile/profile_file.hpp"
#include "sandbox/enforce.hpp"
#include "sandbox/network_namespace.hpp"
#include "sandbox/plan.hpp"
#include "sandbox/switch_user.hpp"

namespace morvik::launcher {
namespace {

constexpr int kFailure = 1;

int fail(const std::string& line) {
    write_stderr_line(line);
    return kFailure;
}

// What the status record says of a confinement that succeeded.
ConfinedStatus confined_status(const sandbox::Plan& plan, const profile::SandboxProfile& profile) {
    using sandbox::Enforcement;
    const bool enforced = plan.enforcement != Enforcement::NotEnforced;
    ConfinedStatus status;
    status.landlock_abi = enforced ? plan.version : 0;
    status.enforcement = plan.enforcement == Enforcement::Full      ? "full"
                         : plan.enforcement == Enforcement::Partial ? "partial"
                                                                    : "not_enforced";
    status.protections.emplace_back("no_new_privs");
    if (enforced) status.protections.emplace_back("landlock");
    if (enforced && plan.handled_net.contains(sandbox::AccessNet::ConnectTcp))
        status.protections.emplace_back("landlock_tcp");
    if (profile.run_as) status.protections.emplace_back("run_as");
    if (profile.isolate_network) status.protections.emplace_back("isolate_network");
    if (!profile.keep_capabilities) status.protections.emplace_back("no_capabilities");
    status.protections.emplace_back("seccomp");
    return status;
}

// The soft limit on open files, raised to the hard limit while it lives and
// given back by `restore` (or at the end).
class OpenFileLimit {
  public:
    OpenFileLimit() noexcept {
        if (::getrlimit(RLIMIT_NOFILE, &caller_) != 0 || caller_.rlim_cur == caller_.rlim_max)
            return;
        rlimit raised = caller_;
        raised.rlim_cur = raised.rlim_max;
        raised_ = ::setrlimit(RLIMIT_NOFILE, &raised) == 0;
    }
    OpenFileLimit(const OpenFileLimit&) = delete;
    OpenFileLimit& operator=(const OpenFileLimit&) = delete;
    ~OpenFileLimit() { restore(); }

    void restore() const noexcept {
        if (raised_) (void)::setrlimit(RLIMIT_NOFILE, &caller_);
    }

  private:
    rlimit caller_{};
    bool raised_ = false;
};

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

    // The descriptors are checked before anything is opened. The profile's
    // is closed once it has been read.
    UniqueFd profile_owner;
    std::optional<int> profile_fd;
    if (command_line->profile_fd != nullptr) {
        const auto fd = check_descriptor("--profile-fd", command_line->profile_fd, FdUse::Read);
        if (!fd) return fail(fd.error().line());
        profile_fd = *fd;
    } else {
        profile_fd = profile::inherited_descriptor(command_line->profile_path);
    }
    if (profile_fd && *profile_fd > 2) profile_owner.reset(*profile_fd);
    StatusFd status;
    if (command_line->status_fd != nullptr) {
        const auto fd = check_descriptor("--status-fd", command_line->status_fd, FdUse::Write,
                                         profile_fd.value_or(-1));
        if (!fd) return fail(fd.error().line());
        status = StatusFd(*fd);
    }
    // From here on every failure is also recorded on the status descriptor.
    // Its own failure to take the record adds nothing: the run ends with
    // status 1 and its one line either way.
    const auto fail_at = [&](Stage stage, const std::string& line) {
        write_stderr_line(line);
        (void)status.failed(stage, line);
        return kFailure;
    };

    // The profile is read and parsed in full, with the launcher's own rights,
    // before anything is confined.
    const std::string profile_name = command_line->profile_fd != nullptr
                                         ? "/dev/fd/" + std::to_string(*profile_fd)
                                         : escape_name(command_line->profile_path);
    const auto text = command_line->profile_fd != nullptr
                          ? profile::read_profile_fd(*profile_fd)
                          : profile::read_profile_file(command_line->profile_path);
    profile_owner.reset();
    if (!text) {
        return fail_at(Stage::Read,
                       "Failed to read profile " + profile_name + ": " + text.error().to_string());
    }
    // A profile that fits the read bound may still not fit in memory once
    // parsed: that ends the run with its one line like any other failure.
    std::optional<profile::SandboxProfile> profile;
    try {
        auto parsed = profile::parse_profile(*text);
        if (!parsed) {
            return fail_at(Stage::Parse, "Failed to parse profile: " + parsed.error().to_string());
        }
        profile = std::move(*parsed);
    } catch (const std::bad_alloc&) {
        return fail_at(Stage::Parse, "Failed to parse profile: " + OsError{ENOMEM}.to_string());
    }

    // Planning holds one descriptor per rule at once: the soft limit on open
    // files is raised to the hard one for it, and the caller's is given back
    // before the exec.
    const OpenFileLimit open_files;
    std::optional<sandbox::Plan> plan;
    try {
        auto planned = sandbox::plan(*profile, sandbox::read_host(kernel, profile->run_as), kernel);
        if (!planned) return fail_at(Stage::Confine, planned.error().line);
        plan = std::move(*planned);
        if (profile->run_as) {
            if (auto switched = sandbox::switch_user(kernel, *profile->run_as); !switched)
                return fail_at(Stage::Confine, switched.error());
        }
        if (profile->isolate_network) {
            if (auto isolated = sandbox::isolate_network(*profile, kernel); !isolated)
                return fail_at(Stage::Confine, isolated.error().line());
        }
        // The confinement ends with the system-call filter: from here on
        // only the warnings are written, the argument copies made and the
        // record written before the exec.
        if (auto enforced = sandbox::enforce(*plan, kernel); !enforced)
            return fail_at(Stage::Confine, enforced.error());
    } catch (const std::bad_alloc&) {
        return fail_at(Stage::Confine,
                       "Failed to apply Landlock rules: " + OsError{ENOMEM}.to_string());
    }
    for (const std::string& warning : plan->warnings)
        write_stderr_line(warning);
    open_files.restore();

    const std::span<const char* const> words = args.subspan(command_line->command_index);
    const std::string program = escape_name(words.front());
    const auto exec_failed = [&](const exec::Error& error) {
        return fail_at(Stage::Exec, "Failed to exec " + program + ": " + error.to_string());
    };
    std::optional<exec::Command> command;
    try {
        const std::vector<std::string_view> argv(words.begin(), words.end());
        auto prepared = exec::Command::prepare(argv.front(), argv);
        if (!prepared) return exec_failed(prepared.error());
        command = std::move(*prepared);
    } catch (const std::bad_alloc&) {
        return exec_failed(exec::Error::from_errno(ENOMEM));
    }
    if (const int error = status.confined(confined_status(*plan, *profile)); error != 0) {
        return fail(std::string(kStatusWriteFailed) + OsError{error}.to_string());
    }
    if (sigpipe != nullptr) sigpipe->restore();
    const exec::Error error = command->execvp();
    if (sigpipe != nullptr) SigpipeDisposition::ignore();
    return exec_failed(error);
}

} // namespace morvik::launcher
