// Compiled against the kernel's newest UAPI headers (<linux/landlock.h> of
// Debian sid's linux-libc-dev) placed ahead of the system's: every Landlock
// value and record layout this project defines must be the kernel's own.
// Compiling is the check; nothing runs.
#include <asm/unistd.h>
#include <linux/landlock.h>
#include <linux/prctl.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "sandbox/access.hpp"
#include "sandbox/landlock_abi.hpp"

namespace {

using namespace morvik::sandbox;

// System calls (the same numbers on every architecture the headers are
// compiled for), flags, rule types and prctl options.
static_assert(kSysLandlockCreateRuleset == __NR_landlock_create_ruleset);
static_assert(kSysLandlockAddRule == __NR_landlock_add_rule);
static_assert(kSysLandlockRestrictSelf == __NR_landlock_restrict_self);
static_assert(kLandlockCreateRulesetVersion == LANDLOCK_CREATE_RULESET_VERSION);
static_assert(kLandlockRestrictSelfLogNewExecOn == LANDLOCK_RESTRICT_SELF_LOG_NEW_EXEC_ON);
static_assert(kLandlockRulePathBeneath == LANDLOCK_RULE_PATH_BENEATH);
static_assert(kLandlockRuleNetPort == LANDLOCK_RULE_NET_PORT);
static_assert(kPrSetNoNewPrivs == PR_SET_NO_NEW_PRIVS);
static_assert(kPrGetNoNewPrivs == PR_GET_NO_NEW_PRIVS);

// The kernel's single-bit `value` is the project's right `name`.
template <class Access> constexpr bool named(std::uint64_t value, std::string_view name) {
    return std::has_single_bit(value) && Access::kNames[std::countr_zero(value)] == name;
}
template <class Access> constexpr bool same(std::uint64_t value, Access right) {
    return right.bits() == value;
}

static_assert(same(LANDLOCK_ACCESS_FS_EXECUTE, AccessFs::Execute));
static_assert(same(LANDLOCK_ACCESS_FS_WRITE_FILE, AccessFs::WriteFile));
static_assert(same(LANDLOCK_ACCESS_FS_READ_FILE, AccessFs::ReadFile));
static_assert(same(LANDLOCK_ACCESS_FS_READ_DIR, AccessFs::ReadDir));
static_assert(same(LANDLOCK_ACCESS_FS_REMOVE_DIR, AccessFs::RemoveDir));
static_assert(same(LANDLOCK_ACCESS_FS_REMOVE_FILE, AccessFs::RemoveFile));
static_assert(same(LANDLOCK_ACCESS_FS_MAKE_CHAR, AccessFs::MakeChar));
static_assert(same(LANDLOCK_ACCESS_FS_MAKE_DIR, AccessFs::MakeDir));
static_assert(same(LANDLOCK_ACCESS_FS_MAKE_REG, AccessFs::MakeReg));
static_assert(same(LANDLOCK_ACCESS_FS_MAKE_SOCK, AccessFs::MakeSock));
static_assert(same(LANDLOCK_ACCESS_FS_MAKE_FIFO, AccessFs::MakeFifo));
static_assert(same(LANDLOCK_ACCESS_FS_MAKE_BLOCK, AccessFs::MakeBlock));
static_assert(same(LANDLOCK_ACCESS_FS_MAKE_SYM, AccessFs::MakeSym));
static_assert(same(LANDLOCK_ACCESS_FS_REFER, AccessFs::Refer));
static_assert(same(LANDLOCK_ACCESS_FS_TRUNCATE, AccessFs::Truncate));
static_assert(same(LANDLOCK_ACCESS_FS_IOCTL_DEV, AccessFs::IoctlDev));
static_assert(same(LANDLOCK_ACCESS_FS_RESOLVE_UNIX, AccessFs::ResolveUnix));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_EXECUTE, "Execute"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_WRITE_FILE, "WriteFile"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_READ_FILE, "ReadFile"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_READ_DIR, "ReadDir"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_REMOVE_DIR, "RemoveDir"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_REMOVE_FILE, "RemoveFile"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_MAKE_CHAR, "MakeChar"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_MAKE_DIR, "MakeDir"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_MAKE_REG, "MakeReg"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_MAKE_SOCK, "MakeSock"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_MAKE_FIFO, "MakeFifo"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_MAKE_BLOCK, "MakeBlock"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_MAKE_SYM, "MakeSym"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_REFER, "Refer"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_TRUNCATE, "Truncate"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_IOCTL_DEV, "IoctlDev"));
static_assert(named<AccessFs>(LANDLOCK_ACCESS_FS_RESOLVE_UNIX, "ResolveUnix"));

