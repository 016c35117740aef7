/* Baseline for the launch benchmark: the least a launcher can do to confine
 * a command the same way. It gets its rules ready-made on the command line
 * (no profile to read or parse) and makes the same system calls for the same
 * paths: the Landlock ruleset with its scopes, the capability drop when it
 * runs as root or holds a capability, and the same system-call filter
 * (the launcher's own generated programs, the variant refusing set-ID modes
 * after a drop), then execs.
 *   minimal_launcher HANDLED_FS PORT [ACCESS PATH]... -- command [args...]
 * ACCESS and HANDLED_FS are hexadecimal; PORT 0 means no port rule. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/securebits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox/syscall_filter_programs.inc"

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

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    long version = syscall(444, NULL, 0, 1);
    const int drop = privileged();
    struct ruleset_attr attr = {strtoull(argv[1], NULL, 16), 0x3, version >= 6 ? 0x3 : 0};
    unsigned long port = strtoul(argv[2], NULL, 10);
    int ruleset = (int)syscall(444, &attr, sizeof attr, 0);
    if (ruleset < 0) {
        perror("create");
        return 1;
    }
    int i = 3;
    for (; i + 1 < argc && strcmp(argv[i], "--") != 0; i += 2) {
        struct stat st;
        if (stat(argv[i + 1], &st) != 0) continue;
        int fd = open(argv[i + 1], O_PATH | O_CLOEXEC);
        if (fd < 0) {
            perror("open");
            return 1;
        }
        struct stat fst;
        fstat(fd, &fst);
        uint64_t access = strtoull(argv[i], NULL, 16);
        if (!S_ISDIR(fst.st_mode)) access &= 0xC007;
        struct path_beneath_attr rule = {access, fd};
        if (syscall(445, ruleset, 1, &rule, 0) != 0) {
            perror("add_rule");
            return 1;
        }
        close(fd);
    }
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
    /* TCP allowed (rules and a port), no UDP: program 1; with set-ID modes
     * refused after a capability drop: 5. */
    const struct FilterProgram* program = &kPrograms[drop ? 5 : 1];
    struct sock_fprog prog = {(unsigned short)program->size, (struct sock_filter*)program->insns};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) {
        perror("seccomp");
        return 1;
    }
    if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc) return 2;
    execvp(argv[i + 1], argv + i + 1);
    perror("exec");
    return 1;
}
