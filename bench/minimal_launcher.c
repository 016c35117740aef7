/* Baseline for the launch benchmark: the least a launcher can do to confine
 * a command the same way. It gets its rules ready-made on the command line
 * (the profile file is read but not parsed) and makes the launcher's system
 * calls in the launcher's order: the standard-descriptor check and SIGPIPE,
 * the version queries, the Landlock ruleset with its scopes, every path
 * opened by descriptor (the writable places first, links followed from the
 * root and the ancestry of their targets and of the home directory walked up
 * with ".."), the capability drop when it runs as root or holds a
 * capability, and a system-call filter making the same refusals (written
 * out below; set-ID modes refused after a drop), then execs.
 * The link walk covers what the benchmark's paths need: a top-level name
 * whose link text is relative and holds no further link.
 *   minimal_launcher PROFILE HANDLED_FS PORT [KIND+ACCESS PATH]... -- command [args...]
 * ACCESS and HANDLED_FS are hexadecimal; PORT 0 means no port rule. KIND is
 * 'p' (a fixed writable place, opened first), 'w' (a writable place, opened
 * next), 's' (a system directory, whose ancestry is taken when reached
 * through a link), 'h' (the home directory: its ancestry, then the owner
 * check's getuid) or 'r' (the rest). */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/ioprio.h>
#include <linux/netlink.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <linux/securebits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#define ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define ARCH AUDIT_ARCH_AARCH64
#endif
#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif

/* The filter. Each block starts by comparing the system-call number; a block
 * that matches returns, one that does not skips to the next block with the
 * number still loaded. Arguments are compared as their low 32 bits (x86-64
 * and aarch64 are little-endian). */
#define LOAD(off) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, (off))
#define ARG(i) offsetof(struct seccomp_data, args[i])
#define JEQ(k, t, f) BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (k), (t), (f))
#define JSET(k, t, f) BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, (k), (t), (f))
#define ALLOW BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)
#define FAIL(e) BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (e))
#define DENY(nr, e) JEQ(nr, 0, 1), FAIL(e)
#define SET_ID 06000
#define CREATING (O_CREAT | (O_TMPFILE & ~O_DIRECTORY))
/* A set-ID mode in argument m refused. */
#define DENY_SET_ID(nr, m) JEQ(nr, 0, 4), LOAD(ARG(m)), JSET(SET_ID, 0, 1), FAIL(EPERM), ALLOW
/* The same when the flags in argument f create a file. */
#define DENY_SET_ID_CREATE(nr, f, m)                                                               \
    JEQ(nr, 0, 6), LOAD(ARG(f)), JSET(CREATING, 0, 3), LOAD(ARG(m)), JSET(SET_ID, 0, 1),           \
        FAIL(EPERM), ALLOW
/* A pid in argument 0 other than 0 (the calling process) refused. */
#define SELF_ONLY(nr) JEQ(nr, 0, 4), LOAD(ARG(0)), JEQ(0, 0, 1), ALLOW, FAIL(EPERM)
/* The same for (which, who) other than (w, 0). */
#define WHICH_SELF_ONLY(nr, w)                                                                     \
    JEQ(nr, 0, 6), LOAD(ARG(0)), JEQ(w, 0, 3), LOAD(ARG(1)), JEQ(0, 0, 1), ALLOW, FAIL(EPERM)

#if defined(__x86_64__)
#define NOT_X32 BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1), FAIL(ENOSYS),
#else
#define NOT_X32
#endif

/* clang-format off */
/* Inet streams allowed, datagrams not (the benchmark's profile). */
#define COMMON_RULES \
    LOAD(offsetof(struct seccomp_data, arch)), \
    JEQ(ARCH, 1, 0), \
    FAIL(ENOSYS), \
    LOAD(offsetof(struct seccomp_data, nr)), \
    NOT_X32 \
    /* socket() and socketpair(): domain, type, protocol */ \
    JEQ(__NR_socket, 1, 0), \
    JEQ(__NR_socketpair, 0, 18), \
    LOAD(ARG(0)), \
    JEQ(AF_UNIX, 13, 0), \
    JEQ(AF_INET, 4, 0), \
    JEQ(AF_INET6, 3, 0), \
    JEQ(AF_NETLINK, 0, 11), \
    LOAD(ARG(2)), \
    JEQ(NETLINK_ROUTE, 8, 9), \
    LOAD(ARG(1)), /* inet */ \
    BPF_STMT(BPF_ALU | BPF_AND | BPF_K, ~(SOCK_NONBLOCK | SOCK_CLOEXEC)), \
    JEQ(SOCK_STREAM, 0, 4), \
    LOAD(ARG(2)), \
    JEQ(IPPROTO_MPTCP, 5, 0), \
    JEQ(0, 2, 0), \
    JEQ(IPPROTO_TCP, 1, 0), \
    FAIL(EACCES), \
    ALLOW, \
    FAIL(EAFNOSUPPORT), \
    FAIL(EPROTONOSUPPORT), \
    /* ioctl(): request */ \
    JEQ(__NR_ioctl, 0, 7), \
    LOAD(ARG(1)), \
    JEQ(TIOCSTI, 4, 0), \
    JEQ(TIOCLINUX, 3, 0), \
    JEQ(TIOCSETD, 2, 0), \
    JEQ(TIOCEXCL, 1, 0), \
    ALLOW, \
    FAIL(EPERM), \
    DENY(__NR_io_uring_setup, ENOSYS), \
    DENY(__NR_io_uring_enter, ENOSYS), \
    DENY(__NR_io_uring_register, ENOSYS), \
    SELF_ONLY(__NR_prlimit64), \
    SELF_ONLY(__NR_sched_setscheduler), \
    SELF_ONLY(__NR_sched_setparam), \
    SELF_ONLY(__NR_sched_setattr), \
    WHICH_SELF_ONLY(__NR_setpriority, PRIO_PROCESS), \
    WHICH_SELF_ONLY(__NR_ioprio_set, IOPRIO_WHO_PROCESS)