// The newest version's set is exactly the kernel's rights, one name each.
inline constexpr std::uint64_t kKernelFs =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
    LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
    LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
    LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER | LANDLOCK_ACCESS_FS_TRUNCATE |
    LANDLOCK_ACCESS_FS_IOCTL_DEV | LANDLOCK_ACCESS_FS_RESOLVE_UNIX;
static_assert(AccessFs::from_version(10).bits() == kKernelFs);
static_assert(AccessFs::kNames.size() == static_cast<std::size_t>(std::popcount(kKernelFs)));
// The rights the header lists as applying to files.
static_assert(AccessFs::kFileRights.bits() ==
              (LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
               LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
               LANDLOCK_ACCESS_FS_IOCTL_DEV | LANDLOCK_ACCESS_FS_RESOLVE_UNIX));

static_assert(same(LANDLOCK_ACCESS_NET_BIND_TCP, AccessNet::BindTcp));
static_assert(same(LANDLOCK_ACCESS_NET_CONNECT_TCP, AccessNet::ConnectTcp));
static_assert(same(LANDLOCK_ACCESS_NET_BIND_UDP, AccessNet::BindUdp));
static_assert(same(LANDLOCK_ACCESS_NET_CONNECT_SEND_UDP, AccessNet::ConnectSendUdp));
static_assert(named<AccessNet>(LANDLOCK_ACCESS_NET_BIND_TCP, "BindTcp"));
static_assert(named<AccessNet>(LANDLOCK_ACCESS_NET_CONNECT_TCP, "ConnectTcp"));
static_assert(named<AccessNet>(LANDLOCK_ACCESS_NET_BIND_UDP, "BindUdp"));
static_assert(named<AccessNet>(LANDLOCK_ACCESS_NET_CONNECT_SEND_UDP, "ConnectSendUdp"));
inline constexpr std::uint64_t kKernelNet =
    LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP | LANDLOCK_ACCESS_NET_BIND_UDP |
    LANDLOCK_ACCESS_NET_CONNECT_SEND_UDP;
static_assert(AccessNet::from_version(10).bits() == kKernelNet);
static_assert(AccessNet::kNames.size() == static_cast<std::size_t>(std::popcount(kKernelNet)));

static_assert(named<Scope>(LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET, "AbstractUnixSocket"));
static_assert(named<Scope>(LANDLOCK_SCOPE_SIGNAL, "Signal"));
static_assert(Scope::from_version(10).bits() ==
              (LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL));

// Records: each field at the kernel's offset, with the kernel's width and
// signedness.
#define MORVIK_SAME_FIELD(ours, theirs, field)                                                     \
    static_assert(offsetof(ours, field) == offsetof(theirs, field));                               \
    static_assert(sizeof(ours::field) == sizeof(theirs::field));                                   \
    static_assert(std::is_signed_v<decltype(ours::field)> ==                                       \
                  std::is_signed_v<decltype(theirs::field)>)

MORVIK_SAME_FIELD(LandlockRulesetAttr, landlock_ruleset_attr, handled_access_fs);
MORVIK_SAME_FIELD(LandlockRulesetAttr, landlock_ruleset_attr, handled_access_net);
MORVIK_SAME_FIELD(LandlockRulesetAttr, landlock_ruleset_attr, scoped);
// The kernel's record is longer; the project passes its own size, which the
// kernel accepts because the project's fields are the kernel's first ones.
static_assert(sizeof(LandlockRulesetAttr) == 24);
static_assert(sizeof(LandlockRulesetAttr) ==
              offsetof(landlock_ruleset_attr, scoped) + sizeof(landlock_ruleset_attr::scoped));
static_assert(sizeof(LandlockRulesetAttr) <= sizeof(landlock_ruleset_attr));
static_assert(alignof(LandlockRulesetAttr) == alignof(landlock_ruleset_attr));

MORVIK_SAME_FIELD(LandlockPathBeneathAttr, landlock_path_beneath_attr, allowed_access);
MORVIK_SAME_FIELD(LandlockPathBeneathAttr, landlock_path_beneath_attr, parent_fd);
static_assert(sizeof(LandlockPathBeneathAttr) == sizeof(landlock_path_beneath_attr));
static_assert(alignof(LandlockPathBeneathAttr) == alignof(landlock_path_beneath_attr));

MORVIK_SAME_FIELD(LandlockNetPortAttr, landlock_net_port_attr, allowed_access);
MORVIK_SAME_FIELD(LandlockNetPortAttr, landlock_net_port_attr, port);
static_assert(sizeof(LandlockNetPortAttr) == sizeof(landlock_net_port_attr));
static_assert(alignof(LandlockNetPortAttr) == alignof(landlock_net_port_attr));

} // namespace
