#include "sandbox/capabilities.hpp"

#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>

#include <cerrno>

namespace morvik::sandbox {

static_assert(kLockedSecureBits ==
              (SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
               SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED |
               SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED));

std::string CapabilityError::to_string() const {
    std::string text;
    switch (step) {
    case Step::Read:
        text = "failed to read the capability sets";
        break;
    case Step::SecureBits:
        text = "failed to lock the secure bits";
        break;
    case Step::Ambient:
        text = "failed to clear the ambient capabilities";
        break;
    case Step::Bounding:
        text = "failed to drop capability " + std::to_string(capability) + " from the bounding set";
        break;
    case Step::Clear:
        text = "failed to clear the capability sets";
        break;
    }
    return text + ": " + source.to_string();
}

Expected<Privilege, CapabilityError> read_privilege(Kernel& kernel) {
    if (kernel.getuid() == 0 || kernel.geteuid() == 0) return Privilege{true, true};
    const CapabilitySets sets = kernel.capget();
    if (sets.error != 0) {
        return Unexpected(CapabilityError{CapabilityError::Step::Read, 0, OsError{sets.error}});
    }
    return Privilege{sets.any(), (sets.effective & (std::uint64_t{1} << CAP_SETPCAP)) != 0};
}

Expected<void, CapabilityError> drop_capabilities(Kernel& kernel, const Privilege& privilege) {
    using Step = CapabilityError::Step;
    const auto failed = [](Step step, int error, int capability = 0) {
        return Unexpected(CapabilityError{step, capability, OsError{error}});
    };
    if (privilege.full_drop) {
        if (const SysResult r = kernel.prctl(PR_SET_SECUREBITS, kLockedSecureBits, 0, 0, 0);
            r.value != 0) {
            return failed(Step::SecureBits, r.error);
        }
    }
    if (const SysResult r = kernel.prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
        r.value != 0) {
        return failed(Step::Ambient, r.error);
    }
    // Capability numbers are dense from 0; the first one the kernel does not
    // know answers EINVAL.
    for (int cap = 0; privilege.full_drop && cap < 64; ++cap) {
        const SysResult r = kernel.prctl(PR_CAPBSET_DROP, static_cast<unsigned long>(cap), 0, 0, 0);
        if (r.value == 0) continue;
        if (r.error == EINVAL && cap > 0) break;
        return failed(Step::Bounding, r.error, cap);
    }
    if (const int error = kernel.capset(CapabilitySets{}); error != 0) {
        return failed(Step::Clear, error);
    }
    return {};
}

} // namespace morvik::sandbox
