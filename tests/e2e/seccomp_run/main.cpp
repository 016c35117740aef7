// Test-only wrapper that runs a program on a machine refusing something:
//   seccomp-run ENOSYS|EOPNOTSUPP program [args...]
//     a kernel without Landlock: a seccomp filter under which the three
//     Landlock system calls fail with that error number;
//   seccomp-run no-unshare program [args...]
//     a container's policy: unshare fails with EPERM;
//   seccomp-run no-userns program [args...]
//     user namespaces turned off: the program runs in a user namespace of
//     its own (its ids mapped to themselves) whose user.max_user_namespaces
//     is 0, so that creating another fails with ENOSPC.
#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

namespace {

bool write_file(const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    const bool ok =
        fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) ::close(fd);
    return ok;
}

int no_user_namespaces() {
    const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
    if (::unshare(CLONE_NEWUSER) != 0 || !write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", uid + " " + uid + " 1\n") ||
        !write_file("/proc/self/gid_map", gid + " " + gid + " 1\n") ||
        !write_file("/proc/sys/user/max_user_namespaces", "0\n")) {
        std::perror("user namespace");
        return 3;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: seccomp-run ENOSYS|EOPNOTSUPP|no-unshare|no-userns program [args...]\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "no-userns") {
        if (const int rc = no_user_namespaces(); rc != 0) return rc;
    } else {
        scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
        if (ctx == nullptr) return 3;
        if (mode == "no-unshare") {
            if (seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(unshare), 0) != 0) return 3;
        } else {
            const int err = mode == "EOPNOTSUPP" ? EOPNOTSUPP : ENOSYS;
            for (const int nr : {444, 445, 446}) {
                if (seccomp_rule_add(ctx, SCMP_ACT_ERRNO(static_cast<unsigned>(err)), nr, 0) != 0)
                    return 3;
            }
        }
        // Loading a filter needs no-new-privileges (or privileges); the
        // launcher sets the flag itself anyway.
        if (seccomp_attr_set(ctx, SCMP_FLTATR_CTL_NNP, 1) != 0 || seccomp_load(ctx) != 0) return 3;
        seccomp_release(ctx);
    }
    ::execv(argv[2], argv + 2);
    std::perror("execv");
    return 4;
}
