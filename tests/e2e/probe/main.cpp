// A probe run inside the sandbox by the end-to-end tests. Each invocation
// performs one action and reports through its exit status:
//   0 allowed, 13 refused (EACCES or EPERM), 1 any other failure (its errno
//   printed as "errno N"), 2 misuse, 3 not available on this architecture.
// Actions that inspect the process print what they find on standard output.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

extern char** environ;

namespace {

int outcome(bool ok) {
    if (ok) return 0;
    const int err = errno;
    std::printf("errno %d\n", err);
    return (err == EACCES || err == EPERM) ? 13 : 1;
}

int tcp(const char* port_text, bool do_bind) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return outcome(false);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::atoi(port_text)));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    const int rc = do_bind ? ::bind(fd, sa, sizeof addr) : ::connect(fd, sa, sizeof addr);
    return outcome(rc == 0);
}

sockaddr_un unix_address(const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    return addr;
}

// Connects to the stream socket at `path`; with `own`, first creates and
// listens on it itself.
int unix_connect(const char* path, bool own) {
    const sockaddr_un addr = unix_address(path);
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    if (own) {
        const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (server < 0 || ::bind(server, sa, sizeof addr) != 0 || ::listen(server, 1) != 0) {
            return outcome(false);
        }
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd >= 0 && ::connect(fd, sa, sizeof addr) == 0;
    const int result = outcome(ok);
    if (own) ::unlink(path);
    return result;
}

// A raw system call's result through outcome(); `rc` as the call returned it.
int raw(long rc) {
    return outcome(rc >= 0);
}

// Arguments of socket() and ioctl() with bits above the low 32 set when
// `high` (the kernel reads them as 32-bit values).
long with_high(long value, bool high) {
    return high ? static_cast<long>(static_cast<unsigned long>(value) | (1UL << 32)) : value;
}

// socket(FAMILY, TYPE, PROTOCOL) through the raw system call.
int socket_call(char** argv, int argc, bool high) {
    if (argc < 5) return 2;
    return raw(::syscall(SYS_socket, with_high(std::atol(argv[2]), high),
                         with_high(std::atol(argv[3]), high), with_high(std::atol(argv[4]), high)));
}

// socketpair(FAMILY, TYPE, PROTOCOL) through the raw system call.
int socketpair_call(char** argv, int argc) {
    if (argc < 5) return 2;
    int sv[2];
    return raw(
        ::syscall(SYS_socketpair, std::atol(argv[2]), std::atol(argv[3]), std::atol(argv[4]), sv));
}

// Gives PATH the octal MODE, or creates it with that mode, through `how`:
// chmod, fchmod, fchmodat2, create (open with O_CREAT), mknod (a regular
// file), tmpfile (an unnamed file in directory PATH, O_TMPFILE).
int set_mode(const std::string& how, const char* path, const char* mode_text) {
    const auto mode = static_cast<mode_t>(std::strtoul(mode_text, nullptr, 8));
    ::umask(0);
    if (how == "chmod") return outcome(::chmod(path, mode) == 0);
    if (how == "fchmod") {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        return outcome(fd >= 0 && ::fchmod(fd, mode) == 0);
    }
    if (how == "fchmodat2") { // numbers from 424 on are the same on every architecture
        return raw(::syscall(452, AT_FDCWD, path, mode, 0));
    }
    if (how == "create")
        return outcome(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode) >= 0);
    if (how == "mknod") return outcome(::mknod(path, S_IFREG | mode, 0) == 0);
    if (how == "tmpfile") return outcome(::open(path, O_WRONLY | O_TMPFILE | O_CLOEXEC, mode) >= 0);
    return 2;
}

// Pushes one byte into the input of the terminal on `path` ("-" for
// descriptor 0) with TIOCSTI.
int tiocsti(const char* path, bool high) {
    const int fd = std::strcmp(path, "-") == 0 ? 0 : ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return outcome(false);
    const char c = '\n';
    return raw(::syscall(SYS_ioctl, fd, with_high(TIOCSTI, high), &c));
}

