// A hostile command tries the doors that Landlock alone leaves open, through
// the built launcher on this machine's kernel; each door is refused while the
// granted action next to it still works. As root and as an unprivileged user.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e/harness.hpp"

namespace morvik::e2e {
namespace {

class HostileTest : public Confined {};

TEST_P(HostileTest, NetworkOnlyThroughTheProxy) {
    check({
        {"TCP to the proxy port", {"connect", "$port"}},
        {"TCP with SOCK_NONBLOCK | SOCK_CLOEXEC", {"socket", "2", "526337", "6"}},
        {"TCP over IPv6", {"socket", "10", "1", "0"}},
        {"TCP protocol with high bits", {"socket-high", "2", "1", "6"}},
        {"unix socket", {"socket", "1", "1", "0"}},
        {"unix socket with high bits", {"socket-high", "1", "1", "0"}},
        {"unix socket pair", {"socketpair", "1", "1", "0"}},
        {"netlink route (name lookups)", {"socket", "16", "3", "0"}},
        {"UDP datagram", {"udp", "$port"}, "EACCES"},
        {"UDP socket with high bits", {"socket-high", "2", "2", "0"}, "EACCES"},
        {"UDP with SOCK_NONBLOCK", {"socket", "10", "2050", "17"}, "EACCES"},
        {"UDP socket pair", {"socketpair", "2", "2", "0"}, "EACCES"},
        {"ICMP datagram", {"socket", "2", "2", "1"}, "EACCES"},
        {"raw IP", {"socket", "2", "3", "1"}, "EACCES"},
        {"SCTP stream", {"socket", "2", "1", "132"}, "EACCES"},
        {"UDP datagram with allow_udp", {"udp", "$port"}, "ok", "", {.allow_udp = true}},
        {"UDP protocol 17 with allow_udp",
         {"socket", "2", "2", "17"},
         "ok",
         "",
         {.allow_udp = true}},
        {"ICMP datagram still", {"socket", "2", "2", "1"}, "EACCES", "", {.allow_udp = true}},
        {"raw IP still", {"socket", "2", "3", "255"}, "EACCES", "", {.allow_udp = true}},
    });
}

// The same filter on what only some hosts have: each row runs where the
// unconfined probe shows the host has it.
TEST_P(HostileTest, NetworkDoorsTheHostMayLack) {
    const auto row = [](const char* name, std::vector<std::string> command, const char* expect,
                        const Host& host) {
        return Row{.name = name, .command = command, .expect = expect, .host = host};
    };
    check({
        row("MPTCP", {"socket", "2", "1", "262"}, "EPROTONOSUPPORT", kMptcp),
        row("MPTCP with high bits", {"socket-high", "2", "1", "262"}, "EPROTONOSUPPORT", kMptcp),
        row("packet", {"socket", "17", "3", "0"}, "EAFNOSUPPORT", kPacketSockets),
        row("packet with high bits", {"socket-high", "17", "3", "0"}, "EAFNOSUPPORT",
            kPacketSockets),
        row("packet socket pair", {"socketpair", "17", "3", "0"}, "EAFNOSUPPORT", kPacketSockets),
        row("vsock", {"socket", "40", "1", "0"}, "EAFNOSUPPORT", kVsock),
        row("vsock socket pair", {"socketpair", "40", "1", "0"}, "EAFNOSUPPORT", kVsock),
        row("netlink audit", {"socket", "16", "3", "9"}, "EAFNOSUPPORT", kAuditNetlink),
        row("netlink audit socket pair", {"socketpair", "16", "3", "9"}, "EAFNOSUPPORT",
            kAuditNetlink),
        row("io_uring", {"io-uring-setup"}, "ENOSYS", kIoUring),
        {.name = "io_uring_enter on a ring the caller left open",
         .command = {"io-uring-enter", "9"},
         .expect = "ENOSYS",
         .host = kIoUring,
         .wrapper = {"$probe", "with-ring", "9"}},
        {.name = "io_uring_register (a personality) on a ring the caller left open",
         .command = {"io-uring-register", "9"},
         .expect = "ENOSYS",
         .host = kIoUring,
         .wrapper = {"$probe", "with-ring", "9"}},
        row("i386 socket through int 0x80", {"foreign-socket", "int80"}, "ENOSYS", kI386Entry),
        row("x32 socket", {"foreign-socket", "x32"}, "ENOSYS", kX32Entry),
    });
}

TEST_P(HostileTest, TerminalIsNotTamperedWith) {
    std::vector<Row> rows = {
        {"window size: read and set", {"winsize"}},
        {"keystrokes into standard input", {"tiocsti", "-"}, "EPERM"},
        {"keystrokes into the controlling terminal", {"tiocsti", "/dev/tty"}, "EPERM"},
        {"the request with high bits set", {"tiocsti-high", "-"}, "EPERM"},
        {"line discipline", {"tiocsetd"}, "EPERM"},
        {"exclusive mode", {"tiocexcl"}, "EPERM"},
    };
    for (Row& row : rows)
        row.wrapper = {"$probe", "terminal"};
    check(rows);
}

TEST_P(HostileTest, ProcessesAndServersOutsideAreOutOfReach) {
    const std::string tag = std::to_string(::getpid()) + (nobody() ? "-nobody" : "-root");
    const std::string abstract = "morvik-e2e-" + tag;
    const pid_t server = outside({"serve-abstract", abstract});
    ASSERT_GT(server, 0); // the row below signals it
    scratch_.make_dir("elsewhere");
    const std::string in_tmp = "/tmp/morvik-e2e-" + tag + ".sock";
    for (const std::string path : {"$w/s.sock", in_tmp.c_str(), "$s/elsewhere/s.sock"})
        outside({"serve-unix", expand(path)});
    check({
        {"signal a child inside", {"kill-child"}},
        {"abstract socket inside", {"abstract-self", abstract + "-inside"}},
        {"unix socket of its own in /tmp", {"unix-self", "/tmp/morvik-e2e-own-" + tag}},
        {"outside listener in the work tree", {"unix-connect", "$w/s.sock"}},
        {.name = "signal a process outside",
         .command = {"kill", std::to_string(server)},
         .expect = "EPERM",
         .abi = 6},
        {.name = "abstract socket outside",
         .command = {"abstract-connect", abstract},
         .expect = "EPERM",
         .abi = 6},
        {.name = "outside listener in /tmp",
         .command = {"unix-connect", in_tmp},
         .expect = "EACCES",
         .abi = 9},
        {.name = "outside listener elsewhere",
         .command = {"unix-connect", "$s/elsewhere/s.sock"},
         .expect = "EACCES",
         .abi = 9},
    });
    EXPECT_EQ(::kill(server, 0), 0) << "the outside process was killed";
    ::unlink(in_tmp.c_str());
}

// Resource limits, niceness, I/O priority and scheduling: the command's own,
// named as pid 0, and no other process's. (As root, the kernel also refuses
// all but the limit on the outside process, which holds capabilities the
// command lacks; as uid 65534 only the filter does.)
TEST_P(HostileTest, LimitsAndSchedulingOfItsOwnAlone) {
    const std::string setsid = "/usr/bin/setsid";
    const std::string name = "morvik-e2e-limits-" + std::to_string(::getpid());
    const std::string other = std::to_string(outside({"serve-abstract", name}));
    check({
        {"ulimit -n and nice through the C library", {"sh", "ulimit -n 64 && nice -n 5 true"}},
        {"its own open-file limit", {"same-value", "prlimit", "0"}},
        {"its own niceness", {"same-value", "setpriority", "0", "0"}},
        {"its own I/O priority", {"same-value", "ioprio", "1", "0"}},
        {"its own scheduling policy", {"same-value", "setscheduler", "0"}},
        {"its own scheduling parameters", {"same-value", "setparam", "0"}},
        {"its own scheduling attributes", {"same-value", "setattr", "0"}},
        {"pinning its own thread by thread id", {"affinity"}},
        {"limit of a process outside", {"same-value", "prlimit", other}, "EPERM"},
        {"niceness of a process outside", {"same-value", "setpriority", "0", other}, "EPERM"},
        // A group of its own (which outside processes could share).
        {"niceness of its process group",
         {setsid, "-w", "$probe", "same-value", "setpriority", "1", "0"},
         "EPERM"},
        {"I/O priority of a process outside", {"same-value", "ioprio", "1", other}, "EPERM"},
        {"I/O priority of its process group",
         {setsid, "-w", "$probe", "same-value", "ioprio", "2", "0"},
         "EPERM"},
        {"scheduling policy outside", {"same-value", "setscheduler", other}, "EPERM"},
        {"scheduling parameters outside", {"same-value", "setparam", other}, "EPERM"},
        {"scheduling attributes outside", {"same-value", "setattr", other}, "EPERM"},
        // Its own thread named by thread id: a documented refusal.
        {"pthread_setschedparam on itself", {"pthread-setschedparam"}, "EPERM"},
    });
}

TEST_P(HostileTest, CommandHoldsNoCapabilities) {
    const std::string build =
        "printf 'int main(void){return 0;}\\n' > m.c && cc -o m m.c && ./m && rm m m.c";
    const ProfileSpec keep{.keep_capabilities = true};
    check({
        // An unprivileged launcher keeps the bounding set it was given
        // (nothing can be gained through it under no-new-privileges).
        {.name = "capability sets", .command = {"caps"}, .expect = "none", .who = Who::root},
        {.name = "capability sets", .command = {"caps"}, .expect = "CapBnd", .who = Who::nobody},
        {"build in the work tree", {"sh", build}},
        {"write /dev/null", {"write", "/dev/null"}},
        {"read /dev/urandom", {"read", "/dev/urandom"}},
        {"open a pseudo-terminal", {"pty"}},
        {"make a block device", {"mknod-block", "$w/loop"}, "EPERM"},
        {.name = "open a block device",
         .command = {"readwrite", "/dev/loop0"},
         .expect = "EACCES",
         .host = kLoopDevice},
        {"write the kernel log", {"write", "/dev/kmsg"}, "EACCES"},
        {"change the network configuration", {"set-mtu"}, "EPERM"},
        // keep_capabilities: root keeps its capabilities and /dev.
        {.name = "capability sets kept",
         .command = {"caps"},
         .expect = "CapPrm CapEff CapBnd",
         .profile = keep,
         .who = Who::root},
        {.name = "open a block device with capabilities kept",
         .command = {"readwrite", "/dev/loop0"},
         .profile = keep,
         .who = Who::root,
         .host = kLoopDevice},
    });
}

// A launcher started inside the confinement confines its command further:
// as root it holds no capability left to drop, and needs to lock nothing.
TEST_P(HostileTest, LauncherInsideTheConfinement) {
    scratch_.copy_file(kLauncher, "tools/launcher", 0755);
    scratch_.write_file("w/inner.json", profile_json({.worktree_path = work_,
                                                      .agent_config_dirs = {home_},
                                                      .tool_dirs = {scratch_ / "tools"}}));
    const std::vector<std::string> nested = {"$s/tools/launcher", "--profile", "$w/inner.json",
                                             "--", "$probe"};
    const auto inner = [&](std::vector<std::string> probe) {
        std::vector<std::string> argv = nested;
        argv.insert(argv.end(), probe.begin(), probe.end());
        return argv;
    };
    check({
        {.name = "capability sets", .command = inner({"caps"}), .expect = "none", .who = Who::root},
        {.name = "capability sets",
         .command = inner({"caps"}),
         .expect = "CapBnd",
         .who = Who::nobody},
        {"write in the work tree", inner({"write", "$w/f"})},
        {"write outside it", inner({"write", "$s/f"}), "EACCES"},
    });
}

// run_as: a root launcher hands the command to uid 65534 with nothing of
// root's left (no way back, no capability, no group, no file of root's)
// while an ordinary build works. Naming the launcher's own ids changes
// nothing; an unprivileged launcher cannot switch.
TEST_P(HostileTest, RunAsAnotherUser) {
    const ProfileSpec as_nobody{.run_as = RunAs{65534, 65534}};
    const unsigned own = nobody() ? 65534 : 0;
    scratch_.make_dir("home-65534");
    for (const std::string dir : {"$w", "$w/.git", "$s/home-65534"}) // the command's uid's
        ASSERT_EQ(::lchown(expand(dir).c_str(), 65534, 65534), 0);
    ::chmod(scratch_.write_file("w/secret", "root's\n").c_str(), 0600);
    const auto as_root = [&](const char* name, std::vector<std::string> command,
                             const char* expect) {
        return Row{.name = name,
                   .command = command,
                   .expect = expect,
                   .profile = as_nobody,
                   .home = "$s/home-65534",
                   .who = Who::root};
    };
    check({
        as_root("its ids, no groups", {"sh", "id -u && id -g && id -G"}, "65534\n65534\n65534"),
        as_root("setuid(0) back", {"setuid", "0"}, "EPERM"),
        as_root("capability sets", {"caps"}, "none"),
        as_root("a 0600 file of root's", {"read", "$w/secret"}, "EACCES"),
        as_root("build in the work tree",
                {"sh", "printf 'int main(void){return 0;}\\n' > m.c && cc -o m m.c && ./m"}, "ok"),
        {.name = "the launcher's own ids",
         .command = {"sh", "id -u && $probe caps"},
         .expect = nobody() ? "65534\nCapBnd" : "0\nnone",
         .profile = {.run_as = RunAs{own, own}}},
        {.name = "another uid, unprivileged",
         .command = {"write", "$w/never"},
         .expect = "status 1",
         .err = "Failed to switch user: the launcher runs as uid 65534 without CAP_SETUID and "
                "CAP_SETGID\n",
         .profile = {.run_as = RunAs{1000, 1000}},
         .who = Who::nobody},
    });
}

TEST_P(HostileTest, NoSetIdProgramIsPlanted) {
    // A root command still owns uid 0's files, inside the rules or not
    // (Landlock does not cover chmod): set-ID modes are refused. An
    // unprivileged command may set them, on its own files only.
    const std::string outside_file = scratch_.write_file("outside", "#!/bin/sh\n");
    const std::string inside = scratch_.write_file("w/tool", "#!/bin/sh\n");
    const std::string set_id = nobody() ? "ok" : "EPERM";
    check({
        {"chmod 0755 outside every rule", {"mode", "chmod", outside_file, "0755"}},
        {"chmod 04755 outside every rule", {"mode", "chmod", outside_file, "04755"}, set_id},
        {"chmod 02755 outside every rule", {"mode", "chmod", outside_file, "02755"}, set_id},
        {"fchmod 04755", {"mode", "fchmod", inside, "04755"}, set_id},
        {"fchmodat2 06755", {"mode", "fchmodat2", inside, "06755"}, set_id},
        {"create a file 0644", {"mode", "create", "$w/new", "0644"}},
        {"create a file 04755", {"mode", "create", "$w/suid", "04755"}, set_id},
        {"mknod a file 0644", {"mode", "mknod", "$w/node", "0644"}},
        {"mknod a file 02755", {"mode", "mknod", "$w/sgid", "02755"}, set_id},
        {"unnamed file 0600", {"mode", "tmpfile", "$w", "0600"}},
        {"unnamed file 04755", {"mode", "tmpfile", "$w", "04755"}, set_id},
        {"openat2 (mode unreadable by the filter)",
         {"openat2", inside},
         nobody() ? "ok" : "ENOSYS"},
    });
    struct stat st {};
    for (const std::string& path : {outside_file, inside}) {
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ((st.st_mode & 06000) != 0, nobody()) << path;
    }
    EXPECT_EQ(::access((work_ + "/suid").c_str(), F_OK) == 0, nobody());
    EXPECT_EQ(::access((work_ + "/new").c_str(), F_OK), 0);
}

TEST_P(HostileTest, MinimumAbiAndDenialLogging) {
    const std::string version = std::to_string(abi_);
    check({
        {"minimum: this kernel's version",
         {"write", "$w/ran"},
         "ok",
         "",
         {.minimum_landlock_abi = abi_}},
        {"minimum: one above this kernel's version",
         {"write", "$w/never"},
         "status 1",
         "Failed to apply Landlock rules: the kernel's Landlock ABI version is " + version +
             ", below the required minimum_landlock_abi " + std::to_string(abi_ + 1) + "\n",
         {.minimum_landlock_abi = abi_ + 1}},
        {"denials logged", {"list", "/var/tmp"}, "EACCES", "", {.log_denials = true}},
        {"granted with denials logged", {"write", "$w/ran"}, "ok", "", {.log_denials = true}},
    });
    EXPECT_NE(::access((work_ + "/never").c_str(), F_OK), 0) << "the command ran";
}

// A kernel without Landlock (the system calls fail with ENOSYS) or with
// Landlock turned off (EOPNOTSUPP), simulated by the probe's filter: the
// command runs after exactly one warning line, unconfined but with
// no-new-privileges; no TCP rules exist, so TCP is refused unless the
// profile names a proxy; a required minimum stops the run.
TEST_P(HostileTest, KernelWithoutLandlock) {
    const TcpListener other;
    const std::string port = std::to_string(other.port());
    const std::string warning = "Warning: Landlock sandbox not enforced by kernel\n";
    for (const auto& [err, kernel] :
         {std::pair{"ENOSYS", " has no Landlock (no ABI version: Function not implemented (os "
                              "error 38))"},
          {"EOPNOTSUPP", "'s Landlock is disabled (no ABI version: Operation not supported (os "
                         "error 95))"}}) {
        SCOPED_TRACE(err);
        std::vector<Row> rows = {
            {"write outside every rule", {"write", "$s/outside"}, "ok", warning},
            {"no new privileges", {"nnp"}, "1", warning},
            {"no leaked descriptors", {"fds"}, "0\n1\n2", warning},
            {"TCP open: a proxy port is granted", {"connect", port}, "ok", warning},
            {"TCP without a proxy port", {"connect", port}, "EACCES", warning, {.proxy_port = -1}},
            {"unix socket without a proxy port",
             {"socket", "1", "1", "0"},
             "ok",
             warning,
             {.proxy_port = -1}},
            {"a required minimum",
             {"write", "$w/never"},
             "status 1",
             std::string("Failed to apply Landlock rules: the kernel") + kernel +
                 ", below the required minimum_landlock_abi 1\n",
             {.minimum_landlock_abi = 1}},
        };
        for (Row& row : rows)
            row.wrapper = {"$probe", "without-landlock", err};
        check(rows);
    }
    EXPECT_NE(::access((work_ + "/never").c_str(), F_OK), 0) << "the command ran";
}

MORVIK_E2E_AS_ROOT_AND_NOBODY(HostileTest);

} // namespace
} // namespace morvik::e2e
