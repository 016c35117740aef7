// Planning and enforcing against the fake kernel: what each version plans,
// the enforcement verdict, how each step's failure stops the run, the
// capability drop and the filter variant.
#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <algorithm>

#include "sandbox/enforce.hpp"
#include "sandbox/plan.hpp"
#include "support/fake_kernel.hpp"

namespace morvik::sandbox {
namespace {

using testing::FakeKernel;
using K = testing::FakeCall::Kind;
using Rules = std::vector<std::pair<std::string, std::uint64_t>>;
using Tweak = void (*)(FakeKernel&, profile::SandboxProfile&);

TEST(Plan, ParseAbiVersion) {
    const std::pair<std::string, std::optional<std::uint32_t>> cases[] = {
        {"3\n", 3},
        {" +4 ", 4},
        {"04", 4},
        {"0", 0},
        {"4294967295", 4294967295U},
        {" \t\r\n\v\f5\n", 5},
        {"\u00A06\u3000\u2028", 6},
        {"\xC2\x85"
         "2\xE2\x80\x89",
         2}, // NEL and THIN SPACE trimmed
        {"-1", {}},
        {"4.0", {}},
        {"0x4", {}},
        {"", {}},
        {"4294967296", {}},
        {"+", {}},
        {"+-4", {}},
        {"4 4", {}},
        {"99999999999999999999", {}},
        {"\xF0\x9F\x98\x80"
         "4",
         {}}, // a four-byte character is no space
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(parse_abi_version(text), want) << text;
}

profile::SandboxProfile full_profile() {
    profile::SandboxProfile p;
    p.worktree_path = "/w";
    p.git_dir = "/w/.git";
    p.agent_config_dirs = {"/cfg"};
    p.tool_dirs = {"/tools"};
    p.user_allowed_paths = {"/etc/file"};
    p.proxy_port = 3128;
    return p;
}

FakeKernel machine(long kernel_version) {
    FakeKernel k;
    k.set_version(kernel_version);
    k.add_system_dirs();
    for (const char* d : {"/w", "/w/.git", "/cfg", "/tools", "/home/u"})
        k.add_dir(d);
    k.add_file("/etc/file");
    k.env["HOME"] = "/home/u";
    return k;
}

// (path, rights) of every path rule added, in order.
Rules added_rules(const FakeKernel& k) {
    Rules out;
    std::map<int, std::string> paths;
    for (const auto& c : k.calls) {
        if (c.kind == K::OpenAt) paths[c.opened] = c.text;
        if (c.kind == K::OpenNoLinks) paths[c.opened] = c.reached;
        if (c.kind == K::AddPathRule) out.emplace_back(paths.at(c.parent_fd), c.access);
    }
    return out;
}

// The rules of the full profile: `work` beneath the work tree, the git dir
// and the agent config dir; `full` beneath "/tmp" and "/dev".
Rules expected_rules(std::uint64_t work, std::uint64_t full, std::uint64_t home) {
    const std::uint64_t read = 0xD;
    return {{"/w", work},       {"/w/.git", work}, {"/cfg", work},  {"/tools", read},
            {"/etc/file", 0x5}, {"/usr", read},    {"/bin", read},  {"/lib", read},
            {"/lib64", read},   {"/etc", read},    {"/sbin", read}, {"/run", read},
            {"/sys", read},     {"/tmp", full},    {"/proc", read}, {"/dev", full},
            {"/home/u", home}};
}

// The version is the lower of the ABI file's number and the kernel's answer;
// the kernel is asked once and keeps what it supports. From 9 ResolveUnix is granted
// only beneath the work tree, the git dir and the agent config dirs; from 10
// the UDP pair is handled (and granted nowhere) unless UDP is allowed.
TEST(Plan, WhatEachVersionPlans) {
    struct Case {
        const char* file;
        long kernel;
        bool allow_udp;
        std::uint64_t fs, net, scoped, work, full, home;
        bool port;
    };
    const Case cases[] = {
        {nullptr, 1, false, 0x1FFF, 0, 0, 0x1FFF, 0x1FFF, 0x126, false},
        {nullptr, 2, false, 0x3FFF, 0, 0, 0x3FFF, 0x3FFF, 0x126, false},
        {nullptr, 3, false, 0x7FFF, 0, 0, 0x7FFF, 0x7FFF, 0x4126, false},
        {nullptr, 4, false, 0x7FFF, 0x3, 0, 0x7FFF, 0x7FFF, 0x4126, true},
        {nullptr, 5, false, 0xFFFF, 0x3, 0, 0xFFFF, 0xFFFF, 0x4126, true},
        {nullptr, 6, false, 0xFFFF, 0x3, 0x3, 0xFFFF, 0xFFFF, 0x4126, true},
        {nullptr, 7, true, 0xFFFF, 0x3, 0x3, 0xFFFF, 0xFFFF, 0x4126, true},
        {nullptr, 9, false, 0x1FFFF, 0x3, 0x3, 0x1FFFF, 0xFFFF, 0x4126, true},
        {nullptr, 10, false, 0x1FFFF, 0xF, 0x3, 0x1FFFF, 0xFFFF, 0x4126, true},
        {nullptr, 11, true, 0x1FFFF, 0x3, 0x3, 0x1FFFF, 0xFFFF, 0x4126, true},
        {"x", 5, false, 0xFFFF, 0x3, 0, 0xFFFF, 0xFFFF, 0x4126, true},
        // A file below the kernel lowers the version; one above does not
        // raise it, but for 0, which stands for level 6 (best effort: the
        // port rule is dropped).
        {"1", 7, false, 0x1FFF, 0, 0, 0x1FFF, 0x1FFF, 0x126, false},
        {"0", 3, false, 0x7FFF, 0, 0, 0x7FFF, 0x7FFF, 0x126, false},
        {"6", 5, false, 0xFFFF, 0x3, 0, 0xFFFF, 0xFFFF, 0x4126, true},
        {"10", 7, false, 0xFFFF, 0x3, 0x3, 0xFFFF, 0xFFFF, 0x4126, true},
        {"10", 9, false, 0x1FFFF, 0x3, 0x3, 0x1FFFF, 0xFFFF, 0x4126, true},
        {"8", 10, false, 0xFFFF, 0x3, 0x3, 0xFFFF, 0xFFFF, 0x4126, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file ? c.file : "-") + " on " + std::to_string(c.kernel));
        FakeKernel k = machine(c.kernel);
        if (c.file != nullptr) k.abi_file = c.file;
        auto profile = full_profile();
        profile.allow_udp = c.allow_udp;
        const auto r = testing::confine(profile, k);
        ASSERT_EQ(r.failure, "");
        EXPECT_TRUE(r.warnings.empty());
        EXPECT_EQ(k.of(K::VersionQuery).size(), 1U);
        const auto creates = k.of(K::CreateRuleset);
        ASSERT_EQ(creates.size(), 1U);
        EXPECT_EQ(creates[0].size, 24U);
        EXPECT_EQ(creates[0].handled_fs, c.fs);
        EXPECT_EQ(creates[0].handled_net, c.net);
        EXPECT_EQ(creates[0].scoped, c.scoped);
        EXPECT_EQ(added_rules(k), expected_rules(c.work, c.full, c.home));
        const auto ports = k.of(K::AddNetRule);
        ASSERT_EQ(ports.size(), c.port ? 1U : 0U);
        if (c.port) {
            EXPECT_EQ(ports[0].port, 3128U);
            EXPECT_EQ(ports[0].access, 0x2U);
        }
        EXPECT_EQ(k.of(K::RestrictSelf).size(), 1U);
        EXPECT_EQ(k.open_fds(), 0U);
        EXPECT_TRUE(k.bad_closes.empty());
    }
}

// Anything reduced makes the enforcement partial; the log flag goes only to
// a kernel that reports knowing it; without Landlock only no-new-privileges
// is set, and the one warning waits for the launcher.
TEST(Plan, EnforcementVerdict) {
    struct Case {
        const char* what;
        long kernel;
        Tweak tweak;
        Enforcement want;
        std::uint32_t flags;
    };
    const Case cases[] = {
        {"every right supported", 7, [](FakeKernel&, profile::SandboxProfile&) {},
         Enforcement::Full, 0},
        {"logging asked", 7, [](FakeKernel&, profile::SandboxProfile& p) { p.log_denials = true; },
         Enforcement::Full, 2},
        {"logging asked of version 6", 6,
         [](FakeKernel&, profile::SandboxProfile& p) { p.log_denials = true; }, Enforcement::Full,
         0},
        {"a file loses its directory rights", 7,
         [](FakeKernel&, profile::SandboxProfile& p) { p.user_allowed_paths = {"/etc/file"}; },
         Enforcement::Partial, 0},
        {"a file above the kernel changes nothing", 7,
         [](FakeKernel& k, profile::SandboxProfile&) { k.abi_file = "10"; }, Enforcement::Full, 0},
        {"a file saying 0 asks for level 6", 3,
         [](FakeKernel& k, profile::SandboxProfile& p) { k.abi_file = "0", p.proxy_port = 80; },
         Enforcement::Partial, 0},
        {"root: the narrowed devices ask for file rights alone", 7,
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.uid = k.euid = 0;
             k.add_dir("/w/home"), k.env["HOME"] = "/w/home";
             for (const std::string_view dev : kNarrowDev)
                 dev.ends_with('/') ? k.add_dir(std::string(dev)) : k.add_file(std::string(dev));
         },
         Enforcement::Full, 0},
        {"no Landlock", 0, [](FakeKernel& k, profile::SandboxProfile&) { k.set_no_landlock(); },
         Enforcement::NotEnforced, 0},
        {"Landlock disabled", 0,
         [](FakeKernel& k, profile::SandboxProfile& p) {
             k.set_no_landlock(EOPNOTSUPP), p.log_denials = true;
         },
         Enforcement::NotEnforced, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeKernel k = machine(c.kernel);
        profile::SandboxProfile p;
        p.worktree_path = p.git_dir = "/w";
        c.tweak(k, p);
        auto planned = plan(p, read_host(k), k);
        ASSERT_TRUE(planned) << planned.error().line;
        EXPECT_EQ(planned->enforcement, c.want);
        ASSERT_TRUE(enforce(*planned, k));
        const bool live = c.want != Enforcement::NotEnforced;
        EXPECT_EQ(planned->warnings,
                  live ? std::vector<std::string>{}
                       : std::vector<std::string>{std::string(kNotEnforcedWarning)});
        const auto restricts = k.of(K::RestrictSelf);
        ASSERT_EQ(restricts.size(), live ? 1U : 0U);
        if (live) {
            EXPECT_EQ(restricts[0].flags, c.flags);
        }
        EXPECT_EQ(k.of(K::CreateRuleset).size() + k.of(K::AddPathRule).size() > 0, live);
        ASSERT_FALSE(k.of(K::Prctl).empty()); // no-new-privileges in every case
        EXPECT_EQ(k.of(K::Prctl)[0].option, kPrSetNoNewPrivs);
        EXPECT_EQ(k.open_fds(), 0U);
    }
}

// Each failure is one line; planning failures confine nothing, and every
// descriptor is closed either way.
TEST(Plan, EachFailureStopsTheRun) {
    struct Case {
        const char* what;
        Tweak tweak;
        std::string line;
        int rules; // path rules added before the stop (-1: not counted)
    };
    const std::string apply = "Failed to apply Landlock rules: ";
    const std::string drop = "Failed to drop capabilities: ";
    const std::string below = ", below the required minimum_landlock_abi ";
    const Case cases[] = {
        {"capabilities unreadable",
         [](FakeKernel& k, profile::SandboxProfile&) { k.caps.error = EPERM; },
         drop + "failed to read the capability sets: Operation not permitted (os error 1)", 0},
        {"kernel below the minimum",
         [](FakeKernel&, profile::SandboxProfile& p) { p.minimum_landlock_abi = 7; },
         apply + "the kernel's Landlock ABI version is 6" + below + "7", 0},
        {"a file above a kernel below the minimum",
         [](FakeKernel& k, profile::SandboxProfile& p) {
             k.set_version(3), k.abi_file = "9", p.minimum_landlock_abi = 4;
         },
         apply + "the kernel's Landlock ABI version is 3" + below + "4", 0},
        {"a file below the minimum",
         [](FakeKernel& k, profile::SandboxProfile& p) {
             k.set_version(7), k.abi_file = "1", p.minimum_landlock_abi = 4;
         },
         apply + "/sys/kernel/security/landlock/abi_version says 1 (the kernel reports 7)" + below +
             "4",
         0},
        {"no Landlock with a minimum",
         [](FakeKernel& k, profile::SandboxProfile& p) {
             k.set_no_landlock(), p.minimum_landlock_abi = 1;
         },
         apply +
             "the kernel has no Landlock (no ABI version: Function not implemented (os error "
             "38))" +
             below + "1",
         0},
        {"Landlock disabled with a minimum",
         [](FakeKernel& k, profile::SandboxProfile& p) {
             k.set_no_landlock(EOPNOTSUPP), p.minimum_landlock_abi = 1;
         },
         apply +
             "the kernel's Landlock is disabled (no ABI version: Operation not supported (os "
             "error 95))" +
             below + "1",
         0},
        {"a name that cannot be opened",
         [](FakeKernel& k, profile::SandboxProfile& p) {
             k.add_dir("/t\nx");
             k.files.at("/t\nx").open_error = EMFILE;
             p.tool_dirs = {"/t\nx"};
         },
         apply + "failed to open \"/t\\nx\": Too many open files (os error 24)", 0},
        {"the work tree cannot be examined",
         [](FakeKernel& k, profile::SandboxProfile&) { k.files.at("/w").fstat_error = EIO; },
         apply + "failed to open \"/w\": Input/output error (os error 5)", 0},
        {"the home cannot be opened",
         [](FakeKernel& k, profile::SandboxProfile&) { k.files.at("/home/u").open_error = ENFILE; },
         apply + "failed to open \"/home/u\": Too many open files in system (os error 23)", 0},
        {"a link in the work tree leads to the root",
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.files.erase("/w/.git");
             k.add_link("/w/.git", "/");
         },
         apply + "symbolic link \"/w/.git\" -> \"/\" lies in a writable place and leads outside "
                 "every writable place; refusing \"/w/.git\"",
         0},
        {"create", [](FakeKernel& k, profile::SandboxProfile&) { k.create_error = ENOMEM; },
         apply + "failed to create a ruleset: Cannot allocate memory (os error 12)", 0},
        {"add the git dir",
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.add_rule_error = EBADF, k.add_rule_fail_at = 2;
         },
         apply + "failed to add a rule: Bad file descriptor (os error 9)", 2},
        {"add the port",
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.add_rule_error = EINVAL, k.add_rule_fail_at = 18;
         },
         apply + "failed to add a rule: Invalid argument (os error 22)", 17},
        {"no-new-privileges refused",
         [](FakeKernel& k, profile::SandboxProfile&) { k.prctl_set_error = EPERM; },
         apply + "failed to set no_new_privs: Operation not permitted (os error 1)", 17},
        {"restrict", [](FakeKernel& k, profile::SandboxProfile&) { k.restrict_error = EPERM; },
         apply + "failed to restrict the calling thread: Operation not permitted (os error 1)", 17},
        {"secure bits",
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.uid = 0, k.caps.permitted = ~0ULL, k.prctl_errors[PR_SET_SECUREBITS] = EPERM;
         },
         drop + "failed to lock the secure bits: Operation not permitted (os error 1)", -1},
        {"ambient",
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.uid = 0, k.caps.permitted = ~0ULL, k.prctl_errors[PR_CAP_AMBIENT] = EINVAL;
         },
         drop + "failed to clear the ambient capabilities: Invalid argument (os error 22)", -1},
        {"bounding set",
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.uid = 0, k.caps.permitted = ~0ULL, k.prctl_errors[PR_CAPBSET_DROP] = EPERM;
         },
         drop + "failed to drop capability 0 from the bounding set: Operation not permitted (os "
                "error 1)",
         -1},
        {"bounding set unknown to the kernel",
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.uid = 0, k.caps.permitted = ~0ULL, k.last_cap = -1;
         },
         drop + "failed to drop capability 0 from the bounding set: Invalid argument (os error "
                "22)",
         -1},
        {"capset",
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.uid = 0, k.caps.permitted = ~0ULL, k.capset_error = EPERM;
         },
         drop + "failed to clear the capability sets: Operation not permitted (os error 1)", -1},
        {"secure bits refused, but not needed without CAP_SETPCAP",
         [](FakeKernel& k, profile::SandboxProfile&) {
             k.caps.effective = k.caps.permitted = 1ULL << 12;
             k.prctl_errors[PR_SET_SECUREBITS] = EPERM;
             k.prctl_errors[PR_CAPBSET_DROP] = EPERM;
             k.filter_error = EINVAL; // reached: the drop succeeded
         },
         "Failed to install the system-call filter: Invalid argument (os error 22)", -1},
        {"no seccomp", [](FakeKernel& k, profile::SandboxProfile&) { k.filter_error = EINVAL; },
         "Failed to install the system-call filter: Invalid argument (os error 22)", 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeKernel k = machine(6);
        auto profile = full_profile();
        c.tweak(k, profile);
        const bool planned = bool(plan(profile, read_host(k), k));
        k.calls.clear();
        EXPECT_EQ(testing::confine(profile, k).failure, c.line);
        if (c.rules >= 0) {
            EXPECT_EQ(k.of(K::AddPathRule).size(), std::size_t(c.rules));
        }
        if (!planned) {
            for (const K kind : {K::CreateRuleset, K::Prctl, K::InstallFilter, K::Capset})
                EXPECT_TRUE(k.of(kind).empty());
        }
        EXPECT_EQ(k.of(K::InstallFilter).size(), c.line.starts_with("Failed to install") ? 1U : 0U);
        EXPECT_EQ(k.open_fds(), 0U);
        EXPECT_TRUE(k.bad_closes.empty());
    }
}