// An abstract unix socket address for `name`.
socklen_t abstract_address(const char* name, sockaddr_un& addr) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    const std::size_t n = std::min(std::strlen(name), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, name, n);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

int connect_abstract(const char* name) {
    sockaddr_un addr;
    const socklen_t len = abstract_address(name, addr);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return outcome(fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0);
}

// Listens on an abstract socket and connects to it: both inside.
int abstract_inside() {
    sockaddr_un addr;
    const socklen_t len = abstract_address("morvik-probe-inside", addr);
    const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 || ::bind(server, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(server, 1) != 0)
        return outcome(false);
    return connect_abstract("morvik-probe-inside");
}

// Starts a child, signals it and reaps it: a signal inside the confinement.
int kill_inside() {
    const pid_t child = ::fork();
    if (child == 0) {
        ::pause();
        ::_exit(0);
    }
    const bool ok = child > 0 && ::kill(child, SIGKILL) == 0;
    const int result = outcome(ok);
    if (child > 0) ::waitpid(child, nullptr, 0);
    return result;
}

// Sets the loopback interface's MTU to its current value (a change of
// network configuration that leaves the machine as it was).
int set_loopback_mtu() {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return outcome(false);
    ifreq req{};
    std::strcpy(req.ifr_name, "lo");
    if (::ioctl(fd, SIOCGIFMTU, &req) != 0) return outcome(false);
    return outcome(::ioctl(fd, SIOCSIFMTU, &req) == 0);
}

// Opens a new pseudo-terminal pair.
int pty() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return outcome(false);
    const char* name = ::ptsname(master);
    return outcome(name != nullptr && ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) >= 0);
}

// socket(AF_INET, SOCK_DGRAM, 0) through another architecture's entry.
int foreign_socket(const std::string& entry) {
#if defined(__x86_64__)
    if (entry == "int80") { // the i386 entry: socket is 359 there
        long rc;
        asm volatile("int $0x80"
                     : "=a"(rc)
                     : "a"(359L), "b"(AF_INET), "c"(SOCK_DGRAM), "d"(0L)
                     : "memory");
        if (rc < 0) errno = static_cast<int>(-rc);
        return raw(rc);
    }
    if (entry == "x32") // the x32 numbering: socket is 41 with bit 30 set
        return raw(::syscall(0x40000000L | SYS_socket, AF_INET, SOCK_DGRAM, 0));
#endif
    (void)entry;
    std::printf("unsupported\n");
    return 3;
}

// Connects to ADDR (IPv4 or IPv6) and PORT; -1 with errno on failure.
int connect_to(const char* address, const char* port_text) {
    sockaddr_in6 a6{};
    sockaddr_in a4{};
    const auto port = htons(static_cast<uint16_t>(std::atoi(port_text)));
    const bool v6 = ::inet_pton(AF_INET6, address, &a6.sin6_addr) == 1;
    if (!v6 && ::inet_pton(AF_INET, address, &a4.sin_addr) != 1) return -1;
    a6.sin6_family = AF_INET6;
    a6.sin6_port = a4.sin_port = port;
    a4.sin_family = AF_INET;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto* sa =
        v6 ? reinterpret_cast<const sockaddr*>(&a6) : reinterpret_cast<const sockaddr*>(&a4);
    if (fd < 0 || ::connect(fd, sa, v6 ? sizeof a6 : sizeof a4) != 0) return -1;
    return fd;
}

