// A Kernel for explaining without confining: the read-only calls (stat, open,
// openat, openat2, readlink, fstat, close, the ABI file, the version query,
// env, passwd, uids, capget)
// go to `base`; ruleset creation, add_rule, prctl, restrict_self, capset and
// the system-call filter are recorded and answered with success; the warning is recorded, not
// written. Used by `apply_landlock` when a program wants to show the rule set it would enforce.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sandbox/kernel.hpp"

namespace morvik::sandbox {

class DryRunKernel final : public Kernel {
  public:
    // What would have been done.
    struct Action {
        enum class Kind : std::uint8_t {
            CreateRuleset,
            AddPathRule,
            AddNetRule,
            Prctl,
            RestrictSelf,
            Capset,
            InstallFilter,
        };
        Kind kind;
        std::uint64_t handled_fs = 0;  // CreateRuleset
        std::uint64_t handled_net = 0; // CreateRuleset
        std::uint64_t access = 0;      // AddPathRule, AddNetRule
        std::uint64_t port = 0;        // AddNetRule
        int option = 0;                // Prctl
        unsigned long arg2 = 0;        // Prctl
        std::uint32_t flags = 0;       // RestrictSelf
        SyscallFilter filter{};        // InstallFilter
    };

    explicit DryRunKernel(Kernel& base) : base_(base) {}

    [[nodiscard]] const std::vector<Action>& actions() const noexcept { return actions_; }
    [[nodiscard]] const std::string& suppressed_stderr() const noexcept { return stderr_; }

    SysResult landlock_create_ruleset(const LandlockRulesetAttr* attr, std::size_t size,
                                      std::uint32_t flags) override;
    SysResult landlock_add_rule(int ruleset_fd, std::uint32_t rule_type, const void* rule_attr,
                                std::uint32_t flags) override;
    SysResult landlock_restrict_self(int ruleset_fd, std::uint32_t flags) override;
    CapabilitySets capget() override { return base_.capget(); }
    int capset(const CapabilitySets& sets) override;
    int install_syscall_filter(const SyscallFilter& filter) override;
    SysResult prctl(int option, unsigned long arg2, unsigned long arg3, unsigned long arg4,
                    unsigned long arg5) override;
    SysResult open_at(int dirfd, const std::string& name) override {
        return base_.open_at(dirfd, name);
    }
    SysResult open_no_links(int dirfd, const std::string& path) override {
        return base_.open_no_links(dirfd, path);
    }
    ReadResult read_link(int fd) override { return base_.read_link(fd); }
    StatResult fstat(int fd) override { return base_.fstat(fd); }
    int close(int fd) override;
    ReadResult read_file(const std::string& path) override { return base_.read_file(path); }
    std::optional<std::string> getenv(const char* name) override { return base_.getenv(name); }
    uid_t getuid() override { return base_.getuid(); }
    uid_t geteuid() override { return base_.geteuid(); }
    long sysconf(int name) override { return base_.sysconf(name); }
    int getpwuid_r(uid_t uid, struct passwd* pwd, char* buf, std::size_t buflen,
                   struct passwd** result) override {
        return base_.getpwuid_r(uid, pwd, buf, buflen, result);
    }
    SysResult write_stderr(std::string_view text) override;

    // The descriptor number handed out for a recorded ruleset; never a real one.
    static constexpr int kRulesetFd = 0x7FFFFFF0;

  private:
    Kernel& base_;
    std::vector<Action> actions_;
    std::string stderr_;
};

} // namespace morvik::sandbox
