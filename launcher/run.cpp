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
#include "base/write_all.hpp"
#include "launcher/command_line.hpp"
#include "launcher/exec.hpp"
#include "profile/parse_profile.hpp"
#include "profile/profile_file.hpp"
#include "sandbox/enforce.hpp"
#include "sandbox/plan.hpp"

namespace morvik::launcher {
namespace {

constexpr int kFailure = 1;

int fail(const std::string& line) {
    write_stderr_line(line);
    return kFailure;
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

    // Planning holds one descriptor per rule at once: the soft limit on open
    // files is raised to the hard one for it, and the caller's is given back
    // before the exec.
    const OpenFileLimit open_files;
    std::optional<sandbox::Plan> plan;
    try {
        auto planned = sandbox::plan(*profile, sandbox::read_host(kernel, profile->run_as), kernel);
        if (!planned) return fail(planned.error().line);
        plan = std::move(*planned);
        // The confinement ends with the system-call filter: from here on
        // only the warnings are written and the argument copies made.
        if (auto enforced = sandbox::enforce(*plan, kernel); !enforced)
            return fail(enforced.error());
    } catch (const std::bad_alloc&) {
        return fail("Failed to apply Landlock rules: " + OsError{ENOMEM}.to_string());
    }
    for (const std::string& warning : plan->warnings)
        write_stderr_line(warning);
    open_files.restore();

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