static const struct sock_filter unprivileged_filter[] = {COMMON_RULES, ALLOW};
static const struct sock_filter privileged_filter[] = {
    COMMON_RULES,
#ifdef __NR_open
    DENY_SET_ID(__NR_chmod, 1),
    DENY_SET_ID(__NR_creat, 1),
    DENY_SET_ID(__NR_mknod, 1),
    DENY_SET_ID_CREATE(__NR_open, 1, 2),
#endif
    DENY_SET_ID(__NR_fchmod, 1),
    DENY_SET_ID(__NR_fchmodat, 2),
    DENY_SET_ID(__NR_fchmodat2, 2),
    DENY_SET_ID(__NR_mknodat, 2),
    DENY_SET_ID_CREATE(__NR_openat, 2, 3),
    DENY(__NR_openat2, ENOSYS),
    ALLOW};
/* clang-format on */

struct ruleset_attr {
    uint64_t fs, net, scoped;
};
struct __attribute__((packed)) path_beneath_attr {
    uint64_t allowed;
    int32_t parent_fd;
};
struct net_port_attr {
    uint64_t allowed;
    uint64_t port;
};

/* 0: unprivileged; 1: a capability without uid 0 or CAP_SETPCAP (only the
 * sets are cleared); 2: uid 0 or CAP_SETPCAP (secure bits and bounding set
 * too). */
static int privileged(void) {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2];
    if (getuid() == 0 || geteuid() == 0) return 2;
    if (syscall(SYS_capget, &header, data) != 0) return 2;
    if (data[0].effective & (1U << CAP_SETPCAP)) return 2;
    for (int i = 0; i < 2; ++i)
        if (data[i].effective | data[i].permitted | data[i].inheritable) return 1;
    return 0;
}

static int drop_capabilities(int full) {
    struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2];
    memset(data, 0, sizeof data);
    if (full && prctl(PR_SET_SECUREBITS,
                      SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                          SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED |
                          SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED,
                      0, 0, 0) != 0)
        return -1;
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0) return -1;
    for (int cap = 0; full && cap < 64; ++cap)
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) break;
    return (int)syscall(SYS_capset, &header, data);
}

/* Identities whose ancestry is known, as the launcher's walker keeps them. */
static struct {
    dev_t dev;
    ino_t ino;
} known[64];
static int nknown;
static int root_fd = -1;

static int is_known(const struct stat* st) {
    for (int i = 0; i < nknown; ++i)
        if (known[i].dev == st->st_dev && known[i].ino == st->st_ino) return 1;
    return 0;
}

static void learn(const struct stat* st) {
    if (nknown < 64 && !is_known(st)) {
        known[nknown].dev = st->st_dev;
        known[nknown++].ino = st->st_ino;
    }
}

