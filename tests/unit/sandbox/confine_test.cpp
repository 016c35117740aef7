// The whole confinement against the fake kernel: the parts that depend on the
// kernel's version (scopes, the log flag, the minimum version, TCP rules),
// the capability drop of a privileged launcher, the system-call filter and
// the failure of each step.
#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <algorithm>

#include "sandbox/confine.hpp"
#include "support/fake_kernel.hpp"

namespace morvik::sandbox {
namespace {

using testing::FakeKernel;
using K = testing::FakeCall::Kind;

profile::SandboxProfile base_profile() {
    profile::SandboxProfile p;
    p.worktree_path = "/w";
    p.git_dir = "/w";
    return p;
}

// A machine whose kernel answers `version` (no ABI file: the policy builds
// for the same version).
FakeKernel machine(long version) {
    FakeKernel k;
    k.set_version(version);
    k.add_system_dirs();
    k.add_dir("/w");
    for (const std::string_view dev : kNarrowDev)
        k.add_dir(std::string(dev));
    return k;
}

std::string confine_line(const profile::SandboxProfile& p, FakeKernel& k) {
    auto r = confine(p, k, {"/abi"});
    return r ? std::string("ok") : r.error().line();
}

TEST(Confine, ScopesFromVersionSix) {
    const std::pair<long, std::uint64_t> cases[] = {{1, 0}, {4, 0}, {5, 0}, {6, 0x3}, {7, 0x3}};
    for (const auto& [version, scoped] : cases) {
        FakeKernel k = machine(version);
        ASSERT_EQ(confine_line(base_profile(), k), "ok");
        const auto creates = k.of(K::CreateRuleset);
        ASSERT_EQ(creates.size(), 1U);
        EXPECT_EQ(creates[0].scoped, scoped) << version;
    }
    // The file says 6 but the kernel only knows 5: the scope is dropped.
    FakeKernel k = machine(5);
    k.abi_file = "6";
    ASSERT_EQ(confine_line(base_profile(), k), "ok");
    EXPECT_EQ(k.of(K::CreateRuleset).at(0).scoped, 0U);
}

TEST(Confine, LogFlagFromVersionSeven) {
    struct Case {
        long version;
        bool log_denials;
        std::uint32_t flags;
    };
    const Case cases[] = {{6, true, 0}, {7, true, 2}, {8, true, 2}, {7, false, 0}, {5, true, 0}};
    for (const Case& c : cases) {
        FakeKernel k = machine(c.version);
        auto p = base_profile();
        p.log_denials = c.log_denials;
        ASSERT_EQ(confine_line(p, k), "ok");
        const auto restricts = k.of(K::RestrictSelf);
        ASSERT_EQ(restricts.size(), 1U);
        EXPECT_EQ(restricts[0].flags, c.flags) << c.version << " " << c.log_denials;
    }
}

TEST(Confine, MinimumAbiIsGatedOnTheKernelsOwnAnswer) {
    struct Case {
        std::uint32_t minimum;
        long version;
        int error; // the version query fails with it
        const char* abi_file;
        std::string line;
    };
    const std::string prefix = "Failed to apply Landlock rules: ";
    const Case cases[] = {
        {1, 1, 0, nullptr, "ok"},
        {4, 4, 0, nullptr, "ok"},
        {6, 7, 0, nullptr, "ok"},
        {7, 6, 0, nullptr,
         prefix + "the kernel's Landlock ABI version is 6, below the required "
                  "minimum_landlock_abi 7"},
        {4, 3, 0, "9", // the file's number does not count
         prefix + "the kernel's Landlock ABI version is 3, below the required "
                  "minimum_landlock_abi 4"},
        {1, 0, ENOSYS, nullptr,
         prefix + "the kernel has no Landlock (no ABI version: Function not implemented (os "
                  "error 38)), below the required minimum_landlock_abi 1"},
        {1, 0, EOPNOTSUPP, nullptr,
         prefix + "the kernel's Landlock is disabled (no ABI version: Operation not supported "
                  "(os error 95)), below the required minimum_landlock_abi 1"},
    };
    for (const Case& c : cases) {
        FakeKernel k = machine(c.version);
        if (c.error != 0) k.set_no_landlock(c.error);
        if (c.abi_file != nullptr) k.abi_file = c.abi_file;
        auto p = base_profile();
        p.minimum_landlock_abi = c.minimum;
        EXPECT_EQ(confine_line(p, k), c.line);
        if (c.line != "ok") {
            // Nothing was done: no ruleset, no flag, no filter, nothing written.
            EXPECT_TRUE(k.of(K::CreateRuleset).empty());
            EXPECT_TRUE(k.of(K::Prctl).empty());
            EXPECT_TRUE(k.of(K::InstallFilter).empty());
            EXPECT_EQ(k.stderr_text(), "");
        }
    }
}

TEST(Confine, FilterRefusesTcpOnlyWhenNothingElseWould) {
    struct Case {
        long version;
        int error;
        std::optional<std::uint16_t> port;
        bool allow_udp;
        SyscallFilter want;
    };
    const Case cases[] = {
        {6, 0, 3128, false, {true, false}},
        {6, 0, std::nullopt, false, {true, false}}, // Landlock refuses every port
        {4, 0, std::nullopt, true, {true, true}},
        {3, 0, std::nullopt, false, {false, false}}, // no TCP rules below 4
        {3, 0, 3128, false, {true, false}},          // a proxy was granted
        {1, 0, std::nullopt, true, {false, true}},
        {0, ENOSYS, std::nullopt, false, {false, false}}, // no Landlock at all
        {0, ENOSYS, 8080, false, {true, false}},
    };
    for (const Case& c : cases) {
        FakeKernel k = machine(c.version);
        if (c.error != 0) k.set_no_landlock(c.error);
        auto p = base_profile();
        p.proxy_port = c.port;
        p.allow_udp = c.allow_udp;
        ASSERT_EQ(confine_line(p, k), "ok");
        const auto filters = k.of(K::InstallFilter);
        ASSERT_EQ(filters.size(), 1U);
        EXPECT_EQ(filters[0].filter, c.want) << c.version << " " << c.error;
        EXPECT_EQ(k.kinds().back(), K::InstallFilter);
    }
}

// The /dev rules added, in order.
// The /dev paths looked up, each once, in order (both passes of the walk
// look at the writable ones).
std::vector<std::string> dev_rules(const FakeKernel& k) {
    std::vector<std::string> out;
    for (const auto& c : k.of(K::OpenNoLinks))
        if (c.text.starts_with("/dev") && std::ranges::find(out, c.text) == out.end())
            out.push_back(c.text);
    return out;
}

TEST(Confine, PrivilegedLauncherDropsEveryCapabilityAndNarrowsDev) {
    struct Case {
        const char* what;
        uid_t uid, euid;
        std::uint64_t permitted;
        bool keep;
        bool dropped;
        bool full; // secure bits and bounding set too
    };
    const Case cases[] = {
        {"uid 0", 0, 0, ~0ULL, false, true, true},
        {"effective uid 0 only", 1000, 0, 0, false, true, true},
        {"real uid 0 only", 0, 1000, 0, false, true, true},
        {"CAP_SETPCAP without uid 0", 1000, 1000, 1ULL << 8, false, true, true},
        {"a capability without uid 0 or CAP_SETPCAP", 1000, 1000, 1ULL << 12, false, true, false},
        {"unprivileged", 1000, 1000, 0, false, false, false},
        {"uid 0 keeping its capabilities", 0, 0, ~0ULL, true, false, false},
    };
    std::vector<std::string> narrowed;
    for (const std::string_view d : kNarrowDev)
        narrowed.emplace_back(d);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeKernel k = machine(7);
        k.uid = c.uid;
        k.euid = c.euid;
        k.caps.permitted = k.caps.effective = c.permitted;
        auto p = base_profile();
        p.keep_capabilities = c.keep;
        ASSERT_EQ(confine_line(p, k), "ok");
        EXPECT_EQ(dev_rules(k), c.dropped ? narrowed : std::vector<std::string>{"/dev"});
        std::vector<unsigned long> dropped_caps;
        for (const auto& call : k.of(K::Prctl))
            if (call.option == PR_CAPBSET_DROP) dropped_caps.push_back(call.arg2);
        EXPECT_EQ(dropped_caps.size(), c.full ? 42U : 0U); // 0 to last_cap 40, then EINVAL
        EXPECT_EQ(k.of(K::Capset).size(), c.dropped ? 1U : 0U);
        // The filter refuses set-ID modes exactly when the capabilities went.
        EXPECT_EQ(k.of(K::InstallFilter).at(0).filter.set_id_modes_refused, c.dropped);
        if (!c.dropped) continue;
        EXPECT_FALSE(k.caps.any());
        if (!c.full) {
            // Ambient set cleared, then the three sets; nothing that needs
            // CAP_SETPCAP is tried.
            std::vector<int> options;
            for (const auto& call : k.of(K::Prctl))
                if (call.option != kPrSetNoNewPrivs) options.push_back(call.option);
            EXPECT_EQ(options, std::vector<int>{PR_CAP_AMBIENT});
            continue;
        }
        // Order: restriction, secure bits, ambient set, bounding set, the
        // three sets, and the filter last.
        const auto kinds = k.kinds();
        const auto at = [&](K kind) { return std::find(kinds.begin(), kinds.end(), kind); };
        std::vector<int> options;
        for (const auto& call : k.of(K::Prctl))
            if (call.option != kPrSetNoNewPrivs) options.push_back(call.option);
        ASSERT_GE(options.size(), 2U);
        EXPECT_EQ(options[0], PR_SET_SECUREBITS);
        EXPECT_EQ(k.of(K::Prctl)[1].arg2, kLockedSecureBits);
        EXPECT_EQ(options[1], PR_CAP_AMBIENT);
        EXPECT_LT(at(K::RestrictSelf), at(K::Capset));
        EXPECT_LT(at(K::Capset), at(K::InstallFilter));
        EXPECT_EQ(kinds.back(), K::InstallFilter);
    }
}

// Records the enforcement and which path rules lost directory rights.
struct StateObserver : PolicyObserver {
    void on_path_rule(const PathRuleEvent& e) override {
        if (e.directory_rights_removed) narrowed.push_back(e.rule.path);
    }
    void on_enforced(const RestrictionStatus& s) override { enforcement = s.enforcement; }
    std::vector<std::string> narrowed;
    Enforcement enforcement = Enforcement::NotEnforced;
};

TEST(Confine, NarrowedDevFilesKeepTheStateFull) {
    // The device files are asked only file rights, so none is narrowed and
    // the state stays full; a file the profile lists still is narrowed.
    struct Case {
        const char* what;
        std::vector<std::string> user_paths;
        Enforcement enforcement;
        std::vector<std::string> narrowed;
    };
    const Case cases[] = {
        {"only the launcher's rules", {}, Enforcement::Full, {}},
        {"a file in user_allowed_paths", {"/data.txt"}, Enforcement::Partial, {"/data.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeKernel k = machine(7);
        k.uid = k.euid = 0;
        for (const std::string_view dev : kNarrowDev)
            if (!dev.ends_with('/')) k.add_file(std::string(dev));
        k.add_file("/data.txt");
        auto p = base_profile();
        p.user_allowed_paths = c.user_paths;
        StateObserver seen;
        ASSERT_TRUE(confine(p, k, {"/abi", &seen}));
        EXPECT_EQ(seen.enforcement, c.enforcement);
        EXPECT_EQ(seen.narrowed, c.narrowed);
    }
}

TEST(Confine, EachNewStepThatFailsStopsTheRun) {
    struct Case {
        const char* what;
        void (*script)(FakeKernel&);
        std::string line;
    };
    const Case cases[] = {
        {"capget", [](FakeKernel& k) { k.caps.error = EPERM; },
         "Failed to drop capabilities: failed to read the capability sets: Operation not "
         "permitted (os error 1)"},
        {"secure bits", [](FakeKernel& k) { k.uid = 0, k.prctl_errors[PR_SET_SECUREBITS] = EPERM; },
         "Failed to drop capabilities: failed to lock the secure bits: Operation not permitted "
         "(os error 1)"},
        {"ambient", [](FakeKernel& k) { k.uid = 0, k.prctl_errors[PR_CAP_AMBIENT] = EINVAL; },
         "Failed to drop capabilities: failed to clear the ambient capabilities: Invalid argument "
         "(os error 22)"},
        {"bounding", [](FakeKernel& k) { k.uid = 0, k.prctl_errors[PR_CAPBSET_DROP] = EPERM; },
         "Failed to drop capabilities: failed to drop capability 0 from the bounding set: "
         "Operation not permitted (os error 1)"},
        {"bounding set unknown to the kernel", [](FakeKernel& k) { k.uid = 0, k.last_cap = -1; },
         "Failed to drop capabilities: failed to drop capability 0 from the bounding set: "
         "Invalid argument (os error 22)"},
        {"capset", [](FakeKernel& k) { k.uid = 0, k.capset_error = EPERM; },
         "Failed to drop capabilities: failed to clear the capability sets: Operation not "
         "permitted (os error 1)"},
        {"secure bits refused, but not needed without CAP_SETPCAP",
         [](FakeKernel& k) {
             k.caps.effective = k.caps.permitted = 1ULL << 12;
             k.prctl_errors[PR_SET_SECUREBITS] = EPERM;
             k.prctl_errors[PR_CAPBSET_DROP] = EPERM;
             k.filter_error = EINVAL; // reached: the drop succeeded
         },
         "Failed to install the system-call filter: Invalid argument (os error 22)"},
        {"no seccomp", [](FakeKernel& k) { k.filter_error = EINVAL; },
         "Failed to install the system-call filter: Invalid argument (os error 22)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeKernel k = machine(6);
        c.script(k);
        EXPECT_EQ(confine_line(base_profile(), k), c.line);
        const bool filter_tried = c.line.starts_with("Failed to install");
        EXPECT_EQ(k.of(K::InstallFilter).size(), filter_tried ? 1U : 0U);
        EXPECT_EQ(k.open_fds(), 0U);
    }
}

} // namespace
} // namespace morvik::sandbox
