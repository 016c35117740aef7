// The probe: the one program that the end-to-end tests and the kernel matrix
// guests run, inside the confinement and outside it. Each run makes one
// attempt and prints one word: "ok" with exit status 0, or the name of the
// errno the attempt failed with ("EACCES", "ENOSYS", ...) with status 1;
// status 2 is a usage error. Actions that inspect the process print what they
// find instead of "ok". Needs only libc, so that it also builds as a static
// binary for the guests:  c++ -std=c++20 -static -O2 main.cpp
//
//   probe ACTION [ARGS...]      (the actions: the branches of run() below)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/io_uring.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

// The Landlock system calls: numbers shared by every architecture.
constexpr long kLandlockCreateRuleset = 444;
constexpr long kLandlockRestrictSelf = 446;

int report(bool ok) {
    const int err = errno;
    if (ok) {
        std::puts("ok");
        return 0;
    }
    const char* name = ::strerrorname_np(err);
    if (name != nullptr) {
        std::puts(name);
    } else {
        std::printf("errno %d\n", err);
    }
    return 1;
}

// A raw system call's result (negative: failed, errno set).
int report_rc(long rc) {
    return report(rc >= 0);
}

long number(const char* text) {
    return std::strtol(text, nullptr, 0);
}

// An argument with a bit above the low 32 set when `high`: the kernel reads
// socket() and ioctl() arguments as 32-bit values.
long with_high(long value, bool high) {
    return high ? static_cast<long>(static_cast<unsigned long>(value) | (1UL << 32)) : value;
}

sockaddr_in loopback(const char* port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(number(port)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A unix address: a path, or an abstract name (leading zero byte).
socklen_t unix_address(sockaddr_un& a, const char* name, bool abstract) {
    a = sockaddr_un{};
    a.sun_family = AF_UNIX;
    const std::size_t len = std::min(std::strlen(name), sizeof a.sun_path - 2);
    std::memcpy(a.sun_path + (abstract ? 1 : 0), name, len);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + 1);
}

int tcp(const char* port, bool bind) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return report(false);
    const sockaddr_in a = loopback(port);
    const auto* sa = reinterpret_cast<const sockaddr*>(&a);
    return report((bind ? ::bind(fd, sa, sizeof a) : ::connect(fd, sa, sizeof a)) == 0);
}

// Connects to the unix stream socket NAME; with `own`, listens on it first.
int unix_connect(const char* name, bool abstract, bool own) {
    sockaddr_un a;
    const socklen_t len = unix_address(a, name, abstract);
    const auto* sa = reinterpret_cast<const sockaddr*>(&a);
    if (own) {
        const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (!abstract) ::unlink(name);
        if (server < 0 || ::bind(server, sa, len) != 0 || ::listen(server, 1) != 0)
            return report(false);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd >= 0 && ::connect(fd, sa, len) == 0;
    const int saved = errno;
    if (own && !abstract) ::unlink(name);
    errno = saved;
    return report(ok);
}

// Listens on `fd`, then forks a server that, until killed, answers each
// connection once its request has ended (a blank line or end of file) as a
// web server or proxy would: with `name`, or with `stream`, with bytes until
// the client is gone. Prints the server's pid (and the port, when the kernel
// picked it), so that a caller can use it at once and kill it later.
int serve(int fd, bool ok, const std::string& name = "ok", bool stream = false) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (!ok || ::listen(fd, 16) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len))
        return report(false);
    const pid_t pid = ::fork();
    if (pid < 0) return report(false);
    if (pid == 0) { // let go of the caller's output, which it may read to the end
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 1);
        ::dup2(null, 2);
        const std::string answer = "HTTP/1.0 200 OK\r\n\r\n" + name + "\n";
        for (char buf[65536] = {};;) {
            const int c = ::accept(fd, nullptr, nullptr);
            std::string request;
            for (ssize_t n = 1; n > 0 && request.find("\r\n\r\n") == std::string::npos;)
                if ((n = ::read(c, buf, sizeof buf)) > 0) request.append(buf, std::size_t(n));
            ::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            while (stream && ::send(c, buf, sizeof buf, MSG_NOSIGNAL) > 0) {
            }
            ::close(c);
        }
    }
    std::printf(name == "unbound" ? "%d %d\n" : "%d\n", pid, ntohs(a.sin_port));
    return 0;
}