/* Walks up from the directory `fd` with "..", as far as a known directory. */
static void ancestry(int fd, const struct stat* self) {
    if (is_known(self)) return;
    struct stat st, last = *self;
    int parent = -1;
    for (int at = fd;;) {
        const int up = openat(at, "..", O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (parent >= 0) close(parent);
        if (up < 0 || fstat(up, &st) != 0) exit(1);
        parent = at = up;
        if ((st.st_dev == last.st_dev && st.st_ino == last.st_ino) || is_known(&st)) break;
        learn(&last);
        last = st;
    }
    learn(&last);
    close(parent);
}

static int open_whole(int dir, const char* path, struct stat* st) {
    struct open_how how = {O_PATH | O_CLOEXEC, 0, RESOLVE_NO_SYMLINKS};
    const int fd = (int)syscall(SYS_openat2, dir, path, &how, sizeof how);
    if (fd >= 0 && fstat(fd, st) != 0) exit(1);
    return fd;
}

/* The launcher's walk for the benchmark's paths; -1 when absent. */
static int resolve(const char* path, struct stat* st, int* through_link) {
    *through_link = 0;
    int fd = open_whole(AT_FDCWD, path, st);
    if (fd >= 0 || errno != ELOOP) return fd;
    struct stat root_st, link_st;
    if (root_fd < 0) {
        root_fd = openat(AT_FDCWD, "/", O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (root_fd < 0 || fstat(root_fd, &root_st) != 0) exit(1);
        learn(&root_st); /* the root is its own parent */
    }
    char text[256];
    const int link = openat(root_fd, path + 1, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (link < 0 || fstat(link, &link_st) != 0 || !S_ISLNK(link_st.st_mode)) exit(1);
    const ssize_t n = readlinkat(link, "", text, sizeof text);
    if (n <= 0 || (size_t)n >= sizeof text || text[0] == '/') exit(1);
    text[n] = '\0';
    fd = open_whole(root_fd, text, st);
    close(link);
    *through_link = 1;
    return fd;
}

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    char* profile = malloc(1 << 16);
    struct pollfd std_fds[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (!profile || poll(std_fds, 3, 0) < 0) return 1;
    struct sigaction ignore = {0}, started;
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &started);
    int pfd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat pst;
    if (pfd < 0 || fstat(pfd, &pst) != 0 || pst.st_size >= (1 << 16)) return 1;
    ssize_t got = read(pfd, profile, (size_t)pst.st_size);
    if (got != pst.st_size || read(pfd, profile + got, 1) != 0) return 1;
    close(pfd);

    const int drop = privileged();
    const int abi = open("/sys/kernel/security/landlock/abi_version", O_RDONLY | O_CLOEXEC);
    if (abi >= 0) { /* read through, as the launcher does; the version comes from the query */
        char text[64];
        while (read(abi, text, sizeof text) > 0) {
        }
        close(abi);
    }
    syscall(444, NULL, 0, 1);
    const long version = syscall(444, NULL, 0, 1);
    struct ruleset_attr attr = {strtoull(argv[2], NULL, 16), 0x3, version >= 6 ? 0x3 : 0};
    const unsigned long port = strtoul(argv[3], NULL, 10);
    const int ruleset = (int)syscall(444, &attr, sizeof attr, 0);
    if (ruleset < 0) {
        perror("create");
        return 1;
    }
    int end = 4;
    while (end + 1 < argc && strcmp(argv[end], "--") != 0)
        end += 2;
    if (end >= argc || end + 1 >= argc) return 2;

    /* The writable places first, kept open: the fixed ones, then the others. */
    int fds[64];
    struct stat sts[64];
    for (int i = 4; i < end && i / 2 < 64; i += 2)
        fds[i / 2] = -1;
    for (const char* kinds = "pw"; *kinds; ++kinds)
        for (int i = 4; i < end; i += 2)
            if (argv[i][0] == *kinds) fds[i / 2] = open_whole(AT_FDCWD, argv[i + 1], &sts[i / 2]);
    for (int i = 4; i < end; i += 2) {
        const char kind = argv[i][0];
        struct stat st;
        int fd, through_link = 0;
        if (kind == 'p' || kind == 'w') {
            fd = fds[i / 2];
            st = sts[i / 2];
        } else {
            fd = resolve(argv[i + 1], &st, &through_link);
        }
        if (fd < 0) continue;
        if ((kind == 's' && through_link) || kind == 'h') ancestry(fd, &st);
        if (kind == 'h' && getuid() != st.st_uid) return 1;
        uint64_t access = strtoull(argv[i] + 1, NULL, 16);
        if (!S_ISDIR(st.st_mode)) access &= 0xC007;
        struct path_beneath_attr rule = {access, fd};
        if (syscall(445, ruleset, 1, &rule, 0) != 0) {
            perror("add_rule");
            return 1;
        }
        close(fd);
    }
    if (root_fd >= 0) close(root_fd);
    if (port != 0) {
        struct net_port_attr rule = {0x2, port};
        if (syscall(445, ruleset, 2, &rule, 0) != 0) {
            perror("add_rule net");
            return 1;
        }
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return 1;
    if (syscall(446, ruleset, 0) != 0) {
        perror("restrict");
        return 1;
    }
    close(ruleset);
    if (drop && drop_capabilities(drop == 2) != 0) {
        perror("capabilities");
        return 1;
    }
    struct sock_fprog prog = {sizeof unprivileged_filter / sizeof unprivileged_filter[0],
                              (struct sock_filter*)unprivileged_filter};
    if (drop) {
        prog.len = sizeof privileged_filter / sizeof privileged_filter[0];
        prog.filter = (struct sock_filter*)privileged_filter;
    }
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) {
        perror("seccomp");
        return 1;
    }
    sigaction(SIGPIPE, &started, NULL);
    execvp(argv[end + 1], argv + end + 1);
    perror("exec");
    return 1;
}
