// The project's own Landlock numbers and records against the C library's
// system-call table and the kernel's documented layout, checked when this
// file compiles, for whatever architecture the tests are built for.
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>

#include "sandbox/landlock_abi.hpp"

namespace morvik::sandbox {
namespace {

// The numbers come from the generic system-call table, which x86-64 and
// aarch64 share for these calls; older C library headers may not know them.
#ifdef __NR_landlock_create_ruleset
static_assert(kSysLandlockCreateRuleset == __NR_landlock_create_ruleset);
static_assert(kSysLandlockAddRule == __NR_landlock_add_rule);
static_assert(kSysLandlockRestrictSelf == __NR_landlock_restrict_self);
#endif
static_assert(kPrSetNoNewPrivs == PR_SET_NO_NEW_PRIVS);
static_assert(kPrGetNoNewPrivs == PR_GET_NO_NEW_PRIVS);

// The records' field offsets as the kernel reads them: the path-beneath
// record is packed, the others are naturally aligned.
static_assert(offsetof(LandlockRulesetAttr, handled_access_net) == 8);
static_assert(offsetof(LandlockRulesetAttr, scoped) == 16);
static_assert(offsetof(LandlockPathBeneathAttr, parent_fd) == 8);
static_assert(alignof(LandlockPathBeneathAttr) == 1);
static_assert(offsetof(LandlockNetPortAttr, port) == 8);

} // namespace
} // namespace morvik::sandbox