// On loopback PORT, or on ADDRESS:PORT; PORT "-": a listen() without bind().
int serve_tcp(const char* port, const char* address, bool stream) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (std::strcmp(port, "-") == 0) return serve(fd, fd >= 0, "unbound");
    sockaddr_in a = loopback(port);
    if (address != nullptr) ::inet_pton(AF_INET, address, &a.sin_addr);
    return serve(fd, fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0,
                 address != nullptr ? address : "127.0.0.1", stream);
}

int serve_unix(const char* name, bool abstract) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a;
    const socklen_t len = unix_address(a, name, abstract);
    if (!abstract) ::unlink(name);
    return serve(fd, fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&a), len) == 0);
}

// Waits up to 1.5 seconds for a datagram on loopback PORT ("ok").
int udp_wait(const char* port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return report(false);
    pollfd p{fd, POLLIN, 0};
    errno = ETIMEDOUT;
    return report(::poll(&p, 1, 1500) == 1);
}

// One datagram to loopback PORT, on a new socket or on descriptor FD.
int udp(const char* port, const char* fd_text) {
    const int fd = fd_text != nullptr ? static_cast<int>(number(fd_text))
                                      : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return report(false);
    const sockaddr_in a = loopback(port);
    return report(::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 1);
}

// Gives PATH the octal MODE, or creates it with that mode, through `how`:
// chmod, fchmod, fchmodat2, create (O_CREAT), mknod (a regular file),
// tmpfile (an unnamed file in directory PATH).
int set_mode(const std::string& how, const char* path, const char* mode_text) {
    const auto mode = static_cast<mode_t>(std::strtoul(mode_text, nullptr, 8));
    ::umask(0);
    if (how == "chmod") return report(::chmod(path, mode) == 0);
    if (how == "fchmod") {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        return report(fd >= 0 && ::fchmod(fd, mode) == 0);
    }
    if (how == "fchmodat2") return report_rc(::syscall(452, AT_FDCWD, path, mode, 0));
    if (how == "create")
        return report(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode) >= 0);
    if (how == "mknod") return report(::mknod(path, S_IFREG | mode, 0) == 0);
    if (how == "tmpfile") return report(::open(path, O_WRONLY | O_TMPFILE | O_CLOEXEC, mode) >= 0);
    return 2;
}

// Pushes a newline into the input of the terminal PATH ("-": descriptor 0).
int tiocsti(const char* path, bool high) {
    const int fd = std::strcmp(path, "-") == 0 ? 0 : ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return report(false);
    const char c = '\n';
    return report_rc(::syscall(SYS_ioctl, fd, with_high(TIOCSTI, high), &c));
}

// Sets an attribute of process PID (0: the probe) to the value it has, so
// that a call that gets through changes nothing: "prlimit" (open files),
// "setpriority" and "ioprio" (WHICH PID), "setscheduler", "setparam" and
// "setattr" (PID).
int same_value(const std::string& what, int argc, char* const* a) {
    const auto pid = static_cast<pid_t>(number(a[0]));
    if (what == "prlimit") {
        rlimit lim{};
        return report(::prlimit(pid, RLIMIT_NOFILE, nullptr, &lim) == 0 &&
                      ::prlimit(pid, RLIMIT_NOFILE, &lim, nullptr) == 0);
    }
    const auto which = static_cast<int>(number(a[0]));
    const auto who = static_cast<pid_t>(argc >= 2 ? number(a[1]) : 0);
    if (what == "setpriority") {
        errno = 0;
        const int nice = ::getpriority(static_cast<__priority_which_t>(which), who);
        return report(errno == 0 &&
                      ::setpriority(static_cast<__priority_which_t>(which), who, nice) == 0);
    }
    if (what == "ioprio") {
        const long prio = ::syscall(SYS_ioprio_get, which, who);
        return report_rc(prio < 0 ? prio : ::syscall(SYS_ioprio_set, which, who, prio));
    }
    sched_param param{};
    const int policy = ::sched_getscheduler(pid);
    if (policy < 0 || ::sched_getparam(pid, &param) != 0) return report(false);
    if (what == "setscheduler") return report(::sched_setscheduler(pid, policy, &param) == 0);
    if (what == "setparam") return report(::sched_setparam(pid, &param) == 0);
    if (what != "setattr") return 2;
    std::uint32_t attr[14] = {sizeof attr}; // struct sched_attr, its size first
    if (::syscall(SYS_sched_getattr, pid, attr, sizeof attr, 0) != 0) return report(false);
    return report_rc(::syscall(SYS_sched_setattr, pid, attr, 0));
}