// Sends "GET PATH HTTP/1.0", half-closes, and prints the body of the answer.
int fetch(const char* address, const char* port, const char* path) {
    const int fd = connect_to(address, port);
    const std::string request = std::string("GET ") + path + " HTTP/1.0\r\n\r\n";
    if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0 ||
        ::shutdown(fd, SHUT_WR) != 0)
        return outcome(false);
    std::string answer;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        answer.append(buf, static_cast<std::size_t>(n));
    if (n < 0) return outcome(false);
    const auto body = answer.find("\r\n\r\n");
    if (body != std::string::npos) answer.erase(0, body + 4);
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    return 0;
}

// Starts a download of /stream in a child and ends once the child has 1 MiB;
// the child reads on and prints how its download ended.
int download_and_leave(const char* address, const char* port) {
    int ready[2];
    if (::pipe(ready) != 0) return outcome(false);
    if (::fork() == 0) {
        const int fd = connect_to(address, port);
        const char request[] = "GET /stream HTTP/1.0\r\n\r\n";
        if (fd < 0 || ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) < 0)
            _exit(outcome(false));
        char buf[65536];
        std::size_t total = 0;
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            total += static_cast<std::size_t>(n);
            if (total >= (1U << 20) && ready[1] >= 0) ::close(std::exchange(ready[1], -1));
        }
        std::printf("download ended: %s\n", n == 0 ? "eof" : std::strerror(errno));
        std::fflush(stdout);
        _exit(0);
    }
    ::close(ready[1]);
    char c;
    return ::read(ready[0], &c, 1) == 0 ? 0 : 1;
}

