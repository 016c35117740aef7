// The ruleset layer against the fake kernel.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sandbox/ruleset.hpp"
#include "support/fake_kernel.hpp"

namespace morvik::sandbox {
namespace {

using testing::FakeKernel;
using K = testing::FakeCall::Kind;
using ::testing::ElementsAre;

FakeKernel kernel_at(long version) {
    FakeKernel k;
    k.set_version(version);
    k.add_dir("/d");
    k.add_file("/f");
    return k;
}

RulesetCreated created(FakeKernel& k, AccessFs fs, AccessNet net = {}) {
    Ruleset r(k);
    EXPECT_TRUE(r.handle_access(fs));
    if (!net.empty()) {
        EXPECT_TRUE(r.handle_access(net));
    }
    auto c = std::move(r).create();
    EXPECT_TRUE(c);
    return std::move(*c);
}

// A rule on `path` as the path walk hands it over: its descriptor and status.
PathBeneath beneath(FakeKernel& k, const std::string& path, AccessFs access) {
    const SysResult fd = k.open_no_links(kCurrentDirectory, path);
    EXPECT_GE(fd.value, 0) << path;
    const int raw = static_cast<int>(fd.value);
    return PathBeneath{PathFd::adopt(UniqueFd(k, raw), k.fstat(raw)), access};
}

TEST(KernelSupport, Query) {
    using Kd = KernelSupport::Kind;
    struct Case {
        long version;
        int error;
        KernelSupport want;
    };
    const Case cases[] = {
        {0, 0, {Kd::Available, 0, 0}},
        {1, 0, {Kd::Available, 1, 1}},
        {3, 0, {Kd::Available, 3, 3}},
        {6, 0, {Kd::Available, 6, 6}},
        {7, 0, {Kd::Available, 7, 6}},
        {0, ENOSYS, {Kd::Missing, 0, 0, ENOSYS}},
        {0, EOPNOTSUPP, {Kd::Disabled, 0, 0, EOPNOTSUPP}},
        {0, EPERM, {Kd::Missing, 0, 0, EPERM}},
    };
    for (const Case& c : cases) {
        FakeKernel k;
        k.version_result = c.version;
        k.version_error = c.error;
        EXPECT_EQ(KernelSupport::query(k), c.want) << c.version << " " << c.error;
        ASSERT_EQ(k.calls.size(), 1U);
        EXPECT_EQ(k.calls[0].size, 0U);
        EXPECT_EQ(k.calls[0].flags, 1U);
    }
}

// Declaring the rights of level 5 (fs) and the TCP rights on kernels 0..10.
TEST(Ruleset, HandleAccessPerKernelLevel) {
    struct Case {
        long kernel;
        SupportState state;
        std::uint64_t fs, net;
    };
    const Case cases[] = {
        {0, SupportState::Unsupported, 0, 0},    {1, SupportState::Partial, 0x1FFF, 0},
        {2, SupportState::Partial, 0x3FFF, 0},   {3, SupportState::Partial, 0x7FFF, 0},
        {4, SupportState::Partial, 0x7FFF, 0x3}, {5, SupportState::Full, 0xFFFF, 0x3},
        {6, SupportState::Full, 0xFFFF, 0x3},    {7, SupportState::Full, 0xFFFF, 0x3},
        {10, SupportState::Full, 0xFFFF, 0x3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kernel);
        FakeKernel k = kernel_at(c.kernel);
        Ruleset r(k);
        ASSERT_TRUE(r.handle_access(AccessFs::from_all(5)));
        ASSERT_TRUE(r.handle_access(AccessNet(0x3)));
        EXPECT_EQ(r.state(), c.state);
        EXPECT_EQ(r.requested_fs().bits(), 0xFFFFU);
        EXPECT_EQ(r.requested_net().bits(), 0x3U);
        EXPECT_EQ(r.supported_fs().bits(), c.fs);
        EXPECT_EQ(r.supported_net().bits(), c.net);
        auto cr = std::move(r).create();
        ASSERT_TRUE(cr);
        const auto creates = k.of(K::CreateRuleset);
        if (c.kernel == 0) {
            EXPECT_TRUE(creates.empty());
            EXPECT_EQ(cr->fd(), -1);
            EXPECT_EQ(cr->state(), SupportState::Inert);
            continue;
        }
        ASSERT_EQ(creates.size(), 1U);
        EXPECT_EQ(creates[0].handled_fs, c.fs);
        EXPECT_EQ(creates[0].handled_net, c.net);
        EXPECT_EQ(creates[0].scoped, 0U);
        EXPECT_EQ(creates[0].size, 24U);
        EXPECT_EQ(creates[0].flags, 0U);
        EXPECT_TRUE(cr->no_new_privs());
    }
}

// The rights of later versions belong to no level: the kernel's reported
// version decides whether they are supported (ResolveUnix from 9, the UDP
// pair from 10), while the effective level stays 6.
TEST(Ruleset, NewerRightsFollowTheReportedVersion) {
    struct Case {
        long kernel;
        SupportState state;
        std::uint64_t fs, net;
    };
    const Case cases[] = {
        {6, SupportState::Partial, 0xFFFF, 0x3},  {8, SupportState::Partial, 0xFFFF, 0x3},
        {9, SupportState::Partial, 0x1FFFF, 0x3}, {10, SupportState::Full, 0x1FFFF, 0xF},
        {11, SupportState::Full, 0x1FFFF, 0xF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kernel);
        FakeKernel k = kernel_at(c.kernel);
        Ruleset r(k);
        EXPECT_EQ(r.support().level, 6U);
        ASSERT_TRUE(r.handle_access(AccessFs(0x1FFFF)));
        ASSERT_TRUE(r.handle_access(AccessNet(0xF)));
        EXPECT_EQ(r.state(), c.state);
        EXPECT_EQ(r.supported_fs().bits(), c.fs);
        EXPECT_EQ(r.supported_net().bits(), c.net);
        auto cr = std::move(r).create();
        ASSERT_TRUE(cr);
        EXPECT_EQ(k.of(K::CreateRuleset).at(0).handled_fs, c.fs);
        EXPECT_EQ(k.of(K::CreateRuleset).at(0).handled_net, c.net);
        // A rule asking for the newer rights keeps what the kernel supports.
        auto dir = cr->add_rule(beneath(k, "/d", AccessFs::ReadFile | AccessFs::ResolveUnix));
        ASSERT_TRUE(dir);
        EXPECT_EQ(dir->granted.bits(), c.fs & 0x10004);
        auto udp = cr->add_rule(NetPort{53, AccessNet::ConnectSendUdp});
        ASSERT_TRUE(udp);
        EXPECT_EQ(udp->disposition,
                  c.net & 0x8 ? RuleDisposition::Added : RuleDisposition::Dropped);
    }
    // A kernel without Landlock supports none of them.
    FakeKernel none;
    none.set_no_landlock(ENOSYS);
    Ruleset r(none);
    ASSERT_TRUE(r.handle_access(AccessFs::ResolveUnix));
    EXPECT_EQ(r.state(), SupportState::Unsupported);
}

// ResolveUnix applies to the socket file itself: a rule on a non-directory
// keeps it.
TEST(Ruleset, FileRuleKeepsResolveUnix) {
    FakeKernel k = kernel_at(9);
    RulesetCreated r = created(k, AccessFs(0x1000D));
    auto out = r.add_rule(beneath(k, "/f", AccessFs(0x1000D)));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->granted.bits(), 0x10005U);
    EXPECT_TRUE(out->directory_rights_removed);
}

TEST(Ruleset, DeclarationErrors) {
    FakeKernel k = kernel_at(6);
    {
        Ruleset r(k);
        auto e = r.handle_access(AccessFs());
        ASSERT_FALSE(e);
        EXPECT_EQ(e.error().kind, RulesetError::Kind::HandleAccesses);
        EXPECT_EQ(e.error().compat.kind, CompatError::Kind::Empty);
        EXPECT_EQ(e.error().to_string(), "empty access-right");
        EXPECT_EQ(r.state(), SupportState::Inert);
    }
    {
        Ruleset r(k);
        auto e = r.handle_access(AccessFs(0x60001));
        ASSERT_FALSE(e);
        EXPECT_EQ(
            e.error().to_string(),
            "unknown access-rights (at build time): BitFlags<AccessFs>(0b1100000000000000000)");
        EXPECT_EQ(r.requested_fs().bits(), 0x60001U);
        EXPECT_EQ(r.state(), SupportState::Inert);
    }
    {
        Ruleset r(k);
        auto e = r.handle_access(AccessNet(0x12));
        ASSERT_FALSE(e);
        EXPECT_EQ(e.error().domain, AccessDomain::Net);
        EXPECT_EQ(e.error().to_string(),
                  "unknown access-rights (at build time): BitFlags<AccessNet>(0b10000)");
    }
    auto missing = Ruleset(k).create();
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().inner, RulesetError::Inner::MissingHandledAccess);
    EXPECT_EQ(missing.error().to_string(), "missing access");

