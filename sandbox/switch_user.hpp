// Running the command as the profile's run_as user: a launcher with uid 0, or
// with CAP_SETUID and CAP_SETGID, takes on the target ids for good before the
// confinement is enforced.
#pragma once

#include <string>

#include "base/expected.hpp"
#include "profile/sandbox_profile.hpp"
#include "sandbox/kernel.hpp"

namespace morvik::sandbox {

// Makes `ids` the real, effective and saved uid and gid, with no
// supplementary groups. A launcher whose three uids and three gids already
// are these changes nothing. Otherwise, in this order: the ambient set is
// cleared and, with CAP_SETPCAP, every capability leaves the bounding set
// (after the switch nothing could drop them); setgroups(0, NULL);
// setresgid(G, G, G); setresuid(U, U, U); the inheritable set is cleared. The
// secure bits are left alone: NO_SETUID_FIXUP would keep the capabilities
// across the change of uid.
//
// Then the switch is checked: getresuid, getresgid and getgroups must show
// the target alone, and a launcher that held uid 0 and now runs as another uid
// must hold no capability (a saved uid 0 or a kept CAP_SETUID would let the
// command become uid 0 again). A launcher that held no uid 0 but CAP_SETUID
// and CAP_SETGID keeps its capabilities: the capability drop that follows
// removes them.
//
// The capability calls go through `kernel`; the id calls are made directly
// (the seam has none): they change the whole process for good, and only a
// real kernel can show that they did.
//
// The error is the launcher's whole failure line, "Failed to switch user: "
// followed by the step and the reason.
[[nodiscard]] Expected<void, std::string> switch_user(Kernel& kernel, const profile::RunAs& ids);

} // namespace morvik::sandbox
