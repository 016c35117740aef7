// A hostile command tries the doors that Landlock alone leaves open, through
// the built launcher on this machine's kernel; each door is refused while the
// granted action next to it still works. As root and as an unprivileged user.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

constexpr int kAllowed = 0;
constexpr int kRefused = 13; // EACCES or EPERM
constexpr int kOther = 1;    // another errno, printed by the probe
constexpr uid_t kNobody = 65534;

struct Identity {
    const char* name;
    bool unprivileged;
};

struct Attempt {
    const char* what;
    std::vector<std::string> args; // "$s" stands for the scratch dir
    int status;
    std::string out = {}; // checked when not empty
};

class HostileTest : public ::testing::TestWithParam<Identity> {
  protected:
    void SetUp() override {
        if (GetParam().unprivileged && ::geteuid() != 0)
            GTEST_SKIP() << "needs root to switch user";
        work_ = scratch_.make_dir("worktree");
        scratch_.make_dir("tools");
        home_ = scratch_.make_dir("home");
        probe_ = scratch_.copy_file(kProbe, "tools/probe", 0755);
        launcher_ = scratch_.copy_file(kLauncher, "launcher", 0755);
        profile_ = write_profile("profile.json", {});
        if (unprivileged()) scratch_.chown_all(kNobody);
    }

    [[nodiscard]] bool unprivileged() const { return GetParam().unprivileged; }

    // A profile granting the work tree, the tools and the proxy port, with
    // the settings of `extra`.
    std::string write_profile(const std::string& name, ProfileSpec extra) {
        extra.worktree_path = work_;
        extra.git_dir = work_;
        extra.tool_dirs = {scratch_ / "tools"};
        if (!extra.proxy_port) extra.proxy_port = proxy_.port();
        const std::string path = scratch_.write_file(name, profile_json(extra));
        if (unprivileged()) {
            EXPECT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
        }
        return path;
    }

    RunOptions options() const {
        RunOptions o{.env = std::vector<std::string>{"HOME=" + home_, "PATH=/usr/bin:/bin"},
                     .launcher = launcher_};
        if (unprivileged()) o.uid = kNobody;
        return o;
    }

    RunResult probe(std::vector<std::string> args, const std::string& profile = {}) {
        for (std::string& a : args)
            if (a.starts_with("$s")) a.replace(0, 2, scratch_.path());
        args.insert(args.begin(), probe_);
        return run_sandboxed(profile.empty() ? profile_ : profile, args, options());
    }

    void check(const std::vector<Attempt>& table, const std::string& profile = {}) {
        for (const Attempt& a : table) {
            SCOPED_TRACE(a.what);
            const RunResult r = probe(a.args, profile);
            EXPECT_EQ(r.status, a.status) << r.out << r.err;
            if (!a.out.empty()) {
                EXPECT_EQ(r.out, a.out);
            }
            EXPECT_EQ(r.err, "");
        }
    }

    ScratchDir scratch_;
    TcpListener proxy_;
    std::string work_, home_, probe_, launcher_, profile_;
};

