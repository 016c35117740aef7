// Process start in a forked child: closed standard descriptors come back
// open on /dev/null, in place, and SIGPIPE ends up ignored.
#include "base/process_start.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

namespace morvik {
namespace {

bool is_dev_null(int fd) {
    struct stat st {};
    struct stat null_st {};
    return ::fstat(fd, &st) == 0 && ::stat("/dev/null", &null_st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == null_st.st_rdev;
}

// Runs `body` in a child and returns its exit status; the child ends with
// exit() so that its results are flushed like a normal process's.
template <class F> int in_child(F body) {
    const pid_t pid = ::fork();
    if (pid == 0) std::exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(ProcessStart, ClosedStandardDescriptorsAreReopenedOnDevNull) {
    const std::vector<std::vector<int>> closed_sets = {{},     {0},    {1},      {2},
                                                       {0, 2}, {1, 2}, {0, 1, 2}};
    for (const auto& closed : closed_sets) {
        SCOPED_TRACE(::testing::PrintToString(closed));
        const int status = in_child([&] {
            const int keep_err = ::fcntl(2, F_DUPFD_CLOEXEC, 10);
            for (const int fd : closed)
                ::close(fd);
            if (!ensure_standard_descriptors()) return 10;
            for (const int fd : closed) {
                if (!is_dev_null(fd)) return 20 + fd;
                if (::fcntl(fd, F_GETFD) & FD_CLOEXEC) return 30 + fd; // must reach the command
                if ((::fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDWR) return 40 + fd;
            }
            for (int fd = 0; fd < 3; ++fd) {
                if (::fcntl(fd, F_GETFD) == -1) return 50 + fd;
            }
            ::close(keep_err);
            return 0;
        });
        EXPECT_EQ(status, 0);
    }
}

TEST(ProcessStart, SigpipeIsIgnored) {
    const int status = in_child([] {
        ::signal(SIGPIPE, SIG_DFL);
        ignore_sigpipe();
        int fds[2];
        if (::pipe(fds) != 0) return 1;
        ::close(fds[0]);
        // Without the ignored disposition this write would kill the child.
        return ::write(fds[1], "x", 1) == -1 && errno == EPIPE ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
} // namespace morvik
