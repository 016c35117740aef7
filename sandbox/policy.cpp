#include "sandbox/policy.hpp"

#include "base/utf8.hpp"
#include "sandbox/home_dir.hpp"

namespace morvik::sandbox {
namespace {

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Trims Unicode White_Space from both ends of valid UTF-8 text.
std::string_view trim(std::string_view s) noexcept {
    while (!s.empty()) {
        const Utf8Step first = decode_utf8(s, 0);
        if (!is_white_space(first.code_point)) break;
        s.remove_prefix(first.length);
    }
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
            --start;
        if (!is_white_space(decode_utf8(s, start).code_point)) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

constexpr std::string_view kRowNames[] = {
    "",           "worktree_path",
    "git_dir",    "agent_config_dirs",
    "tool_dirs",  "user_allowed_paths",
    "/usr",       "/bin",
    "/lib",       "/lib64",
    "/etc",       "/sbin",
    "/run",       "/sys",
    "/tmp",       "/proc",
    "/dev",       "home",
    "proxy_port",
};

void notify_path(PolicyObserver* observer, const PathRule& rule, PathRuleStatus status,
                 AccessFs granted = {}, bool reduced = false, int stat_error = 0) {
    if (observer != nullptr) {
        observer->on_path_rule(PathRuleEvent{rule, status, granted, reduced, stat_error});
    }
}

} // namespace

PolicyRights rights_for_version(std::uint32_t version, bool allow_udp) noexcept {
    PolicyRights r;
    r.version = version;
    r.level = (version >= 1 && version <= 5) ? static_cast<std::uint8_t>(version) : kMaxAbiLevel;
    r.full_access = AccessFs::from_all(r.level);
    if (version >= 9) r.unix_access = AccessFs::ResolveUnix;
    r.work_access = r.full_access | r.unix_access;
    r.read_access = AccessFs::Execute | AccessFs::ReadFile | AccessFs::ReadDir;
    r.home_access = AccessFs::ReadFile | AccessFs::WriteFile | AccessFs::MakeReg;
    if (version >= 3) r.home_access = r.home_access | AccessFs::Truncate;
    r.handle_net = r.level >= 4;
    r.allow_udp = allow_udp;
    if (version >= 10 && !allow_udp) r.udp_access = AccessNet::BindUdp | AccessNet::ConnectSendUdp;
    r.net_access =
        r.handle_net ? (AccessNet::BindTcp | AccessNet::ConnectTcp | r.udp_access) : AccessNet();
    r.port_access = AccessNet::ConnectTcp;
    r.scope = Scope::from_all(r.level);
    return r;
}

std::optional<std::uint32_t> parse_abi_version(std::string_view text) {
    std::string_view s = trim(text);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFULL) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::uint32_t detect_abi_version(Kernel& kernel, const std::string& path) {
    const ReadResult file = kernel.read_file(path);
    if (file.error == 0 && is_valid_utf8(file.data)) {
        if (const auto v = parse_abi_version(file.data)) return *v;
    }
    const SysResult q = kernel.landlock_create_ruleset(nullptr, 0, kLandlockCreateRulesetVersion);
    if (q.value <= 0) return 1;
    return static_cast<std::uint32_t>(q.value);
}

std::string_view row_name(RuleRow row) noexcept {
    const auto i = static_cast<std::size_t>(row);
    return i < std::size(kRowNames) ? kRowNames[i] : std::string_view();
}

std::vector<PathRule> path_rules(const profile::SandboxProfile& profile, const PolicyRights& rights,
                                 bool narrow_dev) {
    std::vector<PathRule> rules;
    rules.reserve(13 + profile.agent_config_dirs.size() + profile.tool_dirs.size() +
                  profile.user_allowed_paths.size());
    rules.push_back({RuleRow::Worktree, profile.worktree_path, rights.work_access});
    rules.push_back({RuleRow::GitDir, profile.git_dir, rights.work_access});
    for (const auto& p : profile.agent_config_dirs)
        rules.push_back({RuleRow::AgentConfigDir, p, rights.work_access});
    for (const auto& p : profile.tool_dirs)
        rules.push_back({RuleRow::ToolDir, p, rights.read_access});
    for (const auto& p : profile.user_allowed_paths)
        rules.push_back({RuleRow::UserAllowedPath, p, rights.read_access});
    struct Fixed {
        RuleRow row;
        bool full;
    };
    // "/tmp" and "/dev" get every right of the level but ResolveUnix: servers
    // that outside programs listen on there stay unreachable.
    static constexpr Fixed kFixed[] = {
        {RuleRow::Usr, false},   {RuleRow::Bin, false}, {RuleRow::Lib, false},
        {RuleRow::Lib64, false}, {RuleRow::Etc, false}, {RuleRow::Sbin, false},
        {RuleRow::Run, false},   {RuleRow::Sys, false}, {RuleRow::Tmp, true},
        {RuleRow::Proc, false},  {RuleRow::Dev, true},
    };
    for (const Fixed& f : kFixed) {
        if (f.row == RuleRow::Dev && narrow_dev) {
            for (const std::string_view dev : kNarrowDev)
                rules.push_back({f.row, std::string(dev), rights.full_access});
            continue;
        }
        rules.push_back({f.row, std::string(row_name(f.row)),
                         f.full ? rights.full_access : rights.read_access});
    }
    return rules;
}

std::string MinimumAbiError::to_string() const {
    const std::string required_text =
        ", below the required minimum_landlock_abi " + std::to_string(required);
    switch (found.kind) {
    case KernelSupport::Kind::Available:
        return "the kernel's Landlock ABI version is " + std::to_string(found.version) +
               required_text;
    case KernelSupport::Kind::Disabled:
        return "the kernel's Landlock is disabled (no ABI version: " +
               OsError{found.error}.to_string() + ")" + required_text;
    case KernelSupport::Kind::Missing:
        break;
    }
    return "the kernel has no Landlock (no ABI version: " + OsError{found.error}.to_string() + ")" +
           required_text;
}

std::string ApplyError::to_string() const {
    return std::visit([](const auto& e) { return e.to_string(); }, error_);
}

Expected<void, ApplyError> add_path_rule(Kernel& kernel, RulesetCreated& ruleset,
                                         const PathRule& rule, PolicyObserver* observer) {
    if (const StatResult st = kernel.stat(rule.path); !st.ok()) {
        notify_path(observer, rule, PathRuleStatus::Absent, {}, false, st.error);
        return {};
    }
    auto fd = PathFd::open(kernel, rule.path);
    if (!fd) return Unexpected(ApplyError(std::move(fd).error()));
    auto added = ruleset.add_rule(PathBeneath{std::move(*fd), rule.access});
    if (!added) return Unexpected(ApplyError(std::move(added).error()));
    static constexpr PathRuleStatus kStatus[] = {PathRuleStatus::Added, PathRuleStatus::Dropped,
                                                 PathRuleStatus::Inert};
    notify_path(observer, rule, kStatus[static_cast<std::size_t>(added->disposition)],
                added->granted, added->directory_rights_removed);
    return {};
}

Expected<LandlockResult, ApplyError> apply_landlock(const profile::SandboxProfile& profile,
                                                    Kernel& kernel, const PolicyOptions& options) {
    PolicyObserver* const observer = options.observer;
    const PolicyRights rights =
        rights_for_version(detect_abi_version(kernel, options.abi_version_path), profile.allow_udp);
    if (observer != nullptr) observer->on_rights(rights);

    Ruleset ruleset(kernel);
    // Gated on the kernel's own answer, not on the version the policy builds
    // for (which falls back to 1).
    if (const auto minimum = profile.minimum_landlock_abi) {
        const KernelSupport& found = ruleset.support();
        if (found.kind != KernelSupport::Kind::Available ||
            static_cast<std::uint32_t>(found.version) < *minimum) {
            return Unexpected(ApplyError(MinimumAbiError{found, *minimum}));
        }
    }
    if (auto r = ruleset.handle_access(rights.work_access); !r)
        return Unexpected(ApplyError(r.error()));
    if (rights.handle_net) {
        if (auto r = ruleset.handle_access(rights.net_access); !r) {
            return Unexpected(ApplyError(r.error()));
        }
    }
    if (!rights.scope.empty()) {
        if (auto r = ruleset.handle_access(rights.scope); !r)
            return Unexpected(ApplyError(r.error()));
    }
    auto created = std::move(ruleset).create();
    if (!created) return Unexpected(ApplyError(created.error()));
    if (observer != nullptr) observer->on_created(*created);

    for (const PathRule& rule : path_rules(profile, rights, options.narrow_dev)) {
        if (auto r = add_path_rule(kernel, *created, rule, observer); !r)
            return Unexpected(std::move(r).error());
    }

    const std::optional<std::string> home = home_dir(kernel);
    if (observer != nullptr) observer->on_home(home);
    if (home) {
        const PathRule rule{RuleRow::Home, *home, rights.home_access};
        if (auto r = add_path_rule(kernel, *created, rule, observer); !r)
            return Unexpected(std::move(r).error());
    }

    if (rights.handle_net && profile.proxy_port) {
        auto r = created->add_rule(NetPort{*profile.proxy_port, rights.port_access});
        if (!r) return Unexpected(ApplyError(r.error()));
        if (observer != nullptr) observer->on_port_rule(PortRuleEvent{*profile.proxy_port, *r});
    }

    const bool tcp_rules = created->handled_net().contains(AccessNet::ConnectTcp);
    auto status = std::move(*created).restrict_self(RestrictOptions{profile.log_denials});
    if (!status) return Unexpected(ApplyError(status.error()));
    if (observer != nullptr) observer->on_enforced(*status);
    if (status->enforcement == Enforcement::NotEnforced) {
        (void)kernel.write_stderr(kNotEnforcedWarning);
    }
    return LandlockResult{*status, tcp_rules};
}

} // namespace morvik::sandbox
