// The whole confinement of the launcher, in its fixed order: the Landlock
// policy (no-new-privileges, then the restriction), then, for a privileged
// launcher, the capability drop, then the system-call filter, last, right
// before the command is executed. Each step that fails stops the run.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "base/expected.hpp"
#include "base/os_error.hpp"
#include "profile/sandbox_profile.hpp"
#include "sandbox/capabilities.hpp"
#include "sandbox/kernel.hpp"
#include "sandbox/policy.hpp"

namespace morvik::sandbox {

// The system-call filter could not be installed.
struct FilterError {
    OsError source{};
};

class ConfineError {
  public:
    ConfineError(ApplyError e) : error_(std::move(e)) {}
    ConfineError(CapabilityError e) : error_(e) {}
    ConfineError(FilterError e) : error_(e) {}

    [[nodiscard]] const ApplyError* apply_error() const noexcept {
        return std::get_if<ApplyError>(&error_);
    }
    // The launcher's failure line without its line feed: "Failed to apply
    // Landlock rules: …", "Failed to drop capabilities: …" or "Failed to
    // install the system-call filter: …".
    [[nodiscard]] std::string line() const;

  private:
    std::variant<ApplyError, CapabilityError, FilterError> error_;
};

// Confines the calling thread for `profile`. `options.narrow_dev` is decided
// here (a privileged launcher without keep_capabilities) and the caller's
// value is ignored. The observer, if any, also hears the capability decision
// and the filter. `privilege_before`, when given, is the privilege read
// before the launcher entered a new user namespace: the decision, the
// narrowed /dev and the filter variant come from it, while whatever the
// thread holds now (a namespace's full set included) is dropped.
Expected<void, ConfineError> confine(const profile::SandboxProfile& profile, Kernel& kernel,
                                     PolicyOptions options = {},
                                     std::optional<Privilege> privilege_before = std::nullopt);

} // namespace morvik::sandbox
