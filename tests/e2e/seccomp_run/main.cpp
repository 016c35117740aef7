// Test-only wrapper that simulates a kernel without Landlock: it installs a
// seccomp filter under which the three Landlock system calls fail with the
// given error number, then executes the rest of its command line.
//   seccomp-run ENOSYS|EOPNOTSUPP program [args...]
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: seccomp-run ENOSYS|EOPNOTSUPP program [args...]\n");
        return 2;
    }
    const unsigned err = std::strcmp(argv[1], "EOPNOTSUPP") == 0 ? EOPNOTSUPP : ENOSYS;
    // Landlock's calls are numbered 444 to 446 on every architecture.
    sock_filter insns[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 444, 0, 2),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, 446, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | err),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{sizeof insns / sizeof insns[0], insns};
    // Loading a filter needs no-new-privileges (or privileges); the launcher
    // sets the flag itself anyway.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0)
        return 3;
    ::execv(argv[2], argv + 2);
    std::perror("execv");
    return 4;
}
