#include "sandbox/dry_run_kernel.hpp"

namespace morvik::sandbox {

SysResult DryRunKernel::landlock_create_ruleset(const LandlockRulesetAttr* attr, std::size_t size,
                                                std::uint32_t flags) {
    if (attr == nullptr) return base_.landlock_create_ruleset(attr, size, flags); // version query
    actions_.push_back(
        {Action::Kind::CreateRuleset, attr->handled_access_fs, attr->handled_access_net, 0, 0, 0});
    return SysResult{kRulesetFd, 0};
}

SysResult DryRunKernel::landlock_add_rule(int, std::uint32_t rule_type, const void* rule_attr,
                                          std::uint32_t) {
    if (rule_type == kLandlockRulePathBeneath) {
        const auto* a = static_cast<const LandlockPathBeneathAttr*>(rule_attr);
        actions_.push_back({Action::Kind::AddPathRule, 0, 0, a->allowed_access, 0, 0});
    } else {
        const auto* a = static_cast<const LandlockNetPortAttr*>(rule_attr);
        actions_.push_back({Action::Kind::AddNetRule, 0, 0, a->allowed_access, a->port, 0});
    }
    return SysResult{0, 0};
}

SysResult DryRunKernel::landlock_restrict_self(int, std::uint32_t) {
    actions_.push_back({Action::Kind::RestrictSelf, 0, 0, 0, 0, 0});
    return SysResult{0, 0};
}

SysResult DryRunKernel::prctl(int option, unsigned long, unsigned long, unsigned long,
                              unsigned long) {
    actions_.push_back({Action::Kind::Prctl, 0, 0, 0, 0, option});
    return SysResult{0, 0};
}

int DryRunKernel::close(int fd) {
    return fd == kRulesetFd ? 0 : base_.close(fd);
}

SysResult DryRunKernel::write_stderr(std::string_view text) {
    stderr_.append(text);
    return SysResult{static_cast<long>(text.size()), 0};
}

} // namespace morvik::sandbox
