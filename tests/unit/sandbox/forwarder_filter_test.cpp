// The forwarder's allow-list, installed for real in a child: the calls the
// relay makes return, anything else kills the process.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sandbox/forwarder.hpp"

namespace morvik::sandbox {
namespace {

TEST(ForwarderFilterTest, AllowsTheRelayAndKillsAnythingElse) {
    constexpr long kStream = SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC;
    const struct {
        const char* what;
        long nr, a, b, c;
        bool allowed;
    } cases[] = {
        {"an inet stream socket", SYS_socket, AF_INET, kStream, 0, true},
        {"an inet6 stream socket", SYS_socket, AF_INET6, kStream, 0, true},
        {"SO_ERROR", SYS_getsockopt, -1, SOL_SOCKET, SO_ERROR, true},
        {"writable memory", SYS_mprotect, 0, 0, PROT_READ | PROT_WRITE, true},
        {"a blocking stream socket", SYS_socket, AF_INET, SOCK_STREAM, 0, false},
        {"a UDP socket", SYS_socket, AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, false},
        {"a unix socket", SYS_socket, AF_UNIX, kStream, 0, false},
        {"another socket option", SYS_setsockopt, -1, SOL_SOCKET, SO_REUSEADDR, false},
        {"executable memory", SYS_mprotect, 0, 0, PROT_READ | PROT_EXEC, false},
        {"opening a file", SYS_openat, AT_FDCWD, reinterpret_cast<long>("/etc/passwd"), 0, false},
        {"a signal", SYS_kill, 1, 0, 0, false},
        {"exec", SYS_execve, reinterpret_cast<long>("/bin/true"), 0, 0, false},
#if defined(__x86_64__)
        {"the x32 entry", 0x40000000L | SYS_getpid, 0, 0, 0, false},
#endif
    };
    // User-mode emulation answers seccomp with EINVAL: nothing to install.
    if (const pid_t probe = ::fork(); probe == 0) {
        ::_exit(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && install_forwarder_filter() == 0
                    ? 0
                    : 2);
    } else {
        int status = 0;
        ::waitpid(probe, &status, 0);
        if (status == (2 << 8)) GTEST_SKIP() << "the host refuses seccomp filters";
    }
    for (const auto& c : cases) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || install_forwarder_filter() != 0)
                ::_exit(2);
            ::syscall(c.nr, c.a, c.b, c.c, 0, 0, 0);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        // Exit status 0, or killed by SIGSYS (with a core dump or without).
        EXPECT_EQ(status & ~0x80, c.allowed ? 0 : SIGSYS) << c.what;
    }
}

} // namespace
} // namespace morvik::sandbox
