#include "sandbox/forwarder.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "base/unique_fd.hpp"
#include "sandbox/enforce.hpp"
#include "sandbox/linux_kernel.hpp"
#include "sandbox/plan.hpp"

namespace morvik::sandbox {

namespace {

// Per direction of a connection, what a pipe holds by default: bounded, so a
// reader that does not keep up holds back the writer.
constexpr std::size_t kPipeSize = 64 * 1024;
// Reads and writes per connection before the others get their turn.
constexpr int kRoundsPerTurn = 16;
// Connections taken from one listener per turn.
constexpr int kAcceptsPerTurn = 64;

// The forwarder's own confinement, in order; false when a step failed. The
// keyboard's and a hang-up's signals, which reach the whole foreground
// process group, are ignored: the forwarder ends with the command, not
// before it. Not dumpable: the command's uid may not look into it. Then, as
// a plan enforced like the command's: Landlock handling every right of the
// kernel's version with no file rule at all, TCP connect to the proxy port
// alone (from ABI 4) and both scopes (from ABI 6); no-new-privileges; every
// capability dropped; the command's filter (allowing inet streams) and the
// forwarder's own allow-list over it.
bool confine_forwarder(std::uint16_t port) {
    for (const int sig : {SIGINT, SIGQUIT, SIGHUP, SIGPIPE})
        ::signal(sig, SIG_IGN);
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return false;
    // Six descriptors a connection (two sockets, two pipes): as many as the
    // hard limit allows.
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &files);
    }
    Kernel& kernel = system_kernel();
    Plan plan;
    const SysResult version =
        kernel.landlock_create_ruleset(nullptr, 0, kLandlockCreateRulesetVersion);
    if (version.value > 0) {
        plan.handled_fs = AccessFs::from_version(version.value);
        plan.handled_net = AccessNet::from_version(version.value);
        plan.handled_scope = Scope::from_version(version.value);
        plan.port = port;
        plan.port_granted = plan.handled_net & AccessNet::ConnectTcp;
    }
    const CapabilitySets caps = kernel.capget();
    const bool root = kernel.getuid() == 0 || kernel.geteuid() == 0;
    plan.drop_capabilities = root || caps.error != 0 || caps.any();
    plan.full_drop = root || (caps.effective & (std::uint64_t{1} << CAP_SETPCAP)) != 0;
    return enforce(plan, kernel).has_value() && install_forwarder_filter() == 0;
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

// Bytes travelling one way, through a pipe: spliced from one socket into it
// and from it into the other, never copied into the forwarder.
struct Flow {
    UniqueFd pipe_out;    // the pipe's read end
    UniqueFd pipe_in;     // its write end
    std::size_t held = 0; // bytes in the pipe
    // The last splice into the pipe found no room (a pipe holds fewer bytes
    // than its size when the socket hands over part-filled pages).
    bool full = false;
    bool eof = false;    // the source has ended
    bool closed = false; // ...and every byte was passed on: the sink is shut for writing