    k.create_error = EPERM;
    Ruleset r(k);
    ASSERT_TRUE(r.handle_access(AccessFs(0xD)));
    auto failed = std::move(r).create();
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().to_string(),
              "failed to create a ruleset: Operation not permitted (os error 1)");
    EXPECT_EQ(k.open_fds(), 0U);
}

TEST(Ruleset, FileRuleKeepsOnlyFileRights) {
    FakeKernel k = kernel_at(6);
    RulesetCreated r = created(k, AccessFs(0xD));
    const int parent = k.live_fds.size() + 100; // next descriptor
    auto out = r.add_rule(beneath(k, "/f", AccessFs(0xD)));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->disposition, RuleDisposition::Added);
    EXPECT_EQ(out->granted.bits(), 0x5U);
    EXPECT_TRUE(out->directory_rights_removed);
    EXPECT_EQ(r.state(), SupportState::Partial);
    const auto adds = k.of(K::AddPathRule);
    ASSERT_EQ(adds.size(), 1U);
    EXPECT_EQ(adds[0].access, 0x5U);
    EXPECT_EQ(adds[0].parent_fd, parent);
    EXPECT_EQ(adds[0].fd, r.fd());
    EXPECT_THAT(k.kinds(), ElementsAre(K::VersionQuery, K::CreateRuleset, K::OpenNoLinks, K::Fstat,
                                       K::AddPathRule, K::Close));
    auto st = std::move(r).restrict_self();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->enforcement, Enforcement::Partial);
    EXPECT_EQ(k.open_fds(), 0U);
}