// Starts a child, signals it and reaps it: a signal inside the confinement.
int kill_child() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    const bool ok = child > 0 && ::kill(child, SIGKILL) == 0;
    const int saved = errno;
    if (child > 0) ::waitpid(child, nullptr, 0);
    errno = saved;
    return report(ok);
}

// Sets the loopback interface's MTU to its current value: a change of
// network configuration that leaves the machine as it was.
int set_mtu() {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq req{};
    std::strcpy(req.ifr_name, "lo");
    if (fd < 0 || ::ioctl(fd, SIOCGIFMTU, &req) != 0) return report(false);
    return report(::ioctl(fd, SIOCSIFMTU, &req) == 0);
}

int pty() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return report(false);
    const char* name = ::ptsname(master);
    return report(name != nullptr && ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) >= 0);
}

// socket(AF_INET, SOCK_DGRAM, 0) through another architecture's entry.
int foreign_socket(const std::string& entry) {
#if defined(__x86_64__)
    if (entry == "int80") {         // the i386 entry: socket is 359 there
        ::signal(SIGSEGV, SIG_DFL); // a host without the entry kills the probe, as any program
        long rc;
        asm volatile("int $0x80"
                     : "=a"(rc)
                     : "a"(359L), "b"(AF_INET), "c"(SOCK_DGRAM), "d"(0L)
                     : "memory");
        if (rc < 0) errno = static_cast<int>(-rc);
        return report_rc(rc);
    }
    if (entry == "x32") // the x32 numbering: socket is 41 with bit 30 set
        return report_rc(::syscall(0x40000000L | SYS_socket, AF_INET, SOCK_DGRAM, 0));
#endif
    (void)entry;
    errno = ENOSYS;
    return report(false);
}

// The names of the capability sets that are not empty, or "none".
int caps() {
    std::FILE* f = std::fopen("/proc/self/status", "re");
    if (f == nullptr) return report(false);
    std::string held;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "Cap", 3) != 0 || std::strtoull(line + 7, nullptr, 16) == 0)
            continue;
        if (!held.empty()) held += ' ';
        held.append(line, 6);
    }
    std::fclose(f);
    std::puts(held.empty() ? "none" : held.c_str());
    return 0;
}

int list_fds() { // every open descriptor but the listing's own
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return report(false);
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != ::dirfd(dir))
            std::puts(entry->d_name);
    ::closedir(dir);
    return 0;
}

// A TCP connection to ADDRESS (IPv4 or IPv6) and PORT; -1 on failure.
int connect_to(const char* address, const char* port) {
    sockaddr_in6 a6{};
    sockaddr_in a4 = loopback(port);
    a6.sin6_family = AF_INET6;
    a6.sin6_port = a4.sin_port;
    const bool v6 = ::inet_pton(AF_INET6, address, &a6.sin6_addr) == 1;
    if (!v6 && ::inet_pton(AF_INET, address, &a4.sin_addr) != 1) return -1;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto* sa =
        v6 ? reinterpret_cast<const sockaddr*>(&a6) : reinterpret_cast<const sockaddr*>(&a4);
    if (fd < 0 || ::connect(fd, sa, v6 ? sizeof a6 : sizeof a4) != 0) return -1;
    return fd;
}

// Sends "GET PATH HTTP/1.0" (and half-closes, for a PATH holding
// "half-close") and prints the body of the answer.
int fetch(const char* address, const char* port, const char* path) {
    const int fd = connect_to(address, port);
    const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
    if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0 ||
        (std::strstr(path, "half-close") != nullptr && ::shutdown(fd, SHUT_WR) != 0))
        return report(false);
    std::string answer;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        answer.append(buf, static_cast<std::size_t>(n));
    if (n < 0) return report(false);
    const auto body = answer.find("\r\n\r\n");
    std::fputs(answer.substr(body == std::string::npos ? 0 : body + 4).c_str(), stdout);
    return 0;
}

