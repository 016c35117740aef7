#include "sandbox/forwarder.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "base/unique_fd.hpp"
#include "sandbox/capabilities.hpp"
#include "sandbox/linux_kernel.hpp"
#include "sandbox/policy.hpp"
#include "sandbox/ruleset.hpp"

namespace morvik::sandbox {

std::string_view to_string(ForwarderReport::Step step) noexcept {
    switch (step) {
    case ForwarderReport::Step::Ready:
        return "ready";
    case ForwarderReport::Step::Descriptors:
        return "close the inherited descriptors";
    case ForwarderReport::Step::NoNewPrivileges:
        return "set no-new-privileges";
    case ForwarderReport::Step::Capabilities:
        return "drop capabilities";
    case ForwarderReport::Step::Landlock:
        return "apply Landlock rules";
    case ForwarderReport::Step::Filter:
        return "install the system-call filter";
    }
    return "unknown step";
}

namespace {

using Step = ForwarderReport::Step;

// Per direction of a connection: bounded, so a reader that does not keep up
// holds back the writer instead of growing the forwarder.
constexpr std::size_t kBufferSize = 64 * 1024;
// Reads and writes per connection before the others get their turn.
constexpr int kRoundsPerTurn = 16;
// Connections taken from one listener per turn.
constexpr int kAcceptsPerTurn = 64;

// 0 to 2 on /dev/null and every other descriptor but `channel` closed: the
// forwarder keeps nothing that the caller waits on (the command's output, a
// status pipe) or that would give it a way out.
int isolate_descriptors(int channel) {
    const auto fd = static_cast<unsigned>(channel);
    if (fd > 3 && ::close_range(3, fd - 1, 0) != 0) return errno;
    if (::close_range(fd + 1, ~0U, 0) != 0) return errno;
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return errno;
    for (int std_fd = 0; std_fd < 3; ++std_fd) {
        if (null != std_fd && ::dup2(null, std_fd) < 0) return errno;
    }
    if (null > 2) ::close(null);
    return 0;
}

// No file rights at all, TCP connect to the proxy port only (from ABI 4),
// no signals and no abstract sockets out (from ABI 6).
int apply_landlock(std::uint16_t port) {
    Kernel& kernel = system_kernel();
    Ruleset ruleset(kernel);
    const KernelSupport& support = ruleset.support();
    if (support.kind != KernelSupport::Kind::Available) return 0; // nothing to enforce
    const PolicyRights rights = rights_for_version(static_cast<std::uint32_t>(support.version));
    const auto failed = [](const RulesetError& e) {
        return e.source.code != 0 ? e.source.code : EINVAL;
    };
    if (auto r = ruleset.handle_access(rights.work_access); !r) return failed(r.error());
    if (rights.handle_net) {
        if (auto r = ruleset.handle_access(rights.net_access); !r) return failed(r.error());
    }
    if (!rights.scope.empty()) {
        if (auto r = ruleset.handle_access(rights.scope); !r) return failed(r.error());
    }
    auto created = std::move(ruleset).create();
    if (!created) return failed(created.error());
    if (rights.handle_net) {
        if (auto r = created->add_rule(NetPort{port, rights.port_access}); !r)
            return failed(r.error());
    }
    if (auto r = std::move(*created).restrict_self(); !r) return failed(r.error());
    return 0;
}

// The forwarder's own confinement, in order. The keyboard's and a hang-up's
// signals, which reach the whole foreground process group, are ignored:
// the forwarder ends with the command, not before it.
ForwarderReport confine_forwarder(int channel, std::uint16_t port) {
    if (const int e = isolate_descriptors(channel); e != 0) return {Step::Descriptors, e};
    for (const int sig : {SIGINT, SIGQUIT, SIGHUP, SIGPIPE})
        ::signal(sig, SIG_IGN);
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return {Step::NoNewPrivileges, errno};
    Kernel& kernel = system_kernel();
    const auto privilege = read_privilege(kernel);
    if (!privilege) return {Step::Capabilities, privilege.error().source.code};
    if (privilege->privileged) {
        if (auto dropped = drop_capabilities(kernel, *privilege); !dropped) {
            return {Step::Capabilities, dropped.error().source.code};
        }
    }
    if (const int e = apply_landlock(port); e != 0) return {Step::Landlock, e};
    if (const int e = install_forwarder_filter(); e != 0) return {Step::Filter, e};
    return {};
}

struct Handover {
    std::vector<UniqueFd> listeners;
    UniqueFd process;
};

// The launcher's one message: a byte holding the number of listeners, with
// the listeners and the process descriptor. None on end of file or any
// malformed message.
std::optional<Handover> receive_handover(int channel) {
    unsigned char count = 0;
    iovec iov{&count, 1};
    alignas(cmsghdr) char control[CMSG_SPACE((kMaxListeners + 1) * sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(channel, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    Handover out;
    std::vector<UniqueFd> fds;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n > 0 && c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t bytes = c->cmsg_len - CMSG_LEN(0);
        for (std::size_t i = 0; i < bytes / sizeof(int); ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            fds.emplace_back(fd);
        }
    }
    if (n != 1 || (msg.msg_flags & MSG_CTRUNC) != 0 || count < 1 || count > kMaxListeners ||
        fds.size() != static_cast<std::size_t>(count) + 1) {
        return std::nullopt;
    }
    out.process = std::move(fds.back());
    fds.pop_back();
    out.listeners = std::move(fds);
    return out;
}

// Bytes travelling one way.
struct Flow {
    std::unique_ptr<char[]> data;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool eof = false;    // the source has ended
    bool closed = false; // ...and every byte was passed on: the sink is shut for writing

    [[nodiscard]] bool has_data() const { return begin < end; }
    [[nodiscard]] bool wants_input() const { return !eof && end < kBufferSize; }
};

struct Connection {
    UniqueFd inside;  // accepted in the command's namespace
    UniqueFd outside; // to the proxy in the caller's namespace
    int attempt = 0;  // the address being connected to (kProxyAddresses)
    bool connected = false;
    Flow up;   // inside to outside
    Flow down; // outside to inside
};

// The caller's proxy: 127.0.0.1, then ::1 when that is refused.
constexpr int kProxyAddresses = 2;

int so_error(int fd) {
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return errno;
    return error;
}

// Closing `fd` resets the connection instead of ending it in order: the peer
// must not take a cut stream for a complete one.
void set_reset_on_close(int fd) {
    const linger l{1, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void reset(Connection& c) {
    if (c.inside) set_reset_on_close(c.inside.get());
    if (c.outside) set_reset_on_close(c.outside.get());
    c.inside.reset();
    c.outside.reset();
}

// Starts connecting to the proxy from address `attempt` on. False when no
// address is left to try.
bool connect_outside(Connection& c, std::uint16_t port, int attempt) {
    for (; attempt < kProxyAddresses; ++attempt) {
        c.attempt = attempt;
        c.outside.reset();
        sockaddr_storage addr{};
        socklen_t len;
        if (attempt == 0) {
            auto* a = reinterpret_cast<sockaddr_in*>(&addr);
            a->sin_family = AF_INET;
            a->sin_port = htons(port);
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(port);
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        }
        const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        c.outside.reset(fd);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0) {
            c.connected = true;
            return true;
        }
        if (errno == EINPROGRESS) return true;
        if (errno != ECONNREFUSED) return false;
    }
    return false;
}

// Moves bytes of `f` from `from` to `to` until neither side can go on (or
// this connection's turn is over); half-closes `to` once the source has
// ended and everything was passed on. False on an error of either side.
bool pump(Flow& f, int from, int to) {
    for (int round = 0; round < kRoundsPerTurn; ++round) {
        bool moved = false;
        if (f.wants_input()) {
            const ssize_t n = ::read(from, f.data.get() + f.end, kBufferSize - f.end);
            if (n > 0) {
                f.end += static_cast<std::size_t>(n);
                moved = true;
            } else if (n == 0) {
                f.eof = true;
            } else if (errno != EAGAIN && errno != EINTR) {
                return false;
            }
        }
        if (f.has_data()) {
            const ssize_t n = ::write(to, f.data.get() + f.begin, f.end - f.begin);
            if (n > 0) {
                f.begin += static_cast<std::size_t>(n);
                if (f.begin == f.end) f.begin = f.end = 0;
                moved = true;
            } else if (errno != EAGAIN && errno != EINTR) {
                return false;
            }
        }
        if (f.eof && !f.has_data() && !f.closed) {
            if (::shutdown(to, SHUT_WR) != 0 && errno != ENOTCONN) return false;
            f.closed = true;
        }
        if (!moved) break;
    }
    return true;
}

enum class Turn { Going, Done, Failed };

// One turn of a connection whose descriptors had an event.
Turn serve(Connection& c, std::uint16_t port) {
    if (!c.connected) {
        // Only the outside descriptor is polled (for POLLOUT) until the
        // connection is made: an event there means it was made or failed.
        const int error = so_error(c.outside.get());
        if (error == ECONNREFUSED && c.attempt + 1 < kProxyAddresses) {
            return connect_outside(c, port, c.attempt + 1) ? Turn::Going : Turn::Failed;
        }
        if (error != 0) return Turn::Failed;
        c.connected = true;
    }
    if (!pump(c.up, c.inside.get(), c.outside.get())) return Turn::Failed;
    if (!pump(c.down, c.outside.get(), c.inside.get())) return Turn::Failed;
    return c.up.closed && c.down.closed ? Turn::Done : Turn::Going;
}

short inside_events(const Connection& c) {
    if (!c.connected) return 0;
    return static_cast<short>((c.up.wants_input() ? POLLIN : 0) |
                              (c.down.has_data() ? POLLOUT : 0));
}

short outside_events(const Connection& c) {
    if (!c.connected) return POLLOUT;
    return static_cast<short>((c.down.wants_input() ? POLLIN : 0) |
                              (c.up.has_data() ? POLLOUT : 0));
}

// A descriptor with nothing asked of it stays out of the poll, so that a
// hang-up it reports cannot make the loop spin; the read or write that
// follows once something is asked again finds the error.
pollfd poll_entry(int fd, short events) {
    return pollfd{events != 0 ? fd : -1, events, 0};
}

[[noreturn]] void end_all(std::vector<std::unique_ptr<Connection>>& connections) {
    for (auto& c : connections)
        reset(*c);
    ::_exit(0);
}

[[noreturn]] void relay(Handover handover, std::uint16_t port) {
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> fds;
    bool accepting = true;
    const std::size_t first_connection = 1 + handover.listeners.size();
    for (;;) {
        fds.clear();
        fds.push_back({handover.process.get(), POLLIN, 0});
        for (const UniqueFd& l : handover.listeners)
            fds.push_back(poll_entry(l.get(), accepting ? POLLIN : 0));
        for (const auto& c : connections) {
            fds.push_back(poll_entry(c->inside.get(), inside_events(*c)));
            fds.push_back(poll_entry(c->outside.get(), outside_events(*c)));
        }
        if (::ppoll(fds.data(), fds.size(), nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            end_all(connections);
        }
        // The command's process has ended: so has every connection.
        if (fds[0].revents != 0) end_all(connections);

        bool closed_any = false;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            const pollfd& in = fds[first_connection + 2 * i];
            const pollfd& out = fds[first_connection + 2 * i + 1];
            if (in.revents == 0 && out.revents == 0) continue;
            Connection& c = *connections[i];
            const Turn turn = serve(c, port);
            if (turn == Turn::Going) continue;
            if (turn == Turn::Failed) reset(c);
            c.inside.reset();
            c.outside.reset();
            closed_any = true;
        }
        if (closed_any) {
            std::erase_if(connections, [](const auto& c) { return !c->inside; });
            accepting = true;
        }

        for (std::size_t l = 0; l < handover.listeners.size(); ++l) {
            if (fds[1 + l].revents == 0) continue;
            for (int n = 0; n < kAcceptsPerTurn; ++n) {
                const int fd = ::accept4(handover.listeners[l].get(), nullptr, nullptr,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    // Out of descriptors or memory: the backlog holds the
                    // rest until a connection ends.
                    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                        accepting = false;
                    if (errno == EINTR || errno == ECONNABORTED) continue;
                    break;
                }
                auto c = std::unique_ptr<Connection>(new (std::nothrow) Connection);
                if (c) {
                    c->up.data.reset(new (std::nothrow) char[kBufferSize]);
                    c->down.data.reset(new (std::nothrow) char[kBufferSize]);
                }
                if (!c || !c->up.data || !c->down.data) {
                    set_reset_on_close(fd);
                    ::close(fd);
                    accepting = false;
                    break;
                }
                c->inside.reset(fd);
                // The proxy refuses (or cannot be reached): the command's
                // connection is reset at once.
                if (!connect_outside(*c, port, 0)) {
                    const int error = errno;
                    reset(*c);
                    if (error == EMFILE || error == ENFILE) {
                        accepting = false;
                        break;
                    }
                    continue;
                }
                connections.push_back(std::move(c));
            }
        }
    }
}

void report(int channel, const ForwarderReport& r) {
    ssize_t n;
    do {
        n = ::write(channel, &r, sizeof r);
    } while (n < 0 && errno == EINTR);
}

} // namespace

void run_forwarder(int channel, std::uint16_t port) noexcept {
    const ForwarderReport confined = confine_forwarder(channel, port);
    report(channel, confined);
    if (confined.step != Step::Ready) ::_exit(1);
    std::optional<Handover> handover = receive_handover(channel);
    ::close(channel);
    if (!handover) ::_exit(0); // the launcher failed before the hand-over
    relay(std::move(*handover), port);
}

} // namespace morvik::sandbox
