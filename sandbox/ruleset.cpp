#include "sandbox/ruleset.hpp"

#include <algorithm>
#include <cerrno>
#include <type_traits>

namespace morvik::sandbox {
namespace {

bool is_live(SupportState s) noexcept {
    return s == SupportState::Full || s == SupportState::Partial;
}

// Shared by declaring and adding: compare `access` with what the kernel supports.
template <class Access> struct Check {
    CompatOutcome outcome;
    Access kept;
};

// The rights of the kernel's effective level, and those its reported version
// adds beyond the last level (which no level table holds).
template <class Access> Access supported_by(const KernelSupport& support) noexcept {
    const Access extra = support.kind == KernelSupport::Kind::Available
                             ? Access::from_version(support.version)
                             : Access();
    return Access::from_all(support.level) | extra;
}

template <class Access> Check<Access> check_support(Access access, const KernelSupport& support) {
    const Access kept = access & supported_by<Access>(support);
    if (kept.empty()) return {CompatOutcome::Unsupported, kept};
    if (kept == access) return {CompatOutcome::Full, kept};
    return {CompatOutcome::Partial, kept};
}

template <class Access> constexpr AccessDomain domain_of() {
    if constexpr (std::is_same_v<Access, AccessFs>) return AccessDomain::Fs;
    if constexpr (std::is_same_v<Access, AccessNet>) return AccessDomain::Net;
    return AccessDomain::Scope;
}

// Scope errors have their own kind; the two access sets share HandleAccesses.
RulesetError declare_error(AccessDomain domain, CompatError e) {
    return domain == AccessDomain::Scope ? RulesetError::scope(e)
                                         : RulesetError::handle_accesses(e);
}

// The tail both rule kinds share: a set emptied by the checks is an error, a
// rule whose rights the kernel lacks entirely is dropped, an inert ruleset
// takes no call, and a live one gets the rule through `add` (given the
// rights kept).
template <class Access, class Add>
Expected<RuleOutcome<Access>, RulesetError>
finish_rule(SupportState& state, const KernelSupport& support, AccessDomain domain, Access access,
            RuleOutcome<Access> out, Add add) {
    if (access.empty()) {
        state = SupportState::Inert;
        return Unexpected(RulesetError::add_rules_compat(domain, CompatError::empty(domain)));
    }
    const Check<Access> c = check_support(access, support);
    state = merge(state, c.outcome);
    out.granted = c.kept;
    if (c.outcome == CompatOutcome::Unsupported) {
        out.disposition = RuleDisposition::Dropped;
        return out;
    }
    if (!is_live(state)) {
        out.disposition = RuleDisposition::Inert;
        return out;
    }
    const SysResult r = add(c.kept);
    if (r.value != 0) return Unexpected(RulesetError::add_rule_call(domain, OsError{r.error}));
    out.disposition = RuleDisposition::Added;
    return out;
}

} // namespace

KernelSupport KernelSupport::query(Kernel& kernel) {
    const SysResult r = kernel.landlock_create_ruleset(nullptr, 0, kLandlockCreateRulesetVersion);
    if (r.value >= 0) {
        const auto version = static_cast<std::int32_t>(r.value);
        const auto level = static_cast<std::uint8_t>(std::min<long>(r.value, kMaxAbiLevel));
        return {Kind::Available, version, level, 0};
    }
    return {r.error == EOPNOTSUPP ? Kind::Disabled : Kind::Missing, 0, 0, r.error};
}

SupportState merge(SupportState state, CompatOutcome outcome) noexcept {
    switch (state) {
    case SupportState::Unset:
        switch (outcome) {
        case CompatOutcome::Full:
            return SupportState::Full;
        case CompatOutcome::Partial:
            return SupportState::Partial;
        case CompatOutcome::Unsupported:
            return SupportState::Unsupported;
        }
        break;
    case SupportState::Full:
        return outcome == CompatOutcome::Full ? SupportState::Full : SupportState::Partial;
    case SupportState::Partial:
        return SupportState::Partial;
    case SupportState::Unsupported:
        return outcome == CompatOutcome::Unsupported ? SupportState::Unsupported
                                                     : SupportState::Partial;
    case SupportState::Inert:
        return SupportState::Inert;
    }
    return state;
}

std::string_view to_string(SupportState state) noexcept {
    switch (state) {
    case SupportState::Unset:
        return "Unset";
    case SupportState::Full:
        return "Full";
    case SupportState::Partial:
        return "Partial";
    case SupportState::Unsupported:
        return "Unsupported";
    case SupportState::Inert:
        return "Inert";
    }
    return "?";
}

Ruleset::Ruleset(Kernel& kernel) : kernel_(&kernel), support_(KernelSupport::query(kernel)) {}

namespace {

// `handle_access` for either set type: refuses empty and unknown rights
// (the ruleset turns inert), then records what the kernel supports.
template <class Access>
Expected<void, RulesetError> declare(Access access, const KernelSupport& support,
                                     SupportState& state, Access& requested, Access& supported) {
    requested = requested | access;
    constexpr AccessDomain domain = domain_of<Access>();
    if (access.empty()) {
        state = SupportState::Inert;
        return Unexpected(declare_error(domain, CompatError::empty(domain)));
    }
    if (!access.unknown().empty()) {
        state = SupportState::Inert;
        return Unexpected(declare_error(
            domain, CompatError::unknown_bits(domain, access.bits(), access.unknown().bits())));
    }
    const Check<Access> c = check_support(access, support);
    state = merge(state, c.outcome);
    if (c.outcome != CompatOutcome::Unsupported) supported = supported | c.kept;
    return {};
}

} // namespace

Expected<void, RulesetError> Ruleset::handle_access(AccessFs access) {
    return declare(access, support_, state_, requested_fs_, supported_fs_);
}

Expected<void, RulesetError> Ruleset::handle_access(AccessNet access) {
    return declare(access, support_, state_, requested_net_, supported_net_);
}

Expected<void, RulesetError> Ruleset::handle_access(Scope scope) {
    return declare(scope, support_, state_, requested_scope_, supported_scope_);
}

Expected<RulesetCreated, RulesetError> Ruleset::create() && {
    switch (state_) {
    case SupportState::Unset:
        return Unexpected(RulesetError::missing_handled_access());
    case SupportState::Unsupported:
    case SupportState::Inert:
        return RulesetCreated(*kernel_, *this, SupportState::Inert, UniqueFd(), AccessFs(),
                              AccessNet(), Scope());
    case SupportState::Full:
    case SupportState::Partial:
        break;
    }
    LandlockRulesetAttr attr;
    attr.handled_access_fs = supported_fs_.bits();
    attr.handled_access_net = supported_net_.bits();
    attr.scoped = supported_scope_.bits();
    const SysResult r = kernel_->landlock_create_ruleset(&attr, sizeof attr, 0);
    if (r.value < 0) return Unexpected(RulesetError::create_ruleset_call(OsError{r.error}));
    return RulesetCreated(*kernel_, *this, state_, UniqueFd(*kernel_, static_cast<int>(r.value)),
                          supported_fs_, supported_net_, supported_scope_);
}

RulesetCreated::RulesetCreated(Kernel& kernel, const Ruleset& from, SupportState state, UniqueFd fd,
                               AccessFs handled_fs, AccessNet handled_net, Scope handled_scope)
    : kernel_(&kernel), support_(from.support()), state_(state), requested_fs_(from.requested_fs()),
      requested_net_(from.requested_net()), handled_fs_(handled_fs), handled_net_(handled_net),
      handled_scope_(handled_scope), fd_(std::move(fd)) {}

Expected<RuleOutcome<AccessFs>, RulesetError> RulesetCreated::add_rule(PathBeneath rule) {
    UniqueFd parent = std::move(rule.parent.fd_); // closed on every return
    RuleOutcome<AccessFs> out;
    out.asked = rule.access;
    AccessFs access = rule.access;

    if (!requested_fs_.contains(access)) {
        return Unexpected(RulesetError::unhandled_access(AccessDomain::Fs, access.bits(),
                                                         (access - requested_fs_).bits()));
    }
    const StatResult& st = rule.parent.st_;
    if (!st.ok()) {
        state_ = SupportState::Inert;
        return Unexpected(RulesetError::add_rules_compat(
            AccessDomain::Fs, CompatError::stat_call(OsError{st.error})));
    }
    if (!st.is_directory() && !(access - AccessFs::kFileRights).empty()) {
        access = access & AccessFs::kFileRights;
        out.directory_rights_removed = true;
        state_ = merge(state_, CompatOutcome::Partial);
    } else {
        state_ = merge(state_, CompatOutcome::Full);
    }
    return finish_rule(state_, support_, AccessDomain::Fs, access, out, [&](AccessFs kept) {
        LandlockPathBeneathAttr attr;
        attr.allowed_access = kept.bits();
        attr.parent_fd = parent.get();
        return kernel_->landlock_add_rule(fd_.get(), kLandlockRulePathBeneath, &attr, 0);
    });
}

Expected<RuleOutcome<AccessNet>, RulesetError> RulesetCreated::add_rule(NetPort rule) {
    RuleOutcome<AccessNet> out;
    out.asked = rule.access;
    const AccessNet access = rule.access;
    if (!requested_net_.contains(access)) {
        return Unexpected(RulesetError::unhandled_access(AccessDomain::Net, access.bits(),
                                                         (access - requested_net_).bits()));
    }
    state_ = merge(state_, CompatOutcome::Full); // a port needs no check of its own
    return finish_rule(state_, support_, AccessDomain::Net, access, out, [&](AccessNet kept) {
        LandlockNetPortAttr attr;
        attr.allowed_access = kept.bits();
        attr.port = rule.port;
        return kernel_->landlock_add_rule(fd_.get(), kLandlockRuleNetPort, &attr, 0);
    });
}

Expected<RestrictionStatus, RulesetError>
RulesetCreated::restrict_self(RestrictOptions options) && {
    UniqueFd fd = std::move(fd_); // closed on every return
    RestrictionStatus status;
    status.support = support_;
    if (no_new_privs_) {
        const SysResult set = kernel_->prctl(kPrSetNoNewPrivs, 1, 0, 0, 0);
        if (set.value >= 0) {
            status.no_new_privs = true;
        } else {
            // Is the flag known to this kernel? (A failure or any other answer
            // means it is not.) A kernel with live Landlock must know it.
            const SysResult get = kernel_->prctl(kPrGetNoNewPrivs, 0, 0, 0, 0);
            const bool known = get.value == 0 || get.value == 1;
            if (known || is_live(state_)) {
                return Unexpected(RulesetError::set_no_new_privs_call(OsError{set.error}));
            }
        }
    }
    if (is_live(state_)) {
        // The log flag is passed only to a kernel that reports knowing it:
        // older ones refuse unknown flags.
        status.log_new_exec = options.log_new_exec &&
                              support_.kind == KernelSupport::Kind::Available &&
                              support_.version >= kLandlockLogFlagsVersion;
        const std::uint32_t flags = status.log_new_exec ? kLandlockRestrictSelfLogNewExecOn : 0;
        const SysResult r = kernel_->landlock_restrict_self(fd.get(), flags);
        if (r.value != 0) return Unexpected(RulesetError::restrict_self_call(OsError{r.error}));
        status.enforcement =
            state_ == SupportState::Full ? Enforcement::Full : Enforcement::Partial;
    } else {
        status.enforcement = Enforcement::NotEnforced;
    }
    fd.reset();
    return status;
}

} // namespace morvik::sandbox