// A server of KIND (udp, tcp-unbound: a listen() without bind(), abstract)
// on loopback: prints its port or name, then "reached" once something
// arrives, or "alone" when standard input ends first.
int serve_until_stdin_ends(const std::string& kind) {
    const bool udp = kind == "udp", abstract = kind == "abstract";
    const int fd = ::socket(abstract ? AF_UNIX : AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (abstract) {
        const std::string name = "morvik-probe-" + std::to_string(::getpid());
        sockaddr_un a;
        const socklen_t len = unix_address(a, name.c_str(), true);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 4) != 0)
            return report(false);
        std::puts(name.c_str());
    } else {
        sockaddr_in a = loopback("0");
        socklen_t len = sizeof a;
        if (udp && ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) return report(false);
        if (!udp && ::listen(fd, 4) != 0) return report(false); // the kernel picks the port
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        std::printf("%d\n", ntohs(a.sin_port));
    }
    std::fflush(stdout);
    pollfd p[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    ::poll(p, 2, 20000);
    if (p[0].revents == 0 && p[1].revents != 0) ::poll(p, 1, 50); // a late datagram
    std::puts(p[0].revents != 0 ? "reached" : "alone");
    return 0;
}

// Runs argv with a filter under which the Landlock system calls fail with
// ERR (ENOSYS: a kernel without Landlock; EOPNOTSUPP: Landlock turned off).
int without_landlock(const char* err_name, char** argv) {
    const unsigned err = std::strcmp(err_name, "EOPNOTSUPP") == 0 ? EOPNOTSUPP : ENOSYS;
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kLandlockCreateRuleset, 0, 2),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, kLandlockRestrictSelf, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | err),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof code / sizeof code[0], code};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        return report(false);
    ::execv(argv[0], argv);
    return report(false);
}

// Runs argv where unshare fails with EPERM (a container's policy), or, for
// "user-namespaces", where they are turned off: in a user namespace of its
// own (its ids mapped to themselves) whose user.max_user_namespaces is 0.
int without(const std::string& what, char** argv) {
    const auto put = [](const char* path, const std::string& text) {
        const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
        return fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    };
    const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_unshare, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{sizeof code / sizeof code[0], code};
    if (what == "unshare" ? ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                                ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0
                          : ::unshare(CLONE_NEWUSER) != 0 || !put("/proc/self/setgroups", "deny") ||
                                !put("/proc/self/uid_map", uid + " " + uid + " 1") ||
                                !put("/proc/self/gid_map", gid + " " + gid + " 1") ||
                                !put("/proc/sys/user/max_user_namespaces", "0"))
        return report(false);
    ::execv(argv[0], argv);
    return report(false);
}