    [[nodiscard]] bool has_data() const { return held > 0; }
    [[nodiscard]] bool wants_input() const { return !eof && !full && held < kPipeSize; }
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
    constexpr unsigned kFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
    for (int round = 0; round < kRoundsPerTurn; ++round) {
        bool moved = false;
        if (f.wants_input()) {
            const ssize_t n =
                ::splice(from, nullptr, f.pipe_in.get(), nullptr, kPipeSize - f.held, kFlags);
            if (n > 0) {
                f.held += static_cast<std::size_t>(n);
                moved = true;
            } else if (n == 0) {
                f.eof = true;
            } else if (errno == EAGAIN) {
                // An empty pipe has room: then the socket has nothing yet.
                f.full = f.held > 0;
            } else if (errno != EINTR) {
                return false;
            }
        }
        if (f.has_data()) {
            const ssize_t n = ::splice(f.pipe_out.get(), nullptr, to, nullptr, f.held, kFlags);
            if (n > 0) {
                f.held -= static_cast<std::size_t>(n);
                f.full = false;
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

// The two pipes of a new connection.
bool open_pipes(Connection& c) {
    for (Flow* f : {&c.up, &c.down}) {
        int ends[2];
        if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return false;
        f->pipe_out.reset(ends[0]);
        f->pipe_in.reset(ends[1]);
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
                if (!c) {
                    set_reset_on_close(fd);
                    ::close(fd);
                    accepting = false;
                    break;
                }
                c->inside.reset(fd);
                // The proxy refuses (or cannot be reached): the command's
                // connection is reset at once.
                if (!open_pipes(*c) || !connect_outside(*c, port, 0)) {
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

[[noreturn]] void run_forwarder(int channel, std::uint16_t port) {
    if (!confine_forwarder(port)) ::_exit(1);
    std::optional<Handover> handover = receive_handover(channel);
    ::close(channel);
    if (!handover) ::_exit(0); // the launcher failed before the hand-over
    relay(std::move(*handover), port);
}

// A system call that leaves errno alone: until the launcher has let go of
// their memory, the forwarder may write nothing but its own stack, and errno
// lives in the launcher's thread. Returns the result or -errno.
__attribute__((always_inline, no_sanitize("address", "undefined"))) inline long
raw_syscall(long nr, long a = 0, long b = 0, long c = 0, long d = 0) {
#if defined(__x86_64__)
    long ret;
    register long r10 asm("r10") = d;
    asm volatile("syscall"
                 : "=a"(ret)
                 : "a"(nr), "D"(a), "S"(b), "d"(c), "r"(r10)
                 : "rcx", "r11", "memory");
    return ret;
#elif defined(__aarch64__)
    register long x8 asm("x8") = nr;
    register long x0 asm("x0") = a;
    register long x1 asm("x1") = b;
    register long x2 asm("x2") = c;
    register long x3 asm("x3") = d;
    asm volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
    return x0;
#else
#error "raw system calls are written for x86-64 and arm64 only"
#endif
}

} // namespace

// clone(FLAGS) onto STACK, the child running FN(ARG) there and exiting with
// its result; the parent gets the child's pid or -errno. Neither side
// touches errno or anything but the new stack (the C library's clone sets
// errno, which lives in the caller's thread).
extern "C" long morvik_raw_clone(unsigned long flags, void* stack, int (*fn)(void*), void* arg);
#if defined(__x86_64__)
static_assert(SYS_clone == 56 && SYS_exit == 60);
asm(R"(
    .text
    .type morvik_raw_clone, @function
morvik_raw_clone:
    and $-16, %rsi
    sub $16, %rsi
    mov %rdx, 0(%rsi)
    mov %rcx, 8(%rsi)
    xor %edx, %edx
    xor %r10d, %r10d
    xor %r8d, %r8d
    mov $56, %eax
    syscall
    test %rax, %rax
    jnz 1f
    xor %ebp, %ebp
    pop %rax
    pop %rdi
    call *%rax
    mov %eax, %edi
    mov $60, %eax
    syscall
    hlt
1:  ret
    .size morvik_raw_clone, .-morvik_raw_clone
)");
#elif defined(__aarch64__)
static_assert(SYS_clone == 220 && SYS_exit == 93);
asm(R"(
    .text
    .type morvik_raw_clone, %function
morvik_raw_clone:
    and x1, x1, #-16
    stp x2, x3, [x1, #-16]!
    mov x2, xzr
    mov x3, xzr
    mov x4, xzr
    mov x8, #220
    svc #0
    cbnz x0, 1f
    ldp x1, x0, [sp], #16
    blr x1
    mov x8, #93
    svc #0
1:  ret
    .size morvik_raw_clone, .-morvik_raw_clone
)");
#endif

namespace {

// What the two clones need, kept at the top of the forwarder's stack.
struct StartArgs {
    int channel;        // the forwarder's end
    std::uint16_t port; // the caller's proxy
    void* stack_top;    // the forwarder's stack, below this record
};

// The forwarder until the launcher's memory is its alone: raw system calls
// on its own stack only.
__attribute__((no_sanitize("address", "undefined"))) int forwarder_main(void* arg) {
    const StartArgs args = *static_cast<const StartArgs*>(arg);
    const long channel = args.channel;
    if (channel > 3) raw_syscall(SYS_close_range, 3, channel - 1, 0);
    raw_syscall(SYS_close_range, channel + 1, ~0U, 0);
    static constexpr char kNull[] = "/dev/null";
    const long null =
        raw_syscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>(kNull), O_RDWR | O_CLOEXEC);
    for (long fd = 0; fd < 3; ++fd) {
        if (null >= 0) {
            raw_syscall(SYS_dup3, null, fd, 0);
        } else {
            raw_syscall(SYS_close, fd);
        }
    }
    if (null >= 0) raw_syscall(SYS_close, null);
    pollfd launcher_end{args.channel, POLLRDHUP, 0};
    for (;;) {
        const long r = raw_syscall(SYS_ppoll, reinterpret_cast<long>(&launcher_end), 1, 0, 0);
        if (r > 0) break;
        if (r != -EINTR) raw_syscall(SYS_exit, 1);
    }
    run_forwarder(args.channel, args.port);
}

// The short-lived child: starts the forwarder and exits, with 0 or the
// errno of the clone. It runs beside the launcher in the launcher's memory,
// so, like the forwarder, it writes nothing but its own stack.
__attribute__((no_sanitize("address", "undefined"))) int intermediate_main(void* arg) {
    const long pid = morvik_raw_clone(CLONE_VM | SIGCHLD, static_cast<StartArgs*>(arg)->stack_top,
                                      forwarder_main, arg);
    return pid < 0 ? static_cast<int>(-pid) : 0;
}

// One mapping, from the bottom: a guard page, the forwarder's stack (its
// stack for good), a page that starts with the start record, the short-lived
// child's stack.
constexpr std::size_t kPage = 4096;
constexpr std::size_t kForwarderStack = 512 * 1024;
constexpr std::size_t kIntermediateStack = 64 * 1024;

} // namespace

Expected<ForwarderStart, int> start_forwarder(std::uint16_t port) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return Unexpected(errno);
    const int ours = pair[0];
    const UniqueFd theirs(pair[1]);
    const std::size_t size = kPage + kForwarderStack + kPage + kIntermediateStack;
    auto* base = static_cast<char*>(::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0));
    if (base == MAP_FAILED || ::mprotect(base, kPage, PROT_NONE) != 0) {
        const int error = errno;
        ::close(ours);
        return Unexpected(error);
    }
    char* forwarder_top = base + kPage + kForwarderStack;
    auto* args = reinterpret_cast<StartArgs*>(forwarder_top);
    *args = StartArgs{theirs.get(), port, forwarder_top};
    const long starter = morvik_raw_clone(CLONE_VM | SIGCHLD, base + size, intermediate_main, args);
    if (starter < 0) {
        ::close(ours);
        return Unexpected(static_cast<int>(-starter));
    }
    return ForwarderStart{ours, static_cast<pid_t>(starter)};
}

int reap_starter(pid_t starter) {
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(starter, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    // ECHILD: the caller ignores SIGCHLD and the child was reaped for us; a
    // forwarder that never started shows when the hand-over finds no one.
    return reaped == starter && WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

} // namespace morvik::sandbox