// A profile path that is there but out of reach is skipped with a warning
// (the end-to-end table tries the other reasons), while a system directory
// or the home out of reach stays silent.
TEST(Plan, ProfilePathsOutOfReachAreSaid) {
    const std::pair<Tweak, std::string> cases[] = {
        {[](FakeKernel&, profile::SandboxProfile& p) { p.git_dir = std::string("/w\0x", 4); },
         "Warning: profile path /w\\x00x skipped: Invalid argument (os error 22)"},
        {[](FakeKernel& k, profile::SandboxProfile&) { k.files.at("/sbin").open_error = EACCES; },
         ""},
        {[](FakeKernel& k, profile::SandboxProfile&) { k.files.at("/home/u").open_error = EACCES; },
         ""},
    };
    for (const auto& [tweak, warning] : cases) {
        FakeKernel k = machine(7);
        profile::SandboxProfile p;
        p.worktree_path = p.git_dir = "/w";
        tweak(k, p);
        const auto r = testing::confine(p, k);
        EXPECT_EQ(r.failure, "");
        EXPECT_EQ(r.warnings,
                  warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{warning});
    }
}

TEST(Plan, FilterRefusesTcpOnlyWhenNothingElseWould) {
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
        auto p = full_profile();
        p.proxy_port = c.port;
        p.allow_udp = c.allow_udp;
        ASSERT_EQ(testing::confine(p, k).failure, "");
        const auto filters = k.of(K::InstallFilter);
        ASSERT_EQ(filters.size(), 1U);
        EXPECT_EQ(filters[0].filter, c.want) << c.version << " " << c.error;
        EXPECT_EQ(k.kinds().back(), K::InstallFilter);
    }
}