// Runs argv on a new pseudo-terminal, as its controlling terminal, and
// copies what it writes there to standard output; exits as argv did.
int terminal(char** argv) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return report(false);
    const std::string name = ::ptsname(master);
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int tty = ::setsid() < 0 ? -1 : ::open(name.c_str(), O_RDWR);
        if (tty < 0 || ::dup2(tty, 0) < 0 || ::dup2(tty, 1) < 0 || ::dup2(tty, 2) < 0) ::_exit(2);
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
        if (::write(1, buf, static_cast<std::size_t>(n)) != n) break;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int run(const std::string& action, int argc, char** argv) {
    char* const* a = argv; // a[0] is the first argument after the action
    const char* arg = argc > 0 ? a[0] : "";
    // Files
    if (action == "write") { // create or append to a regular file
        const int fd = ::open(arg, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return report(fd >= 0 && ::write(fd, "x", 1) == 1);
    }
    if (action == "read") {
        char c;
        const int fd = ::open(arg, O_RDONLY | O_CLOEXEC);
        return report(fd >= 0 && ::read(fd, &c, 1) >= 0);
    }
    if (action == "readwrite") return report(::open(arg, O_RDWR | O_CLOEXEC) >= 0);
    if (action == "truncate") return report(::truncate(arg, 0) == 0);
    if (action == "list") {
        DIR* dir = ::opendir(arg);
        const int result = report(dir != nullptr && ::readdir(dir) != nullptr);
        if (dir != nullptr) ::closedir(dir);
        return result;
    }
    if (action == "mkdir") return report(::mkdir(arg, 0755) == 0);
    if (action == "unlink") return report(::unlink(arg) == 0);
    if (action == "mode" && argc >= 3) return set_mode(a[0], a[1], a[2]); // HOW PATH MODE
    if (action == "openat2") {
        struct {
            unsigned long long flags, mode, resolve;
        } how{O_RDONLY | O_CLOEXEC, 0, 0};
        return report_rc(::syscall(SYS_openat2, AT_FDCWD, arg, &how, sizeof how));
    }
    if (action == "mknod-block") return report(::mknod(arg, S_IFBLK | 0600, makedev(7, 0)) == 0);
    // Programs
    if (action == "exec" && argc >= 1) { // PROGRAM ARGS...: report only a failed exec
        ::execv(a[0], argv);
        return report(false);
    }
    if (action == "sh") { // SCRIPT, run by /bin/sh -c
        ::execl("/bin/sh", "sh", "-c", arg, nullptr);
        return report(false);
    }
    if (action == "as-user" && argc >= 2) { // UID COMMAND...: as uid and gid UID, no groups
        const auto id = static_cast<unsigned>(number(a[0]));
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0)
            return report(false);
        ::execv(a[1], argv + 1);
        return report(false);
    }
    if (action == "setuid") return report(::setuid(static_cast<uid_t>(number(arg))) == 0); // UID
    if (action == "without-landlock" && argc >= 2) return without_landlock(a[0], argv + 1);
    if (action == "without" && argc >= 2) return without(a[0], argv + 1); // unshare|user-namespaces
    if (action == "terminal" && argc >= 1) return terminal(argv);
    // Sockets: FAMILY TYPE PROTOCOL as numbers, through the raw system call
    if ((action == "socket" || action == "socket-high") && argc >= 3) {
        const bool high = action == "socket-high";
        return report_rc(::syscall(SYS_socket, with_high(number(a[0]), high),
                                   with_high(number(a[1]), high), with_high(number(a[2]), high)));
    }
    if (action == "socketpair" && argc >= 3) {
        int sv[2];
        return report_rc(::syscall(SYS_socketpair, number(a[0]), number(a[1]), number(a[2]), sv));
    }
    if (action == "foreign-socket") return foreign_socket(arg);                 // int80 or x32
    if (action == "connect") return tcp(arg, false);                            // loopback PORT
    if (action == "fetch" && argc >= 3) return fetch(a[0], a[1], a[2]);         // ADDRESS PORT PATH
    if (action == "serve-until-stdin-ends") return serve_until_stdin_ends(arg); // KIND
    if (action == "bind") return tcp(arg, true);
    if (action == "udp") return udp(arg, argc >= 2 ? a[1] : nullptr); // PORT [FD]
    if (action == "with-udp" && argc >= 2) { // FD COMMAND...: with a UDP socket as FD
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (s < 0 || ::dup2(s, static_cast<int>(number(a[0]))) < 0) return report(false);
        ::execv(a[1], argv + 1);
        return report(false);
    }
    if (action == "unix-connect") return unix_connect(arg, false, false);    // PATH
    if (action == "unix-self") return unix_connect(arg, false, true);        // listen, connect
    if (action == "abstract-connect") return unix_connect(arg, true, false); // NAME
    if (action == "abstract-self") return unix_connect(arg, true, true);
    if (action == "serve-tcp") // PORT [ADDRESS [stream]]
        return serve_tcp(arg, argc >= 2 ? a[1] : nullptr, argc >= 3);
    if (action == "udp-wait") return udp_wait(arg); // PORT
    if (action == "serve-unix") return serve_unix(arg, false);
    if (action == "serve-abstract") return serve_unix(arg, true);
    // Processes, terminals, devices
    if (action == "kill") return report(::kill(static_cast<pid_t>(number(arg)), SIGTERM) == 0);
    if (action == "kill-child") return kill_child();
    if (action == "same-value" && argc >= 2)
        return same_value(a[0], argc - 1, argv + 1); // WHAT ARGS...
    if (action == "pthread-setschedparam") {         // the probe's thread, as it is
        sched_param param{};
        int policy = 0;
        errno = ::pthread_getschedparam(::pthread_self(), &policy, &param);
        if (errno == 0) errno = ::pthread_setschedparam(::pthread_self(), policy, &param);
        return report(errno == 0);
    }
    if (action == "affinity") { // the probe's own thread, named by its thread id
        cpu_set_t set;
        const auto tid = static_cast<pid_t>(::syscall(SYS_gettid));
        return report(::sched_getaffinity(tid, sizeof set, &set) == 0 &&
                      ::sched_setaffinity(tid, sizeof set, &set) == 0);
    }
    if (action == "tiocsti") return tiocsti(arg, false); // PATH or "-"
    if (action == "tiocsti-high") return tiocsti(arg, true);
    if (action == "tiocsetd") { // descriptor 0's terminal: its line discipline, unchanged
        int discipline = 0;
        return report(::ioctl(0, TIOCGETD, &discipline) == 0 &&
                      ::ioctl(0, TIOCSETD, &discipline) == 0);
    }
    if (action == "tiocexcl") { // descriptor 0's terminal: exclusive mode, then off again
        const bool ok = ::ioctl(0, TIOCEXCL) == 0;
        const int saved = errno;
        ::ioctl(0, TIOCNXCL);
        errno = saved;
        return report(ok);
    }
    if (action == "winsize") { // the terminal on descriptor 0: read and set its size
        winsize ws{};
        return report(::ioctl(0, TIOCGWINSZ, &ws) == 0 && ::ioctl(0, TIOCSWINSZ, &ws) == 0);
    }
    if (action == "pty") return pty();
    if (action == "set-mtu") return set_mtu();
    if (action == "io-uring-setup") {
        long params[15] = {};
        return report_rc(::syscall(SYS_io_uring_setup, 1, params));
    }
    if (action == "with-ring" && argc >= 2) { // FD COMMAND...: with an io_uring as FD
        long params[15] = {};
        const long ring = ::syscall(SYS_io_uring_setup, 1, params);
        if (ring < 0 || ::dup2(static_cast<int>(ring), static_cast<int>(number(a[0]))) < 0)
            return report(false);
        ::execv(a[1], argv + 1);
        return report(false);
    }
    if (action == "io-uring-enter") // FD: an empty submission
        return report_rc(::syscall(SYS_io_uring_enter, number(arg), 0, 0, 0, nullptr, 0));
    if (action == "io-uring-register") // FD: a personality, the caller's credentials
        return report_rc(
            ::syscall(SYS_io_uring_register, number(arg), IORING_REGISTER_PERSONALITY, nullptr, 0));
    // What the process is and holds
    if (action == "abi") { // the kernel's Landlock version
        const long v = ::syscall(kLandlockCreateRuleset, nullptr, 0, 1U);
        if (v < 0) return report(false);
        std::printf("%ld\n", v);
        return 0;
    }
    if (action == "caps") return caps();
    if (action == "nnp") {
        std::printf("%d\n", ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0));
        return 0;
    }
    if (action == "fds") return list_fds();
    if (action == "args") { // the whole command line (from the program name), one per line
        for (int i = -2; i < argc; ++i)
            std::puts(argv[i]);
        return 0;
    }
    if (action == "env") { // the environment, NUL-separated
        for (char** e = environ; *e != nullptr; ++e)
            std::fwrite(*e, 1, std::strlen(*e) + 1, stdout);
        return 0;
    }
    if (action == "sigpipe") {
        struct sigaction sa {};
        ::sigaction(SIGPIPE, nullptr, &sa);
        std::puts(sa.sa_handler == SIG_IGN ? "ignored" : "default");
        return 0;
    }
    if (action == "stdin") { // whether descriptor 0 is /dev/null
        struct stat st {};
        struct stat null_st {};
        if (::fstat(0, &st) != 0 || ::stat("/dev/null", &null_st) != 0) return report(false);
        std::puts(S_ISCHR(st.st_mode) && st.st_rdev == null_st.st_rdev ? "devnull" : "other");
        return 0;
    }
    std::fprintf(stderr, "probe: unknown action or missing arguments: %s\n", action.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: probe ACTION [ARGS...]\n");
        return 2;
    }
    return run(argv[1], argc - 2, argv + 2);
}