// A server the probe makes (KIND: udp, tcp-unbound for a listen() without
// bind(), abstract): prints its port or name, then "reached" once something
// arrives, or "alone" when standard input ends first.
int serve(const std::string& kind) {
    const bool udp = kind == "udp", abstract = kind == "abstract";
    const int fd =
        ::socket(abstract ? AF_UNIX : AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (abstract) {
        const std::string name = "morvik-probe-" + std::to_string(::getpid());
        len = abstract_address(name.c_str(), reinterpret_cast<sockaddr_un&>(addr));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 4) != 0)
            return outcome(false);
        std::printf("%s\n", name.c_str());
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(addr);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (udp && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof a) != 0)
            return outcome(false);
        if (!udp && ::listen(fd, 4) != 0) return outcome(false); // the kernel picks the port
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        std::printf("%d\n", ntohs(a.sin_port));
    }
    std::fflush(stdout);
    pollfd p[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    ::poll(p, 2, 20000);
    if (p[0].revents == 0 && p[1].revents != 0) ::poll(p, 1, 50); // a late datagram
    std::printf("%s\n", p[0].revents != 0 ? "reached" : "alone");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string action = argv[1];
    const char* arg = argc > 2 ? argv[2] : "";
    if (action == "write") { // create or append to a regular file
        const int fd = ::open(arg, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return outcome(fd >= 0 && ::write(fd, "x", 1) == 1);
    }
    if (action == "read") {
        char c;
        const int fd = ::open(arg, O_RDONLY | O_CLOEXEC);
        return outcome(fd >= 0 && ::read(fd, &c, 1) >= 0);
    }
    if (action == "truncate") return outcome(::truncate(arg, 0) == 0);
    if (action == "list") {
        DIR* dir = ::opendir(arg);
        const bool ok = dir != nullptr && ::readdir(dir) != nullptr;
        const int result = outcome(ok);
        if (dir != nullptr) ::closedir(dir);
        return result;
    }
    if (action == "mkdir") return outcome(::mkdir(arg, 0755) == 0);
    if (action == "unlink") return outcome(::unlink(arg) == 0);
    if (action == "exec") { // run argv[2..] and report whether exec worked
        ::execv(arg, argv + 2);
        return outcome(false);
    }
    if (action == "connect") return tcp(arg, false);
    if (action == "bind") return tcp(arg, true);
    if (action == "unix-connect") return unix_connect(arg, false);
    if (action == "unix-own") return unix_connect(arg, true); // listen, then connect
    if (action == "nnp") {
        std::printf("%d\n", ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0));
        return 0;
    }
    if (action == "fds") { // every open descriptor but the listing's own
        DIR* dir = ::opendir("/proc/self/fd");
        if (dir == nullptr) return outcome(false);
        const int own = ::dirfd(dir);
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
            std::printf("%s\n", entry->d_name);
        }
        ::closedir(dir);
        return 0;
    }
    if (action == "args") { // argv, one per line, as given
        for (int i = 0; i < argc; ++i)
            std::printf("%s\n", argv[i]);
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
        std::printf("%s\n", sa.sa_handler == SIG_IGN ? "ignored" : "default");
        return 0;
    }
    if (action == "socket") return socket_call(argv, argc, false);  // FAMILY TYPE PROTOCOL
    if (action == "socketpair") return socketpair_call(argv, argc); // FAMILY TYPE PROTOCOL
    if (action == "mode") return argc < 5 ? 2 : set_mode(arg, argv[3], argv[4]); // HOW PATH MODE
    if (action == "openat2") { // open PATH read-only through openat2
        struct {
            unsigned long long flags, mode, resolve;
        } how{O_RDONLY | O_CLOEXEC, 0, 0};
        return raw(::syscall(SYS_openat2, AT_FDCWD, argv[2], &how, sizeof how));
    }
    if (action == "socket-high") return socket_call(argv, argc, true); // high bits set
    if (action == "udp") { // one datagram to loopback PORT
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return outcome(false);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(std::atoi(arg)));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return outcome(::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) ==
                       1);
    }
    if (action == "tiocsti") return tiocsti(arg, false); // PATH or "-"
    if (action == "tiocsti-high") return tiocsti(arg, true);
    if (action == "winsize") { // the terminal on descriptor 0: read and set its size
        winsize ws{};
        return outcome(::ioctl(0, TIOCGWINSZ, &ws) == 0 && ::ioctl(0, TIOCSWINSZ, &ws) == 0);
    }
    if (action == "io_uring") {
        long params[15] = {};
        return raw(::syscall(SYS_io_uring_setup, 1, params));
    }
    if (action == "foreign-socket") return foreign_socket(arg);                 // int80 or x32
    if (action == "kill") return outcome(::kill(std::atoi(arg), SIGTERM) == 0); // PID
    if (action == "kill-inside") return kill_inside();
    if (action == "abstract") return connect_abstract(arg); // NAME
    if (action == "abstract-inside") return abstract_inside();
    if (action == "mknod-block") return outcome(::mknod(arg, S_IFBLK | 0600, makedev(7, 0)) == 0);
    if (action == "readwrite") { // open PATH for reading and writing
        return outcome(::open(arg, O_RDWR | O_CLOEXEC) >= 0);
    }
    if (action == "set-mtu") return set_loopback_mtu();
    if (action == "pty") return pty();
    if (action == "caps") { // the capability lines of /proc/self/status
        std::FILE* f = std::fopen("/proc/self/status", "re");
        if (f == nullptr) return outcome(false);
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr)
            if (std::strncmp(line, "Cap", 3) == 0) std::fputs(line, stdout);
        std::fclose(f);
        return 0;
    }
    if (action == "fetch") return argc < 5 ? 2 : fetch(arg, argv[3], argv[4]); // ADDR PORT PATH
    if (action == "download-and-leave") return argc < 4 ? 2 : download_and_leave(arg, argv[3]);
    if (action == "serve") return serve(arg); // udp, tcp-unbound or abstract
    if (action == "stdin") {                  // what descriptor 0 is
        struct stat st {};
        struct stat null_st {};
        if (::fstat(0, &st) != 0) return outcome(false);
        ::stat("/dev/null", &null_st);
        const bool is_null = S_ISCHR(st.st_mode) && st.st_rdev == null_st.st_rdev;
        std::printf("%s\n", is_null ? "devnull" : "other");
        return 0;
    }
    return 2;
}