// The /dev paths looked up, each once, in order.
std::vector<std::string> dev_paths(const FakeKernel& k) {
    std::vector<std::string> out;
    for (const auto& c : k.of(K::OpenNoLinks))
        if (c.text.starts_with("/dev") && std::ranges::find(out, c.text) == out.end())
            out.push_back(c.text);
    return out;
}

TEST(Plan, PrivilegedLauncherDropsEveryCapabilityAndNarrowsDev) {
    struct Case {
        const char* what;
        uid_t uid, euid;
        std::uint64_t permitted;
        bool keep;
        bool dropped;
        bool full;        // secure bits and bounding set too
        uid_t run_as = 0; // the command's uid, when not the launcher's (0)
    };
    const Case cases[] = {
        {"uid 0", 0, 0, ~0ULL, false, true, true},
        {"effective uid 0 only", 1000, 0, ~0ULL, false, true, true},
        {"real uid 0 only", 0, 1000, ~0ULL, false, true, true},
        {"uid 0 holding none (nested in another confinement)", 0, 0, 0, false, true, false},
        {"CAP_SETPCAP without uid 0", 1000, 1000, 1ULL << 8, false, true, true},
        {"a capability without uid 0 or CAP_SETPCAP", 1000, 1000, 1ULL << 12, false, true, false},
        {"unprivileged", 1000, 1000, 0, false, false, false},
        {"uid 0 keeping its capabilities", 0, 0, ~0ULL, true, false, false},
        // The switch itself empties the bounding set and leaves nothing held.
        {"uid 0 running the command as another uid", 0, 0, ~0ULL, false, true, false, 65534},
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
        auto p = full_profile();
        p.keep_capabilities = c.keep;
        Host host = read_host(k);
        if (c.run_as != 0) host.run_uid = c.run_as;
        auto plan = sandbox::plan(p, host, k);
        ASSERT_TRUE(plan.has_value() && enforce(*plan, k).has_value());
        EXPECT_EQ(dev_paths(k), c.dropped ? narrowed : std::vector<std::string>{"/dev"});
        std::vector<int> options; // the prctl calls beyond no-new-privileges
        std::size_t bounding = 0;
        for (const auto& call : k.of(K::Prctl)) {
            if (call.option == PR_CAPBSET_DROP) ++bounding;
            if (call.option != kPrSetNoNewPrivs && call.option != PR_CAPBSET_DROP)
                options.push_back(call.option);
        }
        EXPECT_EQ(bounding, c.full ? 42U : 0U); // 0 to last_cap 40, then EINVAL
        EXPECT_EQ(k.of(K::Capset).size(), c.dropped ? 1U : 0U);
        EXPECT_EQ(k.of(K::InstallFilter).at(0).filter.set_id_modes_refused, c.dropped);
        if (!c.dropped) continue;
        EXPECT_FALSE(k.caps.any());
        const std::vector<int> want = c.full ? std::vector<int>{PR_SET_SECUREBITS, PR_CAP_AMBIENT}
                                             : std::vector<int>{PR_CAP_AMBIENT};
        EXPECT_EQ(options, want);
        if (c.full) {
            EXPECT_EQ(k.of(K::Prctl)[1].arg2, kLockedSecureBits);
        }
        // Restriction, then the drop, then the filter last.
        const auto kinds = k.kinds();
        const auto at = [&](K kind) { return std::ranges::find(kinds, kind); };
        EXPECT_LT(at(K::RestrictSelf), at(K::Capset));
        EXPECT_EQ(kinds.back(), K::InstallFilter);
    }
}

} // namespace
} // namespace morvik::sandbox
