// The kernel's Landlock ABI as this project defines it: system-call numbers,
// flags, rule types and the three records passed to the kernel. The installed
// <linux/landlock.h> is older than the ABI used here, so it is not included;
// tests/kernel_header checks every value here against the newest one.
#pragma once

#include <cstdint>

namespace morvik::sandbox {

// System-call numbers (the same on x86-64 and arm64).
inline constexpr long kSysLandlockCreateRuleset = 444;
inline constexpr long kSysLandlockAddRule = 445;
inline constexpr long kSysLandlockRestrictSelf = 446;

// landlock_create_ruleset flag: return the ABI version instead of a ruleset.
inline constexpr std::uint32_t kLandlockCreateRulesetVersion = 1U << 0;

// landlock_restrict_self flag (ABI 7): log the denials of the programs that
// the restricted thread executes from now on.
inline constexpr std::uint32_t kLandlockRestrictSelfLogNewExecOn = 1U << 1;
// The first ABI version that knows the flag above.
inline constexpr std::int32_t kLandlockLogFlagsVersion = 7;

// landlock_add_rule rule types.
inline constexpr std::uint32_t kLandlockRulePathBeneath = 1;
inline constexpr std::uint32_t kLandlockRuleNetPort = 2;

// prctl options.
inline constexpr int kPrSetNoNewPrivs = 38;
inline constexpr int kPrGetNoNewPrivs = 39;

// The highest ABI level this project knows.
inline constexpr std::uint8_t kMaxAbiLevel = 6;

// struct landlock_ruleset_attr, always passed with size 24.
struct LandlockRulesetAttr {
    std::uint64_t handled_access_fs = 0;
    std::uint64_t handled_access_net = 0;
    std::uint64_t scoped = 0;
};
static_assert(sizeof(LandlockRulesetAttr) == 24);

// struct landlock_path_beneath_attr (packed).
struct __attribute__((packed)) LandlockPathBeneathAttr {
    std::uint64_t allowed_access = 0;
    std::int32_t parent_fd = -1;
};
static_assert(sizeof(LandlockPathBeneathAttr) == 12);

// struct landlock_net_port_attr.
struct LandlockNetPortAttr {
    std::uint64_t allowed_access = 0;
    std::uint64_t port = 0;
};
static_assert(sizeof(LandlockNetPortAttr) == 16);

} // namespace morvik::sandbox
