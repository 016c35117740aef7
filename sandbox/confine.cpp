#include "sandbox/confine.hpp"

// GCC 12 with the sanitizers reports the string inside a moved nested variant
// (ConfineError > ApplyError > PathFdError) as maybe uninitialized on paths
// where that alternative is not the active one: a false positive.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace morvik::sandbox {

std::string ConfineError::line() const {
    struct Render {
        std::string operator()(const ApplyError& e) const {
            return "Failed to apply Landlock rules: " + e.to_string();
        }
        std::string operator()(const CapabilityError& e) const {
            return "Failed to drop capabilities: " + e.to_string();
        }
        std::string operator()(const FilterError& e) const {
            return "Failed to install the system-call filter: " + e.source.to_string();
        }
    };
    return std::visit(Render{}, error_);
}

Expected<void, ConfineError> confine(const profile::SandboxProfile& profile, Kernel& kernel,
                                     PolicyOptions options,
                                     std::optional<Privilege> privilege_before) {
    PolicyObserver* const observer = options.observer;
    Privilege held; // what the thread holds now
    if (!profile.keep_capabilities) {
        auto p = read_privilege(kernel);
        if (!p) return Unexpected(ConfineError(p.error()));
        held = *p;
    }
    const Privilege& decided = privilege_before ? *privilege_before : held;
    const bool privileged = decided.privileged;
    if (observer != nullptr) {
        observer->on_capabilities(
            CapabilityDecision{privileged, profile.keep_capabilities, decided.full_drop});
    }
    options.narrow_dev = privileged;

    auto landlock = apply_landlock(profile, kernel, options);
    if (!landlock) return Unexpected(ConfineError(std::move(landlock).error()));

    if (held.privileged) {
        if (auto dropped = drop_capabilities(kernel, held); !dropped) {
            return Unexpected(ConfineError(dropped.error()));
        }
    }

    const SyscallFilter filter = syscall_filter_for(profile, landlock->tcp_rules, privileged);
    if (observer != nullptr) observer->on_filter(filter);
    if (const int error = kernel.install_syscall_filter(filter); error != 0) {
        return Unexpected(ConfineError(FilterError{OsError{error}}));
    }
    return {};
}

} // namespace morvik::sandbox
