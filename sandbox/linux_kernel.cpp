#include "sandbox/linux_kernel.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/openat2.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace morvik::sandbox {
namespace {

SysResult capture(long value) {
    return SysResult{value, value < 0 ? errno : 0};
}

bool has_nul(const std::string& s) {
    return s.find('\0') != std::string::npos;
}

StatResult from_stat(int rc, const struct stat& st) {
    if (rc != 0) return StatResult{errno, 0};
    return StatResult{0, static_cast<unsigned>(st.st_mode), static_cast<std::uint64_t>(st.st_dev),
                      static_cast<std::uint64_t>(st.st_ino), st.st_uid};
}

} // namespace

bool StatResult::is_directory() const noexcept {
    return ok() && (mode & S_IFMT) == S_IFDIR;
}

SysResult LinuxKernel::landlock_create_ruleset(const LandlockRulesetAttr* attr, std::size_t size,
                                               std::uint32_t flags) {
    return capture(::syscall(kSysLandlockCreateRuleset, attr, size, flags));
}

SysResult LinuxKernel::landlock_add_rule(int ruleset_fd, std::uint32_t rule_type,
                                         const void* rule_attr, std::uint32_t flags) {
    const long rc = ::syscall(kSysLandlockAddRule, ruleset_fd, rule_type, rule_attr, flags);
    return SysResult{rc, rc != 0 ? errno : 0};
}

SysResult LinuxKernel::landlock_restrict_self(int ruleset_fd, std::uint32_t flags) {
    const long rc = ::syscall(kSysLandlockRestrictSelf, ruleset_fd, flags);
    return SysResult{rc, rc != 0 ? errno : 0};
}

CapabilitySets LinuxKernel::capget() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return CapabilitySets{errno, 0, 0, 0};
    const auto join = [](std::uint32_t low, std::uint32_t high) {
        return (std::uint64_t{high} << 32) | low;
    };
    return CapabilitySets{0, join(data[0].effective, data[1].effective),
                          join(data[0].permitted, data[1].permitted),
                          join(data[0].inheritable, data[1].inheritable)};
}

int LinuxKernel::capset(const CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    for (int i = 0; i < 2; ++i) {
        const int shift = 32 * i;
        data[i].effective = static_cast<std::uint32_t>(sets.effective >> shift);
        data[i].permitted = static_cast<std::uint32_t>(sets.permitted >> shift);
        data[i].inheritable = static_cast<std::uint32_t>(sets.inheritable >> shift);
    }
    return ::syscall(SYS_capset, &header, data) == 0 ? 0 : errno;
}

int LinuxKernel::install_syscall_filter(const SyscallFilter& filter) {
    return sandbox::install_syscall_filter(filter);
}

SysResult LinuxKernel::prctl(int option, unsigned long arg2, unsigned long arg3, unsigned long arg4,
                             unsigned long arg5) {
    return capture(::prctl(option, arg2, arg3, arg4, arg5));
}

SysResult LinuxKernel::open_at(int dirfd, const std::string& name) {
    static_assert(kCurrentDirectory == AT_FDCWD);
    if (has_nul(name)) return SysResult{-1, EINVAL};
    return capture(::openat(dirfd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

SysResult LinuxKernel::open_no_links(int dirfd, const std::string& path) {
    if (has_nul(path)) return SysResult{-1, EINVAL};
    open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    return capture(::syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how));
}

ReadResult LinuxKernel::read_link(int fd) {
    ReadResult out;
    for (std::size_t size = 256;; size *= 2) {
        out.data.resize(size);
        const ssize_t n = ::readlinkat(fd, "", out.data.data(), size);
        if (n < 0) return ReadResult{errno, {}};
        if (static_cast<std::size_t>(n) < size) {
            out.data.resize(static_cast<std::size_t>(n));
            return out;
        }
    }
}

StatResult LinuxKernel::fstat(int fd) {
    struct stat st {};
    const int rc = ::fstat(fd, &st);
    return from_stat(rc, st);
}

int LinuxKernel::close(int fd) {
    return ::close(fd) == 0 ? 0 : errno;
}

ReadResult LinuxKernel::read_file(const std::string& path) {
    if (has_nul(path)) return ReadResult{EINVAL, {}};
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return ReadResult{errno, {}};
    ReadResult out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            out.data.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            out.error = errno;
            out.data.clear();
            break;
        }
    }
    ::close(fd);
    return out;
}

std::optional<std::string> LinuxKernel::getenv(const char* name) {
    const char* value = ::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

uid_t LinuxKernel::getuid() {
    return ::getuid();
}

uid_t LinuxKernel::geteuid() {
    return ::geteuid();
}

long LinuxKernel::sysconf(int name) {
    return ::sysconf(name);
}

int LinuxKernel::getpwuid_r(uid_t uid, struct passwd* pwd, char* buf, std::size_t buflen,
                            struct passwd** result) {
    return ::getpwuid_r(uid, pwd, buf, buflen, result);
}

Kernel& system_kernel() {
    static LinuxKernel kernel;
    return kernel;
}

} // namespace morvik::sandbox
