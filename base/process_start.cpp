#include "base/process_start.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace morvik {
namespace {

bool is_closed(int fd) noexcept {
    return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

} // namespace

bool ensure_standard_descriptors() noexcept {
    bool closed[3] = {false, false, false};
    pollfd fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    int rc;
    do {
        rc = ::poll(fds, 3, 0);
    } while (rc == -1 && errno == EINTR);
    if (rc >= 0) {
        for (int i = 0; i < 3; ++i)
            closed[i] = (fds[i].revents & POLLNVAL) != 0;
    } else {
        for (int i = 0; i < 3; ++i)
            closed[i] = is_closed(i);
    }

    // open() and dup() return the lowest free descriptor, which is always the
    // lowest closed standard one, so each lands where it is missing.
    int null_fd = -1;
    for (int i = 0; i < 3; ++i) {
        if (!closed[i]) continue;
        int fd;
        if (null_fd < 0) {
            do {
                fd = ::open("/dev/null", O_RDWR);
            } while (fd == -1 && errno == EINTR);
            null_fd = fd;
        } else {
            fd = ::dup(null_fd);
        }
        if (fd != i) {
            if (fd >= 0) ::close(fd);
            return false;
        }
    }
    return true;
}

void ignore_sigpipe() noexcept {
    ::signal(SIGPIPE, SIG_IGN);
}

} // namespace morvik