// Each failing add_rule returns its error text and closes the rule's PathFd.
TEST(Ruleset, AddRuleErrors) {
    struct Case {
        const char* name;
        const char* path;
        std::uint64_t access;
        int fstat_error, add_error;
        const char* text;
        SupportState state;
    };
    const Case cases[] = {
        {"dir-only on file", "/f", 0x8, 0, 0, "empty access-right", SupportState::Inert},
        {"unhandled", "/d", 0x1000, 0, 0,
         "access-rights not handled by the ruleset: BitFlags<AccessFs>(0b1000000000000, MakeSym)",
         SupportState::Full},
        {"fstat", "/d", 0x1, EBADF, 0,
         "failed to check file descriptor type: Bad file descriptor (os error 9)",
         SupportState::Inert},
        {"add call", "/d", 0x1, 0, EINVAL, "failed to add a rule: Invalid argument (os error 22)",
         SupportState::Full},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel k = kernel_at(6);
        k.files.at(c.path).fstat_error = c.fstat_error;
        k.add_rule_error = c.add_error;
        RulesetCreated r = created(k, AccessFs(0xD));
        auto out = r.add_rule(beneath(k, c.path, AccessFs(c.access)));
        ASSERT_FALSE(out);
        EXPECT_EQ(out.error().kind, RulesetError::Kind::AddRules);
        EXPECT_EQ(out.error().to_string(), c.text);
        EXPECT_EQ(r.state(), c.state);
        EXPECT_EQ(k.open_fds(), 1U); // only the ruleset
    }
}

