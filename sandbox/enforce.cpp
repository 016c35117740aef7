#include "sandbox/enforce.hpp"

#include <linux/securebits.h>
#include <sys/prctl.h>

#include <cerrno>

#include "base/os_error.hpp"
#include "sandbox/landlock_abi.hpp"

namespace morvik::sandbox {
namespace {

static_assert(kLockedSecureBits ==
              (SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
               SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED |
               SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED));

Unexpected<std::string> landlock_failed(const char* what, int error) {
    return Unexpected("Failed to apply Landlock rules: " + std::string(what) +
                      OsError{error}.to_string());
}

Unexpected<std::string> drop_failed(const std::string& what, int error) {
    return Unexpected("Failed to drop capabilities: " + what + ": " + OsError{error}.to_string());
}

// For a full drop: locks the secure bits, clears the ambient set, drops
// every capability the kernel knows from the bounding set (until it answers
// EINVAL), then clears the effective, permitted and inheritable sets (the
// bounding set needs CAP_SETPCAP, which the last step removes). Otherwise
// clears the ambient set, then the three sets: no-new-privileges already
// keeps the exec from gaining any.
Expected<void, std::string> drop_capabilities(Kernel& kernel, bool full) {
    if (full) {
        if (const SysResult r = kernel.prctl(PR_SET_SECUREBITS, kLockedSecureBits, 0, 0, 0);
            r.value != 0) {
            return drop_failed("failed to lock the secure bits", r.error);
        }
    }
    if (const SysResult r = kernel.prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
        r.value != 0) {
        return drop_failed("failed to clear the ambient capabilities", r.error);
    }
    // Capability numbers are dense from 0; the first one the kernel does not
    // know answers EINVAL.
    for (int cap = 0; full && cap < 64; ++cap) {
        const SysResult r = kernel.prctl(PR_CAPBSET_DROP, static_cast<unsigned long>(cap), 0, 0, 0);
        if (r.value == 0) continue;
        if (r.error == EINVAL && cap > 0) break;
        return drop_failed(
            "failed to drop capability " + std::to_string(cap) + " from the bounding set", r.error);
    }
    if (const int error = kernel.capset(CapabilitySets{}); error != 0)
        return drop_failed("failed to clear the capability sets", error);
    return {};
}

} // namespace

Expected<void, std::string> enforce(Plan& plan, Kernel& kernel) {
    // Without a handled right the kernel has no Landlock: no ruleset, only
    // no-new-privileges.
    const bool live = !plan.handled_fs.empty();
    UniqueFd ruleset;
    if (live) {
        LandlockRulesetAttr attr;
        attr.handled_access_fs = plan.handled_fs.bits();
        attr.handled_access_net = plan.handled_net.bits();
        attr.scoped = plan.handled_scope.bits();
        const SysResult r = kernel.landlock_create_ruleset(&attr, sizeof attr, 0);
        if (r.value < 0) return landlock_failed("failed to create a ruleset: ", r.error);
        ruleset = UniqueFd(kernel, static_cast<int>(r.value));
    }
    for (Rule& rule : plan.rules) {
        const UniqueFd fd = std::move(rule.fd); // closed once its rule is added
        if (!live || !fd.valid() || rule.granted.empty()) continue;
        LandlockPathBeneathAttr attr;
        attr.allowed_access = rule.granted.bits();
        attr.parent_fd = fd.get();
        const SysResult r =
            kernel.landlock_add_rule(ruleset.get(), kLandlockRulePathBeneath, &attr, 0);
        if (r.value != 0) return landlock_failed("failed to add a rule: ", r.error);
    }
    if (live && plan.port && !plan.port_granted.empty()) {
        LandlockNetPortAttr attr;
        attr.allowed_access = plan.port_granted.bits();
        attr.port = *plan.port;
        const SysResult r = kernel.landlock_add_rule(ruleset.get(), kLandlockRuleNetPort, &attr, 0);
        if (r.value != 0) return landlock_failed("failed to add a rule: ", r.error);
    }

    if (const SysResult set = kernel.prctl(kPrSetNoNewPrivs, 1, 0, 0, 0); set.value < 0) {
        // A kernel that knows the flag (or has Landlock) must set it; one
        // that knows neither is left as it is.
        const SysResult get = kernel.prctl(kPrGetNoNewPrivs, 0, 0, 0, 0);
        if (get.value == 0 || get.value == 1 || live)
            return landlock_failed("failed to set no_new_privs: ", set.error);
    }
    if (live) {
        const SysResult r = kernel.landlock_restrict_self(ruleset.get(), plan.restrict_flags);
        if (r.value != 0)
            return landlock_failed("failed to restrict the calling thread: ", r.error);
        ruleset.reset();
    }

    if (plan.drop_capabilities) {
        if (auto r = drop_capabilities(kernel, plan.full_drop); !r) return r;
    }
    if (const int error = kernel.install_syscall_filter(plan.filter); error != 0) {
        return Unexpected("Failed to install the system-call filter: " +
                          OsError{error}.to_string());
    }
    return {};
}

} // namespace morvik::sandbox
