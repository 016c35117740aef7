// What the confined command may and may not do, on this machine's kernel.
// Each case runs the probe through the launcher, as root and as an
// unprivileged user (the launcher needs no privileges).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

constexpr int kAllowed = 0;
constexpr int kRefused = 13;
constexpr uid_t kNobody = 65534;

using Listener = TcpListener;

struct Identity {
    const char* name;
    bool unprivileged;
};

class ConfinementTest : public ::testing::TestWithParam<Identity> {
  protected:
    void SetUp() override {
        if (GetParam().unprivileged && ::geteuid() != 0)
            GTEST_SKIP() << "needs root to switch user";
        work_ = scratch_.make_dir("worktree");
        git_ = scratch_.make_dir("git");
        agent_ = scratch_.make_dir("agent");
        tools_ = scratch_.make_dir("tools");
        extra_ = scratch_.make_dir("extra");
        outside_ = scratch_.make_dir("outside");
        home_ = scratch_.make_dir("home");
        probe_ = scratch_.copy_file(kProbe, "tools/probe", 0755);
        outside_probe_ = scratch_.copy_file(kProbe, "outside/probe", 0755);
        launcher_ = scratch_.copy_file(kLauncher, "launcher", 0755);
        scratch_.write_file("extra/file", "data");
        scratch_.write_file("outside/file", "data");
        scratch_.write_file("home/file", "data");
        ASSERT_EQ(::symlink(tools_.c_str(), (scratch_ / "tools-link").c_str()), 0);
        profile_ = scratch_.write_file(
            "profile.json",
            profile_json({.worktree_path = work_,
                          .git_dir = git_,
                          .agent_config_dirs = {agent_, scratch_ / "absent"},
                          .tool_dirs = {scratch_ / "tools-link", scratch_ / "dangling"},
                          .user_allowed_paths = {extra_, "relative/absent"},
                          .proxy_port = proxy_.port()}));
        if (GetParam().unprivileged) scratch_.chown_all(kNobody);
    }

    RunResult probe(std::vector<std::string> args) {
        args.insert(args.begin(), probe_);
        RunOptions options{.env = std::vector<std::string>{"HOME=" + home_, "PATH=/usr/bin:/bin"},
                           .launcher = launcher_};
        if (GetParam().unprivileged) options.uid = kNobody;
        return run_sandboxed(profile_, args, options);
    }

    ScratchDir scratch_;
    Listener proxy_;
    std::string work_, git_, agent_, tools_, extra_, outside_, home_;
    std::string probe_, outside_probe_, launcher_, profile_;
};

struct Access {
    const char* what;
    std::vector<std::string> args; // "$s" stands for the scratch dir
    int expected;
};

TEST_P(ConfinementTest, FileAccessFollowsTheRules) {
    const std::string tmp_file = "/tmp/morvik-e2e-" + std::to_string(::getpid());
    const std::vector<Access> table = {
        {"write in the work tree", {"write", "$s/worktree/f"}, kAllowed},
        {"make a directory in the work tree", {"mkdir", "$s/worktree/d"}, kAllowed},
        {"write in the git dir", {"write", "$s/git/f"}, kAllowed},
        {"write in an agent config dir", {"write", "$s/agent/f"}, kAllowed},
        {"write in /tmp", {"write", tmp_file}, kAllowed},
        {"write to /dev/null", {"write", "/dev/null"}, kAllowed},
        {"read a tool dir file", {"read", "$s/tools/probe"}, kAllowed},
        {"write in a tool dir", {"write", "$s/tools/f"}, kRefused},
        {"read an extra path", {"read", "$s/extra/file"}, kAllowed},
        {"list an extra path", {"list", "$s/extra"}, kAllowed},
        {"write in an extra path", {"write", "$s/extra/f"}, kRefused},
        {"read a system file", {"read", "/etc/passwd"}, kAllowed},
        {"write in a system dir", {"write", "/etc/morvik-e2e-probe"}, kRefused},
        {"write in /usr", {"write", "/usr/morvik-e2e-probe"}, kRefused},
        {"read outside", {"read", "$s/outside/file"}, kRefused},
        {"write outside", {"write", "$s/outside/f"}, kRefused},
        {"list outside", {"list", "$s/outside"}, kRefused},
        {"list /var/tmp", {"list", "/var/tmp"}, kRefused},
        {"exec from a tool dir", {"exec", "$s/tools/probe", "nnp"}, kAllowed},
        {"exec from outside", {"exec", "$s/outside/probe", "nnp"}, kRefused},
        {"exec a system binary", {"exec", "/bin/true"}, kAllowed},
        {"home: write a file", {"write", "$s/home/new"}, kAllowed},
        {"home: read a file", {"read", "$s/home/file"}, kAllowed},
        {"home: truncate a file", {"truncate", "$s/home/file"}, kAllowed},
        {"home: list the directory", {"list", "$s/home"}, kRefused},
        {"home: make a directory", {"mkdir", "$s/home/d"}, kRefused},
        {"home: remove a file", {"unlink", "$s/home/file"}, kRefused},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args;
        for (std::string a : c.args) {
            if (a.starts_with("$s")) a.replace(0, 2, scratch_.path());
            args.push_back(a);
        }
        const auto r = probe(args);
        EXPECT_EQ(r.status, c.expected) << r.out << r.err;
        EXPECT_EQ(r.err, "");
    }
    ::unlink(tmp_file.c_str());
}

TEST_P(ConfinementTest, OnlyTheProxyPortMayBeConnected) {
    Listener other;
    EXPECT_EQ(probe({"connect", std::to_string(proxy_.port())}).status, kAllowed);
    EXPECT_EQ(probe({"connect", std::to_string(other.port())}).status, kRefused);
    EXPECT_EQ(probe({"bind", "0"}).status, kRefused);
    EXPECT_EQ(probe({"bind", std::to_string(other.port() + 1)}).status, kRefused);
}

TEST_P(ConfinementTest, CommandRunsWithNoNewPrivilegesAndNoLeakedDescriptors) {
    auto r = probe({"nnp"});
    EXPECT_EQ(r.out, "1\n");
    r = probe({"fds"});
    EXPECT_EQ(r.out, "0\n1\n2\n") << r.err;
}

TEST_P(ConfinementTest, CommandOutsideEveryGrantCannotBeExecuted) {
    const std::vector<std::string> command = {outside_probe_, "nnp"};
    RunOptions options{.env = std::vector<std::string>{"HOME=" + home_}, .launcher = launcher_};
    if (GetParam().unprivileged) options.uid = kNobody;
    const auto r = run_sandboxed(profile_, command, options);
    EXPECT_EQ(r.err,
              "Failed to exec " + outside_probe_ + ": couldn't exec process: Permission denied\n");
    EXPECT_EQ(r.status, 1);
}

INSTANTIATE_TEST_SUITE_P(Users, ConfinementTest,
                         ::testing::Values(Identity{"root", false}, Identity{"nobody", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace morvik::e2e
