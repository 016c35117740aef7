// The forwarder's allow-list, installed for real in a child: the calls the
// relay makes return, anything else kills the process.
#include <fcntl.h>
#include <netinet/in.h>
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

constexpr int kStream = SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC;

struct Case {
    const char* what;
    long (*call)();
    bool allowed;
};

const Case kCases[] = {
    {"an inet stream socket", [] { return syscall(SYS_socket, AF_INET, kStream, 0); }, true},
    {"an inet6 stream socket", [] { return syscall(SYS_socket, AF_INET6, kStream, 0); }, true},
    {"SO_ERROR", [] { return syscall(SYS_getsockopt, -1, SOL_SOCKET, SO_ERROR, 0, 0); }, true},
    {"memory",
     [] {
         return syscall(SYS_mmap, 0, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                        0);
     },
     true},
    {"a blocking stream socket", [] { return syscall(SYS_socket, AF_INET, SOCK_STREAM, 0); },
     false},
    {"a UDP socket",
     [] { return syscall(SYS_socket, AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); },
     false},
    {"a unix socket", [] { return syscall(SYS_socket, AF_UNIX, kStream, 0); }, false},
    {"another socket option",
     [] { return syscall(SYS_setsockopt, -1, SOL_SOCKET, SO_REUSEADDR, 0, 0); }, false},
    {"executable memory",
     [] {
         return syscall(SYS_mmap, 0, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1,
                        0);
     },
     false},
    {"opening a file", [] { return syscall(SYS_openat, AT_FDCWD, "/etc/passwd", O_RDONLY); },
     false},
    {"a signal", [] { return syscall(SYS_kill, getppid(), 0); }, false},
    {"exec", [] { return syscall(SYS_execve, "/bin/true", nullptr, nullptr); }, false},
#if defined(__x86_64__)
    {"the x32 entry", [] { return syscall(0x40000000L | SYS_read, 0, nullptr, 0); }, false},
#endif
};

TEST(ForwarderFilterTest, AllowsTheRelayAndKillsAnythingElse) {
    for (const Case& c : kCases) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || install_forwarder_filter() != 0)
                ::_exit(2);
            c.call();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (c.allowed) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << ": " << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS)
                << c.what << ": " << status;
        }
    }
}

} // namespace
} // namespace morvik::sandbox