TEST_P(HostileTest, NetworkOnlyThroughTheProxy) {
    const std::string udp_port = std::to_string(proxy_.port());
    check({
        {"TCP to the proxy port", {"connect", std::to_string(proxy_.port())}, kAllowed},
        {"TCP with SOCK_NONBLOCK | SOCK_CLOEXEC", {"socket", "2", "526337", "6"}, kAllowed},
        {"TCP over IPv6", {"socket", "10", "1", "0"}, kAllowed},
        {"unix socket", {"socket", "1", "1", "0"}, kAllowed},
        {"netlink route (name lookups)", {"socket", "16", "3", "0"}, kAllowed},
        {"unix socket with high bits", {"socket-high", "1", "1", "0"}, kAllowed},
        {"MPTCP", {"socket", "2", "1", "262"}, kOther, "errno 93\n"},
        {"MPTCP with high bits", {"socket-high", "2", "1", "262"}, kOther, "errno 93\n"},
        {"UDP datagram", {"udp", udp_port}, kRefused, "errno 13\n"},
        {"UDP socket with high bits", {"socket-high", "2", "2", "0"}, kRefused, "errno 13\n"},
        {"UDP with SOCK_NONBLOCK", {"socket", "10", "2050", "17"}, kRefused, "errno 13\n"},
        {"ICMP datagram", {"socket", "2", "2", "1"}, kRefused, "errno 13\n"},
        {"raw IP", {"socket", "2", "3", "1"}, kRefused, "errno 13\n"},
        {"SCTP stream", {"socket", "2", "1", "132"}, kRefused, "errno 13\n"},
        {"TCP protocol with high bits", {"socket-high", "2", "1", "6"}, kAllowed},
        {"packet", {"socket", "17", "3", "0"}, kOther, "errno 97\n"},
        {"packet with high bits", {"socket-high", "17", "3", "0"}, kOther, "errno 97\n"},
        {"vsock", {"socket", "40", "1", "0"}, kOther, "errno 97\n"},
        {"netlink audit", {"socket", "16", "3", "9"}, kOther, "errno 97\n"},
        {"io_uring", {"io_uring"}, kOther, "errno 38\n"},
        // socketpair() under the same rules as socket().
        {"unix socket pair", {"socketpair", "1", "1", "0"}, kAllowed},
        {"packet socket pair", {"socketpair", "17", "3", "0"}, kOther, "errno 97\n"},
        {"vsock socket pair", {"socketpair", "40", "1", "0"}, kOther, "errno 97\n"},
        {"netlink audit socket pair", {"socketpair", "16", "3", "9"}, kOther, "errno 97\n"},
        {"UDP socket pair", {"socketpair", "2", "2", "0"}, kRefused, "errno 13\n"},
    });
#if defined(__x86_64__)
    check({
        {"i386 socket through int 0x80", {"foreign-socket", "int80"}, kOther, "errno 38\n"},
        {"x32 socket", {"foreign-socket", "x32"}, kOther, "errno 38\n"},
    });
#endif
    const std::string udp = write_profile("udp.json", {.allow_udp = true});
    check(
        {
            {"UDP datagram with allow_udp", {"udp", udp_port}, kAllowed},
            {"UDP protocol 17", {"socket", "2", "2", "17"}, kAllowed},
            {"ICMP datagram still", {"socket", "2", "2", "1"}, kRefused, "errno 13\n"},
            {"raw IP still", {"socket", "2", "3", "255"}, kRefused, "errno 13\n"},
        },
        udp);
}

TEST_P(HostileTest, TerminalInputCannotBeInjected) {
    // Under `script` the command has a real terminal on descriptors 0 to 2.
    const auto in_terminal = [&](const std::string& action, const std::string& target) {
        const std::string command =
            launcher_ + " --profile " + profile_ + " -- " + probe_ + " " + action + " " + target;
        RunOptions o = options();
        return run_process({"/usr/bin/script", "-qec", command, "/dev/null"}, o);
    };
    struct Case {
        const char* action;
        const char* target;
        int status;
    };
    const Case cases[] = {
        {"winsize", "", kAllowed},         // window size: read and set
        {"tiocsti", "-", kRefused},        // keystrokes into standard input
        {"tiocsti", "/dev/tty", kRefused}, // into the controlling terminal
        {"tiocsti-high", "-", kRefused},   // the request with high bits set
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " " + c.target);
        const RunResult r = in_terminal(c.action, c.target);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (c.status == kRefused) {
            EXPECT_NE(r.out.find("errno 1"), std::string::npos) << r.out;
        }
    }
}

// A process started by the test, outside the confinement, as the same user.
class OutsideProcess {
  public:
    explicit OutsideProcess(std::optional<uid_t> uid) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (uid && (::setgid(*uid) != 0 || ::setuid(*uid) != 0)) ::_exit(1);
            ::execl("/bin/sleep", "sleep", "60", nullptr);
            ::_exit(1);
        }
    }
    ~OutsideProcess() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool alive() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }

  private:
    pid_t pid_ = -1;
};

