// Test-only wrapper that simulates a kernel without Landlock: it installs a
// seccomp filter under which the three Landlock system calls fail with the
// given error number, then executes the rest of its command line.
//   seccomp-run ENOSYS|EOPNOTSUPP program [args...]
#include <seccomp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: seccomp-run ENOSYS|EOPNOTSUPP program [args...]\n");
        return 2;
    }
    const int err = std::strcmp(argv[1], "EOPNOTSUPP") == 0 ? EOPNOTSUPP : ENOSYS;
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (ctx == nullptr) return 3;
    for (const int nr : {444, 445, 446}) {
        if (seccomp_rule_add(ctx, SCMP_ACT_ERRNO(static_cast<unsigned>(err)), nr, 0) != 0) return 3;
    }
    // Loading a filter needs no-new-privileges (or privileges); the launcher
    // sets the flag itself anyway.
    if (seccomp_attr_set(ctx, SCMP_FLTATR_CTL_NNP, 1) != 0 || seccomp_load(ctx) != 0) return 3;
    seccomp_release(ctx);
    ::execv(argv[2], argv + 2);
    std::perror("execv");
    return 4;
}