TEST(Ruleset, UnsupportedRuleIsDropped) {
    FakeKernel k = kernel_at(3);
    RulesetCreated r = created(k, AccessFs::from_all(5), AccessNet(0x3));
    auto out = r.add_rule(beneath(k, "/d", AccessFs::IoctlDev));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->disposition, RuleDisposition::Dropped);
    auto port = r.add_rule(NetPort{80, AccessNet::ConnectTcp});
    ASSERT_TRUE(port);
    EXPECT_EQ(port->disposition, RuleDisposition::Dropped);
    EXPECT_TRUE(k.of(K::AddPathRule).empty());
    EXPECT_TRUE(k.of(K::AddNetRule).empty());
    EXPECT_EQ(k.open_fds(), 1U);
}

TEST(Ruleset, NetRules) {
    FakeKernel k = kernel_at(4);
    RulesetCreated r = created(k, AccessFs(0x1), AccessNet(0x3));
    ASSERT_TRUE(r.add_rule(NetPort{3128, AccessNet::ConnectTcp}));
    const auto adds = k.of(K::AddNetRule);
    ASSERT_EQ(adds.size(), 1U);
    EXPECT_EQ(adds[0].access, 0x2U);
    EXPECT_EQ(adds[0].port, 3128U);

    RulesetCreated fs_only = created(k, AccessFs(0x1));
    auto e = fs_only.add_rule(NetPort{1, AccessNet::ConnectTcp});
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error().to_string(),
              "access-rights not handled by the ruleset: BitFlags<AccessNet>(0b10, ConnectTcp)");
    auto empty = r.add_rule(NetPort{1, AccessNet()});
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().domain, AccessDomain::Net);
    EXPECT_EQ(empty.error().to_string(), "empty access-right");
}

TEST(Ruleset, RestrictSelfOutcomes) {
    struct Case {
        const char* name;
        long kernel;
        int set_error, get_error;
        long get_result;
        int restrict_error;
        const char* text; // nullptr: success
        bool nnp;
        std::vector<K> tail;
    };
    const Case cases[] = {
        {"full", 6, 0, 0, 0, 0, nullptr, true, {K::Prctl, K::RestrictSelf, K::Close}},
        {"set fails, flag known",
         6,
         EPERM,
         0,
         0,
         0,
         "failed to set no_new_privs: Operation not permitted (os error 1)",
         false,
         {K::Prctl, K::Prctl, K::Close}},
        {"set and get fail, live",
         6,
         EINVAL,
         EINVAL,
         0,
         0,
         "failed to set no_new_privs: Invalid argument (os error 22)",
         false,
         {K::Prctl, K::Prctl, K::Close}},
        {"set and get fail, inert", 0, EINVAL, EINVAL, 0, 0, nullptr, false, {K::Prctl, K::Prctl}},
        {"set fails, get answers 1, inert",
         0,
         EINVAL,
         0,
         1,
         0,
         "failed to set no_new_privs: Invalid argument (os error 22)",
         false,
         {K::Prctl, K::Prctl}},
        {"restrict fails",
         6,
         0,
         0,
         0,
         E2BIG,
         "failed to restrict the calling thread: Argument list too long (os error 7)",
         true,
         {K::Prctl, K::RestrictSelf, K::Close}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel k = kernel_at(c.kernel);
        k.prctl_set_error = c.set_error;
        k.prctl_get_error = c.get_error;
        k.prctl_get_result = c.get_result;
        k.restrict_error = c.restrict_error;
        RulesetCreated r = created(k, AccessFs(0xD));
        const std::size_t before = k.calls.size();
        auto st = std::move(r).restrict_self();
        std::vector<K> tail;
        for (std::size_t i = before; i < k.calls.size(); ++i)
            tail.push_back(k.calls[i].kind);
        EXPECT_EQ(tail, c.tail);
        EXPECT_EQ(k.open_fds(), 0U);
        if (c.text == nullptr) {
            ASSERT_TRUE(st);
            EXPECT_EQ(st->no_new_privs, c.nnp);
            continue;
        }
        ASSERT_FALSE(st);
        EXPECT_EQ(st.error().kind, RulesetError::Kind::RestrictSelf);
        EXPECT_EQ(st.error().to_string(), c.text);
    }
}

} // namespace
} // namespace morvik::sandbox
