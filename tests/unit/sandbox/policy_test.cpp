// The sandbox policy against the fake kernel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sandbox/dry_run_kernel.hpp"
#include "sandbox/policy.hpp"
#include "support/fake_kernel.hpp"

namespace morvik::sandbox {
namespace {

using testing::FakeKernel;
using K = testing::FakeCall::Kind;
using Rules = std::vector<std::pair<std::string, std::uint64_t>>;

TEST(Policy, ParseAbiVersion) {
    const std::pair<std::string, std::optional<std::uint32_t>> cases[] = {
        {"3\n", 3},
        {" +4 ", 4},
        {"04", 4},
        {"0", 0},
        {"7", 7},
        {"4294967295", 4294967295U},
        {" \t\r\n\v\f5\n", 5},
        {"\u00A06\u3000\u2028", 6},
        {"-1", {}},
        {"4.0", {}},
        {"0x4", {}},
        {"", {}},
        {"4294967296", {}},
        {"+", {}},
        {"++4", {}},
        {"+-4", {}},
        {"4 4", {}},
        {"  ", {}},
        {"99999999999999999999", {}},
        {"\xC2\x85"
         "2\xE2\x80\x89",
         2}, // NEL and THIN SPACE trimmed
        {"\xF0\x9F\x98\x80"
         "4",
         {}}, // a four-byte character is no space
        {"4\xC3\xA9", {}},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(parse_abi_version(text), want) << text;
}

TEST(Policy, DetectAbiVersion) {
    struct Case {
        std::optional<std::string> file;
        long kernel;
        int kernel_error;
        std::uint32_t want;
        bool asked;
    };
    const Case cases[] = {
        {"3\n", 6, 0, 3, false},
        {"0", 6, 0, 0, false},
        {"x", 5, 0, 5, true},
        {"\xFF"
         "4",
         5, 0, 5, true},
        {std::nullopt, 4, 0, 4, true},
        {std::nullopt, 0, 0, 1, true},
        {std::nullopt, 0, ENOSYS, 1, true},
        {"", 0, EOPNOTSUPP, 1, true},
    };
    for (const Case& c : cases) {
        FakeKernel k;
        k.abi_file = c.file;
        k.version_result = c.kernel;
        k.version_error = c.kernel_error;
        EXPECT_EQ(detect_abi_version(k, "/abi"), c.want) << c.file.value_or("<none>");
        EXPECT_EQ(k.of(K::ReadFile).at(0).text, "/abi");
        EXPECT_EQ(k.of(K::VersionQuery).size(), c.asked ? 1U : 0U);
    }
}

profile::SandboxProfile full_profile() {
    profile::SandboxProfile p;
    p.worktree_path = "/w";
    p.git_dir = "/w/.git";
    p.agent_config_dirs = {"/cfg"};
    p.tool_dirs = {"/tools"};
    p.user_allowed_paths = {"/etc/file"};
    p.allowed_domains = {"example.com"};
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

// (path, rights) of every landlock_add_rule path-beneath call, in order.
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

// `work` beneath the work tree, the git dir and the agent config dirs;
// `full` beneath "/tmp" and "/dev".
Rules expected_rules(std::uint64_t full, std::uint64_t home, std::uint64_t work = 0) {
    const std::uint64_t read = 0xD;
    if (work == 0) work = full;
    return {{"/w", work},       {"/w/.git", work}, {"/cfg", work},  {"/tools", read},
            {"/etc/file", 0x5}, {"/usr", read},    {"/bin", read},  {"/lib", read},
            {"/lib64", read},   {"/etc", read},    {"/sbin", read}, {"/run", read},
            {"/sys", read},     {"/tmp", full},    {"/proc", read}, {"/dev", full},
            {"/home/u", home}};
}

// The whole rule set per ABI version, on a kernel of that same version.
// From 9 ResolveUnix is handled and granted only beneath the work tree, the
// git dir and the agent config dirs; from 10 the UDP pair is handled (and
// granted nowhere) unless the profile allows UDP.
TEST(Policy, RuleSetPerVersion) {
    struct Case {
        long version;
        bool allow_udp;
        std::uint64_t work, full, net, home;
    };
    const Case cases[] = {
        {1, false, 0x1FFF, 0x1FFF, 0, 0x126},     {2, false, 0x3FFF, 0x3FFF, 0, 0x126},
        {3, false, 0x7FFF, 0x7FFF, 0, 0x4126},    {4, false, 0x7FFF, 0x7FFF, 0x3, 0x4126},
        {5, false, 0xFFFF, 0xFFFF, 0x3, 0x4126},  {6, false, 0xFFFF, 0xFFFF, 0x3, 0x4126},
        {7, false, 0xFFFF, 0xFFFF, 0x3, 0x4126},  {8, false, 0xFFFF, 0xFFFF, 0x3, 0x4126},
        {8, true, 0xFFFF, 0xFFFF, 0x3, 0x4126},   {9, false, 0x1FFFF, 0xFFFF, 0x3, 0x4126},
        {9, true, 0x1FFFF, 0xFFFF, 0x3, 0x4126},  {10, false, 0x1FFFF, 0xFFFF, 0xF, 0x4126},
        {10, true, 0x1FFFF, 0xFFFF, 0x3, 0x4126}, {11, false, 0x1FFFF, 0xFFFF, 0xF, 0x4126},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.version) + (c.allow_udp ? " allow_udp" : ""));
        FakeKernel k = machine(c.version);
        auto profile = full_profile();
        profile.allow_udp = c.allow_udp;
        ASSERT_TRUE(apply_landlock(profile, k, {"/abi"}));
        const auto creates = k.of(K::CreateRuleset);
        ASSERT_EQ(creates.size(), 1U);
        EXPECT_EQ(creates[0].handled_fs, c.work);
        EXPECT_EQ(creates[0].handled_net, c.net);
        EXPECT_EQ(added_rules(k), expected_rules(c.full, c.home, c.work));
        const auto ports = k.of(K::AddNetRule);
        ASSERT_EQ(ports.size(), c.net != 0 ? 1U : 0U);
        if (!ports.empty()) {
            EXPECT_EQ(ports[0].port, 3128U);
            EXPECT_EQ(ports[0].access, 0x2U);
        }
        ASSERT_EQ(k.of(K::RestrictSelf).size(), 1U);
        EXPECT_EQ(k.stderr_text(), "");
        EXPECT_EQ(k.open_fds(), 0U);
        EXPECT_TRUE(k.bad_closes.empty());
    }
}

// The ABI file says 0 (level 6, home without Truncate); the kernel is at 3:
// best-effort reduction, the port rule is dropped.
TEST(Policy, FileVersionAboveKernelIsReducedBestEffort) {
    FakeKernel k = machine(3);
    k.abi_file = "0";
    ASSERT_TRUE(apply_landlock(full_profile(), k, {"/abi"}));
    EXPECT_EQ(k.of(K::CreateRuleset).at(0).handled_fs, 0x7FFFU);
    EXPECT_EQ(k.of(K::CreateRuleset).at(0).handled_net, 0U);
    EXPECT_EQ(added_rules(k), expected_rules(0x7FFF, 0x126));
    EXPECT_TRUE(k.of(K::AddNetRule).empty());
    EXPECT_EQ(k.open_fds(), 0U);
}

// The policy asks for the newer rights by the version number it detected;
// the layer keeps only what the kernel's own answer supports.
TEST(Policy, NewerRightsAreGatedOnTheKernelsVersion) {
    struct Case {
        const char* file;
        long kernel;
        std::uint64_t fs, net, work;
    };
    const Case cases[] = {
        {"10", 7, 0xFFFF, 0x3, 0xFFFF},   // asked for, the kernel lacks them
        {"10", 9, 0x1FFFF, 0x3, 0x1FFFF}, // the kernel lacks only UDP
        {"8", 10, 0xFFFF, 0x3, 0xFFFF},   // not asked for at version 8
        {"0", 10, 0xFFFF, 0x3, 0xFFFF},   // version 0 is level 6, nothing newer
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " on " + std::to_string(c.kernel));
        FakeKernel k = machine(c.kernel);
        k.abi_file = c.file;
        ASSERT_TRUE(apply_landlock(full_profile(), k, {"/abi"}));
        EXPECT_EQ(k.of(K::CreateRuleset).at(0).handled_fs, c.fs);
        EXPECT_EQ(k.of(K::CreateRuleset).at(0).handled_net, c.net);
        EXPECT_EQ(added_rules(k).at(0), (std::pair<std::string, std::uint64_t>("/w", c.work)));
        EXPECT_EQ(k.stderr_text(), "");
    }
}

TEST(Policy, AbsentPathsAreSkippedSilently) {
    FakeKernel k = machine(3);
    k.files.erase("/lib64");
    auto p = full_profile();
    p.worktree_path = "";
    p.git_dir = std::string("/w\0x", 4);
    p.agent_config_dirs = {"/missing"};
    p.tool_dirs = {};
    p.user_allowed_paths = {};
    k.env["HOME"] = "/nohome";
    ASSERT_TRUE(apply_landlock(p, k, {"/abi"}));
    const Rules want = {{"/usr", 0xD},  {"/bin", 0xD},   {"/lib", 0xD}, {"/etc", 0xD},
                        {"/sbin", 0xD}, {"/run", 0xD},   {"/sys", 0xD}, {"/tmp", 0x7FFF},
                        {"/proc", 0xD}, {"/dev", 0x7FFF}};
    EXPECT_EQ(added_rules(k), want);
    EXPECT_EQ(k.stderr_text(), "");
}

TEST(Policy, NoLandlockWarnsOnceAndSucceeds) {
    FakeKernel k = machine(0);
    k.set_no_landlock(ENOSYS);
    ASSERT_TRUE(apply_landlock(full_profile(), k, {"/abi"}));
    EXPECT_TRUE(k.of(K::CreateRuleset).empty());
    EXPECT_TRUE(k.of(K::AddPathRule).empty());
    EXPECT_TRUE(k.of(K::RestrictSelf).empty());
    ASSERT_EQ(k.of(K::Prctl).size(), 1U); // no_new_privs is still set
    EXPECT_EQ(k.of(K::Prctl)[0].option, 38);
    EXPECT_EQ(added_rules(k), Rules{}); // paths still examined and opened
    EXPECT_FALSE(k.of(K::OpenAt).empty());
    const auto writes = k.of(K::WriteStderr);
    ASSERT_EQ(writes.size(), 1U);
    EXPECT_EQ(writes[0].text, "Warning: Landlock sandbox not enforced by kernel\n");
    EXPECT_EQ(k.kinds().back(), K::WriteStderr);
    EXPECT_EQ(k.open_fds(), 0U);
}

TEST(Policy, HomeLookupFollowsRowSixteen) {
    FakeKernel k = machine(4);
    ASSERT_TRUE(apply_landlock(full_profile(), k, {"/abi"}));
    const auto kinds = k.kinds();
    const auto getenv = std::find(kinds.begin(), kinds.end(), K::Getenv);
    ASSERT_NE(getenv, kinds.end());
    EXPECT_EQ(std::count(getenv, kinds.end(), K::AddPathRule), 1); // only the home rule after it
}

TEST(Policy, PortRuleCases) {
    struct Case {
        long version;
        std::optional<std::uint16_t> port;
        std::size_t rules;
    };
    const Case cases[] = {{4, std::nullopt, 0}, {4, 0, 1}, {3, 3128, 0}, {6, 65535, 1}};
    for (const Case& c : cases) {
        FakeKernel k = machine(c.version);
        auto p = full_profile();
        p.proxy_port = c.port;
        ASSERT_TRUE(apply_landlock(p, k, {"/abi"}));
        const auto ports = k.of(K::AddNetRule);
        ASSERT_EQ(ports.size(), c.rules) << c.version;
        if (c.rules == 1) {
            EXPECT_EQ(ports[0].port, *c.port);
        }
    }
}

// Each failure returns its text, stops at once and leaves no descriptor open.
TEST(Policy, FailuresStopAndCloseEverything) {
    struct Case {
        const char* name;
        void (*script)(FakeKernel&);
        const char* text;
        std::size_t rules; // path rules handed to the kernel before the stop
    };
    const Case cases[] = {
        {"create", [](FakeKernel& k) { k.create_error = ENOMEM; },
         "failed to create a ruleset: Cannot allocate memory (os error 12)", 0},
        {"open tool_dirs", [](FakeKernel& k) { k.files.at("/tools").open_error = EMFILE; },
         "failed to open \"/tools\": Too many open files (os error 24)", 3},
        {"add git_dir",
         [](FakeKernel& k) {
             k.add_rule_error = EBADF;
             k.add_rule_fail_at = 2;
         },
         "failed to add a rule: Bad file descriptor (os error 9)", 2},
        {"fstat worktree_path", [](FakeKernel& k) { k.files.at("/w").fstat_error = EIO; },
         "failed to open \"/w\": Input/output error (os error 5)", 0},
        {"open home", [](FakeKernel& k) { k.files.at("/home/u").open_error = ENFILE; },
         "failed to open \"/home/u\": Too many open files in system (os error 23)", 16},
        {"link in the work tree leads to the root",
         [](FakeKernel& k) {
             k.files.erase("/w/.git");
             k.add_link("/w/.git", "/");
         },
         "symbolic link \"/w/.git\" -> \"/\" lies in a writable place and leads outside every "
         "writable place; refusing \"/w/.git\"",
         0},
        {"add port",
         [](FakeKernel& k) {
             k.add_rule_error = EINVAL;
             k.add_rule_fail_at = 18;
         },
         "failed to add a rule: Invalid argument (os error 22)", 17},
        {"restrict", [](FakeKernel& k) { k.restrict_error = EPERM; },
         "failed to restrict the calling thread: Operation not permitted (os error 1)", 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel k = machine(6);
        c.script(k);
        auto r = apply_landlock(full_profile(), k, {"/abi"});
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().to_string(), c.text);
        EXPECT_EQ(k.of(K::AddPathRule).size(), c.rules);
        EXPECT_EQ(k.stderr_text(), "");
        EXPECT_EQ(k.open_fds(), 0U);
        EXPECT_TRUE(k.bad_closes.empty());
    }
}

struct Recorder : PolicyObserver {
    std::vector<std::string> log;
    void on_rights(const PolicyRights& r) override {
        log.push_back("level " + std::to_string(r.level));
    }
    void on_created(const RulesetCreated& c) override {
        log.push_back("handled " + std::to_string(c.handled_fs().bits()) + " " +
                      std::to_string(c.handled_net().bits()));
    }
    void on_path_rule(const PathRuleEvent& e) override {
        static constexpr const char* kStatus[] = {"added", "dropped", "inert", "absent"};
        log.push_back(std::string(row_name(e.rule.row)) + " " + e.rule.path + " " +
                      kStatus[static_cast<int>(e.status)] + " " + std::to_string(e.granted.bits()) +
                      (e.directory_rights_removed ? " not-dir" : "") +
                      (e.stat_error != 0 ? " errno " + std::to_string(e.stat_error) : ""));
    }
    void on_port_rule(const PortRuleEvent& e) override {
        log.push_back("port " + std::to_string(e.port) + " " + e.outcome.granted.to_string());
    }
    void on_enforced(const RestrictionStatus& s) override {
        log.push_back("enforced " + std::to_string(static_cast<int>(s.enforcement)));
    }
};

// The explainer's path: the same sequence against a dry-run kernel over the
// "real" (here: fake) one, with an observer.
TEST(Policy, DryRunExplainsWithoutConfining) {
    FakeKernel base = machine(4);
    auto p = full_profile();
    p.agent_config_dirs = {"/missing"};
    p.tool_dirs = {};
    DryRunKernel dry(base);
    Recorder rec;
    ASSERT_TRUE(apply_landlock(p, dry, {"/abi", &rec}));
    EXPECT_TRUE(base.of(K::CreateRuleset).empty());
    EXPECT_TRUE(base.of(K::AddPathRule).empty());
    EXPECT_TRUE(base.of(K::Prctl).empty());
    EXPECT_TRUE(base.of(K::RestrictSelf).empty());
    EXPECT_EQ(base.open_fds(), 0U);
    EXPECT_EQ(dry.actions().size(),
              1U + 15U + 1U + 1U + 1U); // create, paths, port, prctl, restrict
    EXPECT_EQ(dry.actions().front().handled_fs, 0x7FFFU);
    ASSERT_GE(rec.log.size(), 6U);
    EXPECT_EQ(rec.log[0], "level 4");
    EXPECT_EQ(rec.log[1], "handled 32767 3");
    EXPECT_EQ(rec.log[4], "agent_config_dirs /missing absent 0 errno 2");
    EXPECT_EQ(rec.log[5], "user_allowed_paths /etc/file added 5 not-dir");
    EXPECT_EQ(rec.log[rec.log.size() - 3], "home /home/u added 16678");
    EXPECT_EQ(rec.log[rec.log.size() - 2], "port 3128 BitFlags<AccessNet>(0b10, ConnectTcp)");
    EXPECT_EQ(rec.log.back(), "enforced 1"); // Partial: a file rule lost its directory rights
}

} // namespace
} // namespace morvik::sandbox
