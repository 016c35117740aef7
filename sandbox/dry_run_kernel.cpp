#include "sandbox/dry_run_kernel.hpp"

namespace morvik::sandbox {

SysResult DryRunKernel::landlock_create_ruleset(const LandlockRulesetAttr* attr, std::size_t size,
                                                std::uint32_t flags) {
    if (attr == nullptr) return base_.landlock_create_ruleset(attr, size, flags); // version query
    Action a{Action::Kind::CreateRuleset};
    a.handled_fs = attr->handled_access_fs;
    a.handled_net = attr->handled_access_net;
    actions_.push_back(a);
    return SysResult{kRulesetFd, 0};
}

SysResult DryRunKernel::landlock_add_rule(int, std::uint32_t rule_type, const void* rule_attr,
                                          std::uint32_t) {
    if (rule_type == kLandlockRulePathBeneath) {
        const auto* r = static_cast<const LandlockPathBeneathAttr*>(rule_attr);
        Action a{Action::Kind::AddPathRule};
        a.access = r->allowed_access;
        actions_.push_back(a);
    } else {
        const auto* r = static_cast<const LandlockNetPortAttr*>(rule_attr);
        Action a{Action::Kind::AddNetRule};
        a.access = r->allowed_access;
        a.port = r->port;
        actions_.push_back(a);
    }
    return SysResult{0, 0};
}

SysResult DryRunKernel::landlock_restrict_self(int, std::uint32_t flags) {
    Action a{Action::Kind::RestrictSelf};
    a.flags = flags;
    actions_.push_back(a);
    return SysResult{0, 0};
}

SysResult DryRunKernel::prctl(int option, unsigned long arg2, unsigned long, unsigned long,
                              unsigned long) {
    Action a{Action::Kind::Prctl};
    a.option = option;
    a.arg2 = arg2;
    actions_.push_back(a);
    return SysResult{0, 0};
}

int DryRunKernel::capset(const CapabilitySets&) {
    actions_.push_back(Action{Action::Kind::Capset});
    return 0;
}

int DryRunKernel::install_syscall_filter(const SyscallFilter& filter) {
    Action a{Action::Kind::InstallFilter};
    a.filter = filter;
    actions_.push_back(a);
    return 0;
}

int DryRunKernel::close(int fd) {
    return fd == kRulesetFd ? 0 : base_.close(fd);
}

SysResult DryRunKernel::write_stderr(std::string_view text) {
    stderr_.append(text);
    return SysResult{static_cast<long>(text.size()), 0};
}

} // namespace morvik::sandbox