TEST_P(HostileTest, ProcessesOutsideAreOutOfReach) {
    OutsideProcess outside(unprivileged() ? std::optional<uid_t>(kNobody) : std::nullopt);
    // An abstract unix socket listened on outside.
    const std::string name = "morvik-e2e-" + std::to_string(::getpid());
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(server, 4), 0);
    check({
        {"signal a child inside", {"kill-inside"}, kAllowed},
        {"abstract socket inside", {"abstract-inside"}, kAllowed},
        {"signal a process outside", {"kill", std::to_string(outside.pid())}, kRefused},
        {"abstract socket outside", {"abstract", name}, kRefused},
    });
    EXPECT_TRUE(outside.alive());
    ::close(server);
}

TEST_P(HostileTest, CommandHoldsNoCapabilities) {
    // Every set empty; an unprivileged launcher keeps the bounding set it
    // was given (nothing can be gained through it under no-new-privileges).
    const RunResult caps = probe({"caps"});
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb", "CapBnd"}) {
        if (unprivileged() && std::string(set) == "CapBnd") continue;
        EXPECT_NE(caps.out.find(std::string(set) + ":\t0000000000000000\n"), std::string::npos)
            << set << "\n"
            << caps.out;
    }
    const std::string build = "cd " + work_ +
                              " && printf 'int main(void){return 0;}\\n' > m.c && cc -o m m.c && "
                              "./m && rm -r m m.c";
    check({
        {"build in the work tree", {"exec", "/bin/sh", "-c", build}, kAllowed},
        {"write /dev/null", {"write", "/dev/null"}, kAllowed},
        {"read /dev/urandom", {"read", "/dev/urandom"}, kAllowed},
        {"open a pseudo-terminal", {"pty"}, kAllowed},
        {"make a block device", {"mknod-block", "$s/worktree/loop"}, kRefused},
        {"open a block device", {"readwrite", "/dev/loop0"}, kRefused},
        {"write the kernel log", {"write", "/dev/kmsg"}, kRefused},
        {"change the network configuration", {"set-mtu"}, kRefused},
    });
    if (unprivileged()) return;
    // As before with keep_capabilities: root keeps its capabilities and /dev.
    const std::string keep = write_profile("keep.json", {.keep_capabilities = true});
    const RunResult kept = probe({"caps"}, keep);
    EXPECT_EQ(kept.out.find("CapEff:\t0000000000000000"), std::string::npos) << kept.out;
    check({{"open a block device", {"readwrite", "/dev/loop0"}, kAllowed}}, keep);
}

