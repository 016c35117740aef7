#include "sandbox/switch_user.hpp"

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

#include "base/os_error.hpp"

namespace morvik::sandbox {
namespace {

Unexpected<std::string> failed(const std::string& what) {
    return Unexpected("Failed to switch user: " + what);
}

Unexpected<std::string> failed(const std::string& step, int error) {
    return failed(step + ": " + OsError{error}.to_string());
}

template <class Id> bool all(const Id (&three)[3], Id id) {
    return three[0] == id && three[1] == id && three[2] == id;
}

} // namespace

Expected<void, std::string> switch_user(Kernel& kernel, const profile::RunAs& ids) {
    const uid_t uid = ids.uid;
    const gid_t gid = ids.gid;
    uid_t uids[3];
    gid_t gids[3];
    if (::getresuid(&uids[0], &uids[1], &uids[2]) != 0) return failed("getresuid", errno);
    if (::getresgid(&gids[0], &gids[1], &gids[2]) != 0) return failed("getresgid", errno);
    if (all(uids, uid) && all(gids, gid)) return {};
    const bool held_root = uids[0] == 0 || uids[1] == 0 || uids[2] == 0;

    CapabilitySets sets = kernel.capget();
    if (sets.error != 0) return failed("capget", sets.error);
    const auto holds = [&](int cap) { return ((sets.effective >> cap) & 1) != 0; };
    if (!holds(CAP_SETUID) || !holds(CAP_SETGID)) {
        return failed("the launcher runs as uid " + std::to_string(uids[1]) +
                      " without CAP_SETUID and CAP_SETGID");
    }
    if (const SysResult r = kernel.prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
        r.value != 0) {
        return failed("clearing the ambient capabilities", r.error);
    }
    // Capability numbers are dense from 0; the first one the kernel does not
    // know answers EINVAL.
    for (int cap = 0; holds(CAP_SETPCAP) && cap < 64; ++cap) {
        const SysResult r = kernel.prctl(PR_CAPBSET_DROP, static_cast<unsigned long>(cap), 0, 0, 0);
        if (r.value == 0) continue;
        if (r.error == EINVAL && cap > 0) break;
        return failed("dropping capability " + std::to_string(cap) + " from the bounding set",
                      r.error);
    }
    if (::setgroups(0, nullptr) != 0) return failed("setgroups", errno);
    if (::setresgid(gid, gid, gid) != 0) return failed("setresgid " + std::to_string(gid), errno);
    if (::setresuid(uid, uid, uid) != 0) return failed("setresuid " + std::to_string(uid), errno);
    sets = kernel.capget();
    sets.inheritable = 0;
    if (const int error = sets.error != 0 ? sets.error : kernel.capset(sets); error != 0)
        return failed("clearing the inheritable capabilities", error);

    // What the kernel was asked to leave, read back.
    if (::getresuid(&uids[0], &uids[1], &uids[2]) != 0 || !all(uids, uid))
        return failed("the uids did not all become " + std::to_string(uid));
    if (::getresgid(&gids[0], &gids[1], &gids[2]) != 0 || !all(gids, gid))
        return failed("the gids did not all become " + std::to_string(gid));
    if (::getgroups(0, nullptr) != 0) return failed("supplementary groups remain");
    sets = kernel.capget();
    if (sets.error != 0 || sets.inheritable != 0 ||
        (held_root && uid != 0 && (sets.effective | sets.permitted) != 0))
        return failed("capabilities remain after the change of uid");
    return {};
}

} // namespace morvik::sandbox
