#include "sandbox/network_namespace.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/unique_fd.hpp"

namespace morvik::sandbox {

std::string NetworkError::line() const {
    std::string text;
    switch (step) {
    case Step::ReadCapabilities:
        text = "read the capability sets";
        break;
    case Step::Dumpable:
        text = "set dumpable";
        break;
    case Step::Unshare:
        text = "unshare";
        break;
    case Step::Setgroups:
        text = "write /proc/self/setgroups";
        break;
    case Step::UidMap:
        text = "write /proc/self/uid_map";
        break;
    case Step::GidMap:
        text = "write /proc/self/gid_map";
        break;
    case Step::Loopback:
        text = "bring lo up";
        break;
    case Step::ListenIpv4:
        text = "listen on 127.0.0.1:" + std::to_string(port);
        break;
    case Step::ListenIpv6:
        text = "listen on [::1]:" + std::to_string(port);
        break;
    case Step::ProcessFd:
        text = "pidfd_open";
        break;
    case Step::Forwarder:
        text = "start the forwarder";
        break;
    case Step::HandOver:
        text = "hand over to the forwarder";
        break;
    }
    return "Failed to isolate the network: " + text + ": " + source.to_string();
}

namespace {

using Step = NetworkError::Step;

Unexpected<NetworkError> failed(Step step, int error, std::uint16_t port = 0) {
    return Unexpected(NetworkError{step, OsError{error}, port});
}

int write_proc_file(const char* path, const std::string& text) {
    UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    if (!fd) return errno;
    const ssize_t n = ::write(fd.get(), text.data(), text.size());
    if (n < 0) return errno;
    return static_cast<std::size_t>(n) == text.size() ? 0 : EIO;
}

int bring_loopback_up() {
    const UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return errno;
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd.get(), SIOCGIFFLAGS, &req) != 0) return errno;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    if (::ioctl(fd.get(), SIOCSIFFLAGS, &req) != 0) return errno;
    return 0;
}

// A listener on the loopback address of `family` and `port`. An empty
// descriptor with error 0: the namespace has no IPv6.
UniqueFd listen_on(int family, std::uint16_t port, int& error) {
    error = 0;
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        if (family != AF_INET6 || errno != EAFNOSUPPORT) error = errno;
        return {};
    }
    sockaddr_storage addr{};
    socklen_t len;
    if (family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    } else {
        const int on = 1;
        if (::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
            error = errno;
            return {};
        }
        auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        a->sin6_addr = in6addr_loopback;
        len = sizeof *a;
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        // IPv6 turned off on lo.
        if (family != AF_INET6 || errno != EADDRNOTAVAIL) error = errno;
        return {};
    }
    if (::listen(fd.get(), SOMAXCONN) != 0) {
        error = errno;
        return {};
    }
    return fd;
}

// One message: the number of listeners as its byte, the listeners and the
// process descriptor as SCM_RIGHTS.
int hand_over(int channel, const std::vector<UniqueFd>& listeners, const UniqueFd& process) {
    int fds[kMaxListeners + 1];
    std::size_t count = 0;
    for (const UniqueFd& l : listeners)
        fds[count++] = l.get();
    fds[count++] = process.get();
    auto byte = static_cast<unsigned char>(listeners.size());
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(count * sizeof(int));
    std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
    ssize_t n;
    do {
        n = ::sendmsg(channel, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? 0 : errno;
}

} // namespace

Expected<void, NetworkError> isolate_network(const profile::SandboxProfile& profile,
                                             Kernel& kernel) {
    const CapabilitySets sets = kernel.capget();
    if (sets.error != 0) return failed(Step::ReadCapabilities, sets.error);
    const bool sys_admin = (sets.effective & (std::uint64_t{1} << CAP_SYS_ADMIN)) != 0;

    // The channel is never closed here: see start_forwarder.
    ForwarderStart forwarder;
    if (profile.proxy_port) {
        auto started = start_forwarder(*profile.proxy_port);
        if (!started) return failed(Step::Forwarder, started.error());
        forwarder = *started;
    }

    if (sys_admin) {
        if (::unshare(CLONE_NEWNET) != 0) return failed(Step::Unshare, errno);
    } else {
        // After a switch of user the process is no longer dumpable, which
        // leaves its /proc files to root and the map writes refused.
        if (::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 1 &&
            ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) != 0) {
            return failed(Step::Dumpable, errno);
        }
        const uid_t uid = ::geteuid();
        const gid_t gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return failed(Step::Unshare, errno);
        if (const int e = write_proc_file("/proc/self/setgroups", "deny"); e != 0) {
            return failed(Step::Setgroups, e);
        }
        const std::string u = std::to_string(uid);
        if (const int e = write_proc_file("/proc/self/uid_map", u + " " + u + " 1\n"); e != 0) {
            return failed(Step::UidMap, e);
        }
        const std::string g = std::to_string(gid);
        if (const int e = write_proc_file("/proc/self/gid_map", g + " " + g + " 1\n"); e != 0) {
            return failed(Step::GidMap, e);
        }
    }
    if (const int e = bring_loopback_up(); e != 0) return failed(Step::Loopback, e);
    if (!profile.proxy_port) return {};

    const std::uint16_t port = *profile.proxy_port;
    std::vector<UniqueFd> listeners;
    int error = 0;
    listeners.push_back(listen_on(AF_INET, port, error));
    if (error != 0) return failed(Step::ListenIpv4, error, port);
    if (UniqueFd v6 = listen_on(AF_INET6, port, error); v6) {
        listeners.push_back(std::move(v6));
    } else if (error != 0) {
        return failed(Step::ListenIpv6, error, port);
    }
    const UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
    if (!process) return failed(Step::ProcessFd, errno);
    if (const int e = reap_starter(forwarder.starter); e != 0) return failed(Step::Forwarder, e);
    if (const int e = hand_over(forwarder.channel, listeners, process); e != 0) {
        return failed(Step::HandOver, e);
    }
    return {};
}

} // namespace morvik::sandbox
