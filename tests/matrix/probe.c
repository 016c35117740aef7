/* Small static probe run inside the matrix guests, where busybox has no
 * applet for the call. Each subcommand makes one call and prints one word:
 * "ok", or the errno's name when the call failed. Exit status 0 for ok,
 * 1 for a failed call, 2 for a usage error.
 *
 * Servers ("serve-*") bind and listen, then fork: the parent prints the
 * child's pid and exits, so a shell can start one, use it at once, and kill
 * it by pid later. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef IPPROTO_MPTCP
#define IPPROTO_MPTCP 262
#endif
#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#endif
#ifndef __NR_io_uring_setup
#define __NR_io_uring_setup 425
#endif

static const char* errno_name(int e) {
    static const struct {
        int value;
        const char* name;
    } names[] = {
        {EACCES, "EACCES"},
        {EPERM, "EPERM"},
        {EPROTONOSUPPORT, "EPROTONOSUPPORT"},
        {EAFNOSUPPORT, "EAFNOSUPPORT"},
        {ECONNREFUSED, "ECONNREFUSED"},
        {ECONNRESET, "ECONNRESET"},
        {ENOSYS, "ENOSYS"},
        {EOPNOTSUPP, "EOPNOTSUPP"},
        {ENOENT, "ENOENT"},
        {EINVAL, "EINVAL"},
        {ENOTTY, "ENOTTY"},
        {EIO, "EIO"},
        {EADDRINUSE, "EADDRINUSE"},
        {ESOCKTNOSUPPORT, "ESOCKTNOSUPPORT"},
        {EBADF, "EBADF"},
        {ENOTSOCK, "ENOTSOCK"},
    };
    static char other[32];
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (names[i].value == e) return names[i].name;
    snprintf(other, sizeof other, "errno%d", e);
    return other;
}

/* Prints the outcome of a call that returned rc (negative: failed with errno). */
static int report(long rc) {
    if (rc < 0) {
        puts(errno_name(errno));
        return 1;
    }
    puts("ok");
    return 0;
}

static struct sockaddr_in loopback(const char* port) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)atoi(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

/* A unix address: a path, or an abstract name when abstract is set. */
static socklen_t unix_address(struct sockaddr_un* a, const char* name, int abstract) {
    memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    size_t len = strlen(name);
    if (len + 2 > sizeof a->sun_path) len = sizeof a->sun_path - 2;
    memcpy(a->sun_path + (abstract ? 1 : 0), name, len);
    /* A path counts its terminating zero, an abstract name its leading one. */
    return (socklen_t)(offsetof(struct sockaddr_un, sun_path) + len + 1);
}

static int tcp_connect(const char* port, int protocol) {
    int fd = socket(AF_INET, SOCK_STREAM, protocol);
    if (fd < 0) return report(-1);
    struct sockaddr_in a = loopback(port);
    return report(connect(fd, (struct sockaddr*)&a, sizeof a));
}

/* Connects to ADDR:PORT and reads to the end: "ok" once the server has
 * closed, the errno's name when the connection fails or is reset. */
static int tcp_read(const char* addr, const char* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return report(-1);
    struct sockaddr_in a = loopback(port);
    inet_pton(AF_INET, addr, &a.sin_addr);
    if (connect(fd, (struct sockaddr*)&a, sizeof a) < 0) return report(-1);
    char buf[256];
    long n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
    }
    return report(n);
}

static int tcp_bind(const char* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return report(-1);
    struct sockaddr_in a = loopback(port);
    return report(bind(fd, (struct sockaddr*)&a, sizeof a));
}

static int unix_connect(const char* name, int abstract) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return report(-1);
    struct sockaddr_un a;
    socklen_t len = unix_address(&a, name, abstract);
    return report(connect(fd, (struct sockaddr*)&a, len));
}

/* Listens on fd, then forks a child that accepts until killed. */
static int serve(int fd) {
    if (listen(fd, 16) < 0) return report(-1);
    pid_t pid = fork();
    if (pid < 0) return report(-1);
    if (pid == 0) {
        /* Let go of the caller's output, which a shell may be reading to
         * its end. */
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        for (;;) {
            int c = accept(fd, NULL, NULL);
            if (c >= 0) close(c);
        }
    }
    printf("%d\n", (int)pid);
    return 0;
}

/* On 127.0.0.1, or on ADDR when given. */
static int serve_tcp(const char* port, const char* addr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = loopback(port);
    if (addr != NULL) inet_pton(AF_INET, addr, &a.sin_addr);
    if (fd < 0 || bind(fd, (struct sockaddr*)&a, sizeof a) < 0) return report(-1);
    return serve(fd);
}

static int serve_unix(const char* name, int abstract) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a;
    socklen_t len = unix_address(&a, name, abstract);
    if (!abstract) unlink(name);
    if (fd < 0 || bind(fd, (struct sockaddr*)&a, len) < 0) return report(-1);
    return serve(fd);
}

