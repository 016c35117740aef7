// The one seam between the sandbox subsystem and the operating system. Every
// OS access of planning and enforcing goes through a `Kernel`: the real one
// (linux_kernel.hpp) or the tests' fake.
//
// Calls return their result together with the errno captured right after the
// call (0 on success); nothing reads the global errno afterwards.
#pragma once

#include <pwd.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/unique_fd.hpp"
#include "sandbox/landlock_abi.hpp"
#include "sandbox/syscall_filter.hpp"

namespace morvik::sandbox {

// Result of a call that returns a number: `value` as the call returned it,
// `error` the errno when the call failed (else 0).
struct SysResult {
    long value = 0;
    int error = 0;
};

// Result of stat/fstat: `error` is 0 on success; the rest as in struct stat.
struct StatResult {
    int error = 0;
    unsigned mode = 0;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    uid_t uid = 0;

    [[nodiscard]] bool ok() const noexcept { return error == 0; }
    [[nodiscard]] bool is_directory() const noexcept;
};

// The three capability sets of the calling thread, as 64-bit masks (bit n is
// capability n). `error` is the errno of a failed capget, else 0.
struct CapabilitySets {
    int error = 0;
    std::uint64_t effective = 0;
    std::uint64_t permitted = 0;
    std::uint64_t inheritable = 0;

    [[nodiscard]] bool any() const noexcept { return (effective | permitted | inheritable) != 0; }
};

// Result of reading a whole file: `error` is 0 on success.
struct ReadResult {
    int error = 0;
    std::string data;
};

// openat's AT_FDCWD: names are taken from the working directory.
inline constexpr int kCurrentDirectory = -100;

class Kernel : public FdCloser {
  public:
    virtual ~Kernel() = default;

    // syscall(444, attr, size, flags). A negative value is a failure.
    virtual SysResult landlock_create_ruleset(const LandlockRulesetAttr* attr, std::size_t size,
                                              std::uint32_t flags) = 0;
    // syscall(445, ruleset_fd, rule_type, rule_attr, flags). `rule_attr` points
    // to a LandlockPathBeneathAttr or a LandlockNetPortAttr, by `rule_type`.
    // A non-zero value is a failure.
    virtual SysResult landlock_add_rule(int ruleset_fd, std::uint32_t rule_type,
                                        const void* rule_attr, std::uint32_t flags) = 0;
    // syscall(446, ruleset_fd, flags). A non-zero value is a failure.
    virtual SysResult landlock_restrict_self(int ruleset_fd, std::uint32_t flags) = 0;
    // capget for the calling thread.
    virtual CapabilitySets capget() = 0;
    // capset for the calling thread (`sets.error` is ignored): 0 or the errno.
    virtual int capset(const CapabilitySets& sets) = 0;
    // Installs the system-call filter on the calling thread: 0 or the errno.
    virtual int install_syscall_filter(const SyscallFilter& filter) = 0;
    // prctl(option, arg2, arg3, arg4, arg5).
    virtual SysResult prctl(int option, unsigned long arg2, unsigned long arg3, unsigned long arg4,
                            unsigned long arg5) = 0;

    // One openat(dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC) attempt (EINTR
    // is the caller's to retry); `dirfd` may be kCurrentDirectory. A name with
    // an embedded NUL byte fails with EINVAL.
    virtual SysResult open_at(int dirfd, const std::string& name) = 0;
    // One openat2(dirfd, path, O_PATH | O_CLOEXEC, RESOLVE_NO_SYMLINKS)
    // attempt: the whole path at once, failing (ELOOP) when any component is a
    // symbolic link. Kernels without openat2 fail with ENOSYS.
    virtual SysResult open_no_links(int dirfd, const std::string& path) = 0;
    // readlinkat(fd, "") on a descriptor opened (as above) on a symbolic link:
    // the whole link text.
    virtual ReadResult read_link(int fd) = 0;
    // fstat(fd).
    virtual StatResult fstat(int fd) = 0;
    // close(fd); not retried.
    int close(int fd) override = 0;
    // Reads the whole file at `path` (opened read-only, close-on-exec, and
    // closed again before returning).
    virtual ReadResult read_file(const std::string& path) = 0;

    // getenv(name); none when unset.
    virtual std::optional<std::string> getenv(const char* name) = 0;
    virtual uid_t getuid() = 0;
    virtual uid_t geteuid() = 0;
    // sysconf(name).
    virtual long sysconf(int name) = 0;
    // getpwuid_r as the platform defines it: returns 0 or an error number.
    virtual int getpwuid_r(uid_t uid, struct passwd* pwd, char* buf, std::size_t buflen,
                           struct passwd** result) = 0;
};

} // namespace morvik::sandbox
