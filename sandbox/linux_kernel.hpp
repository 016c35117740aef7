// The real `Kernel`: direct system calls, errno captured right after each.
#pragma once

#include "sandbox/kernel.hpp"

namespace morvik::sandbox {

class LinuxKernel final : public Kernel {
  public:
    SysResult landlock_create_ruleset(const LandlockRulesetAttr* attr, std::size_t size,
                                      std::uint32_t flags) override;
    SysResult landlock_add_rule(int ruleset_fd, std::uint32_t rule_type, const void* rule_attr,
                                std::uint32_t flags) override;
    SysResult landlock_restrict_self(int ruleset_fd, std::uint32_t flags) override;
    CapabilitySets capget() override;
    int capset(const CapabilitySets& sets) override;
    int install_syscall_filter(const SyscallFilter& filter) override;
    SysResult prctl(int option, unsigned long arg2, unsigned long arg3, unsigned long arg4,
                    unsigned long arg5) override;
    SysResult open_at(int dirfd, const std::string& name) override;
    SysResult open_no_links(int dirfd, const std::string& path) override;
    ReadResult read_link(int fd) override;
    StatResult fstat(int fd) override;
    int close(int fd) override;
    ReadResult read_file(const std::string& path) override;
    std::optional<std::string> getenv(const char* name) override;
    uid_t getuid() override;
    uid_t geteuid() override;
    long sysconf(int name) override;
    int getpwuid_r(uid_t uid, struct passwd* pwd, char* buf, std::size_t buflen,
                   struct passwd** result) override;
};

// The process-wide real kernel (stateless).
Kernel& system_kernel();

} // namespace morvik::sandbox