TEST_P(HostileTest, NoSetIdProgramIsPlanted) {
    // A root command still owns uid 0's files, inside the rules or not
    // (Landlock does not cover chmod): set-ID modes are refused. An
    // unprivileged command may set them, on its own files only.
    const std::string outside = scratch_.write_file("outside", "#!/bin/sh\n");
    const std::string inside = scratch_.write_file("worktree/tool", "#!/bin/sh\n");
    if (unprivileged()) {
        ASSERT_EQ(::chown(outside.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(::chown(inside.c_str(), kNobody, kNobody), 0);
    }
    const int set_id = unprivileged() ? kAllowed : kRefused;
    check({
        {"chmod 0755 outside every rule", {"mode", "chmod", outside, "0755"}, kAllowed},
        {"chmod 04755 outside every rule", {"mode", "chmod", outside, "04755"}, set_id},
        {"chmod 02755 outside every rule", {"mode", "chmod", outside, "02755"}, set_id},
        {"fchmod 04755", {"mode", "fchmod", inside, "04755"}, set_id},
        {"fchmodat2 06755", {"mode", "fchmodat2", inside, "06755"}, set_id},
        {"create a file 0644", {"mode", "create", work_ + "/new", "0644"}, kAllowed},
        {"create a file 04755", {"mode", "create", work_ + "/suid", "04755"}, set_id},
        {"mknod a file 0644", {"mode", "mknod", work_ + "/node", "0644"}, kAllowed},
        {"mknod a file 02755", {"mode", "mknod", work_ + "/sgid", "02755"}, set_id},
        {"unnamed file 0600", {"mode", "tmpfile", work_, "0600"}, kAllowed},
        {"unnamed file 04755", {"mode", "tmpfile", work_, "04755"}, set_id},
    });
    check({{"openat2 (mode unreadable by the filter)",
            {"openat2", inside},
            unprivileged() ? kAllowed : kOther,
            unprivileged() ? "" : "errno 38\n"}});
    struct stat st {};
    for (const std::string& path : {outside, inside}) {
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ((st.st_mode & 06000) != 0, unprivileged()) << path;
    }
    EXPECT_EQ(::access((work_ + "/suid").c_str(), F_OK) == 0, unprivileged());
    EXPECT_EQ(::access((work_ + "/new").c_str(), F_OK), 0);
}

TEST_P(HostileTest, MinimumAbiAndDenialLogging) {
    const std::string marker = scratch_ / "worktree/ran";
    const std::string seven = write_profile("min7.json", {.minimum_landlock_abi = 7});
    const std::string eight = write_profile("min8.json", {.minimum_landlock_abi = 8});
    const std::string logged = write_profile("log.json", {.log_denials = true});
    check({{"minimum 7 on this kernel", {"write", marker}, kAllowed}}, seven);
    check({{"denials logged", {"list", "/var/tmp"}, kRefused}}, logged);
    check({{"granted with denials logged", {"write", marker}, kAllowed}}, logged);
    ::unlink(marker.c_str());
    const RunResult r = probe({"write", marker}, eight);
    EXPECT_EQ(r.err, "Failed to apply Landlock rules: the kernel's Landlock ABI version is 7, "
                     "below the required minimum_landlock_abi 8\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(::access(marker.c_str(), F_OK), 0) << "the command ran";
}

#ifdef MORVIK_SECCOMP_RUN_BIN
// A kernel without Landlock, simulated: no TCP rules exist, so TCP is refused
// unless the profile names a proxy, and a required minimum stops the run.
TEST_P(HostileTest, KernelWithoutLandlock) {
    const std::string no_port = write_profile("noport.json", {.proxy_port = -1});
    const std::string min1 = write_profile("min1.json", {.minimum_landlock_abi = 1});
    TcpListener other;
    const auto run = [&](const std::string& profile, std::vector<std::string> args) {
        std::vector<std::string> argv = {
            MORVIK_SECCOMP_RUN_BIN, "ENOSYS", launcher_, "--profile", profile, "--", probe_};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, options());
    };
    const std::string warning = "Warning: Landlock sandbox not enforced by kernel\n";
    auto r = run(profile_, {"connect", std::to_string(other.port())});
    EXPECT_EQ(r.status, kAllowed) << "a proxy port was granted: TCP is open";
    EXPECT_EQ(r.err, warning);
    r = run(no_port, {"connect", std::to_string(other.port())});
    EXPECT_EQ(r.status, kRefused) << r.out;
    EXPECT_EQ(r.err, warning);
    r = run(no_port, {"socket", "1", "1", "0"});
    EXPECT_EQ(r.status, kAllowed);
    r = run(min1, {"write", work_ + "/ran"});
    EXPECT_EQ(r.err, "Failed to apply Landlock rules: the kernel has no Landlock (no ABI version: "
                     "Function not implemented (os error 38)), below the required "
                     "minimum_landlock_abi 1\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(::access((work_ + "/ran").c_str(), F_OK), 0) << "the command ran";
}
#endif

INSTANTIATE_TEST_SUITE_P(Users, HostileTest,
                         ::testing::Values(Identity{"root", false}, Identity{"nobody", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace morvik::e2e