/* A server and a client in this one process: what the command creates
 * itself must stay reachable. */
static int unix_self(const char* name, int abstract) {
    int srv = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un a;
    socklen_t len = unix_address(&a, name, abstract);
    if (!abstract) unlink(name);
    if (srv < 0 || bind(srv, (struct sockaddr*)&a, len) < 0 || listen(srv, 1) < 0)
        return report(-1);
    int cli = socket(AF_UNIX, SOCK_STREAM, 0);
    if (cli < 0) return report(-1);
    int rc = connect(cli, (struct sockaddr*)&a, len);
    int saved = errno;
    if (!abstract) unlink(name);
    errno = saved;
    return report(rc);
}

static int udp_send(int fd, const char* port) {
    struct sockaddr_in a = loopback(port);
    return report(sendto(fd, "x", 1, 0, (struct sockaddr*)&a, sizeof a));
}

/* Runs argv with a UDP socket, made here, open as descriptor fd. */
static int with_udp(int fd, char** argv) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0 || dup2(s, fd) < 0) return report(-1);
    if (s != fd) close(s);
    execv(argv[0], argv);
    return report(-1);
}

static int signal_child(void) {
    pid_t pid = fork();
    if (pid < 0) return report(-1);
    if (pid == 0) {
        pause();
        _exit(0);
    }
    int rc = kill(pid, SIGTERM);
    int saved = errno;
    waitpid(pid, NULL, 0);
    errno = saved;
    return report(rc);
}

static int tiocsti(const char* path, int high) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return report(-1);
    char c = '\n';
    unsigned long request = TIOCSTI;
    if (high) request |= 1UL << (sizeof(long) * 8 - 1);
    return report(syscall(SYS_ioctl, fd, request, &c));
}

static int landlock_abi(void) {
    long v = syscall(__NR_landlock_create_ruleset, NULL, 0, 1U);
    if (v < 0) {
        printf("0 %s\n", errno_name(errno));
        return 0;
    }
    printf("%ld\n", v);
    return 0;
}

static int io_uring(void) {
    char params[120];
    memset(params, 0, sizeof params);
    long fd = syscall(__NR_io_uring_setup, 1, params);
    return report(fd);
}

/* Runs argv as uid and gid `id`, with no supplementary groups. */
static int as_user(const char* id, char** argv) {
    unsigned n = (unsigned)atoi(id);
    if (setgroups(0, NULL) < 0 || setgid(n) < 0 || setuid(n) < 0) return report(-1);
    execv(argv[0], argv);
    return report(-1);
}

int main(int argc, char** argv) {
    const char* cmd = argc > 1 ? argv[1] : "";
    const char* arg = argc > 2 ? argv[2] : "";
#define IS(name, nargs) (strcmp(cmd, name) == 0 && argc >= 2 + (nargs))
    if (IS("abi", 0)) return landlock_abi();
    if (IS("tcp-connect", 1)) return tcp_connect(arg, 0);
    if (IS("mptcp-connect", 1)) return tcp_connect(arg, IPPROTO_MPTCP);
    if (IS("tcp-bind", 1)) return tcp_bind(arg);
    if (IS("udp-socket", 0)) return report(socket(AF_INET, SOCK_DGRAM, 0));
    if (IS("raw-socket", 0)) return report(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
    if (IS("packet-socket", 0)) return report(socket(AF_PACKET, SOCK_DGRAM, 0));
    if (IS("udp-send", 2)) return udp_send(atoi(arg), argv[3]);
    if (IS("with-udp", 2)) return with_udp(atoi(arg), argv + 3);
    if (IS("unix-connect", 1)) return unix_connect(arg, 0);
    if (IS("abstract-connect", 1)) return unix_connect(arg, 1);
    if (IS("unix-self", 1)) return unix_self(arg, 0);
    if (IS("abstract-self", 1)) return unix_self(arg, 1);
    if (IS("tcp-read", 2)) return tcp_read(arg, argv[3]);
    if (IS("serve-tcp", 1)) return serve_tcp(arg, argc > 3 ? argv[3] : NULL);
    if (IS("serve-unix", 1)) return serve_unix(arg, 0);
    if (IS("serve-abstract", 1)) return serve_unix(arg, 1);
    if (IS("truncate", 1)) return report(truncate(arg, 0));
    if (IS("signal-parent", 0)) return report(kill(getppid(), 0));
    if (IS("signal-child", 0)) return signal_child();
    if (IS("tiocsti", 1)) return tiocsti(arg, 0);
    if (IS("tiocsti-high", 1)) return tiocsti(arg, 1);
    if (IS("io-uring", 0)) return io_uring();
    if (IS("as-user", 2)) return as_user(arg, argv + 3);
    fprintf(stderr, "usage: probe COMMAND [ARGS]\n");
    return 2;
}
