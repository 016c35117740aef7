#include "sandbox/policy.hpp"

#include <sys/stat.h>

#include <algorithm>

#include "base/escape.hpp"
#include "base/os_error.hpp"
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
                 AccessFs granted = {}, bool reduced = false, int stat_error = 0,
                 std::string_view note = {}) {
    if (observer != nullptr) {
        observer->on_path_rule(PathRuleEvent{rule, status, granted, reduced, stat_error, note});
    }
}

bool is_writable_row(RuleRow row) noexcept {
    return row == RuleRow::Worktree || row == RuleRow::GitDir || row == RuleRow::AgentConfigDir;
}

bool is_system_row(RuleRow row) noexcept {
    return row >= RuleRow::Usr && row <= RuleRow::Dev && row != RuleRow::Tmp && row != RuleRow::Dev;
}

// A failed walk as the policy reports it; none when the path is absent.
std::optional<ApplyError> walk_error(WalkError e, const std::string& path) {
    switch (e.kind) {
    case WalkError::Kind::Absent:
        return std::nullopt;
    case WalkError::Kind::Unopenable:
        return ApplyError(PathFdError{OsError{e.error}, path});
    case WalkError::Kind::Refused:
        return ApplyError(std::move(e.refusal));
    }
    return std::nullopt;
}

std::string owner_mismatch(uid_t owner, uid_t uid) {
    return "owned by uid " + std::to_string(owner) + ", not by the real user (uid " +
           std::to_string(uid) + ")";
}

// Adds the rule for an object the walk resolved.
Expected<void, ApplyError> add_resolved(RulesetCreated& ruleset, const PathRule& rule,
                                        Resolved resolved, PolicyObserver* observer) {
    auto added = ruleset.add_rule(
        PathBeneath{PathFd::adopt(std::move(resolved.fd), resolved.st), rule.access});
    if (!added) return Unexpected(ApplyError(std::move(added).error()));
    static constexpr PathRuleStatus kStatus[] = {PathRuleStatus::Added, PathRuleStatus::Dropped,
                                                 PathRuleStatus::Inert};
    notify_path(observer, rule, kStatus[static_cast<std::size_t>(added->disposition)],
                added->granted, added->directory_rights_removed);
    return {};
}

// The home rule: resolved like every path, granted only when fit, else one
// warning line.
Expected<void, ApplyError>
add_home_rule(Kernel& kernel, RulesetCreated& ruleset, const PathRule& rule, PathWalker& walker,
              const std::vector<std::pair<std::string, Ancestry>>& system,
              PolicyObserver* observer) {
    std::string why;
    if (!rule.path.starts_with('/')) {
        why = "not an absolute path";
    } else {
        auto home = walker.resolve(rule.path);
        if (!home) {
            if (auto e = walk_error(home.error(), rule.path)) return Unexpected(std::move(*e));
            notify_path(observer, rule, PathRuleStatus::Absent, {}, false, home.error().error);
            return {};
        }
        Ancestry chain;
        std::optional<FileId> root_home;
        if ((home->st.mode & S_IFMT) == S_IFDIR) {
            auto c = walker.ancestry(*home);
            if (c) {
                chain = std::move(*c);
                if (chain.size() == 2) { // a top-level directory: only "/root" may be one
                    if (auto r = walker.resolve("/root"); r) root_home = id_of(r->st);
                }
            } else {
                // A directory the user cannot search (another user's home,
                // or "/root" after su) cannot be placed: it is not granted,
                // and the run goes on without it.
                why = home->st.uid != kernel.getuid()
                          ? owner_mismatch(home->st.uid, kernel.getuid())
                          : "cannot be examined: " + errno_description(c.error());
            }
        }
        if (why.empty()) why = home_unfit(home->st, chain, system, root_home, kernel.getuid());
        if (why.empty()) return add_resolved(ruleset, rule, std::move(*home), observer);
    }
    notify_path(observer, rule, PathRuleStatus::NotGranted, {}, false, 0, why);
    (void)kernel.write_stderr("Warning: home directory " + escape_name(rule.path) +
                              " not granted: " + why + "\n");
    return {};
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
    r.home_access =
        AccessFs::ReadFile | AccessFs::WriteFile | AccessFs::RemoveFile | AccessFs::MakeReg;
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
            // The device files get the file rights alone, all the kernel
            // keeps for a file anyway; "pts/" and "shm/" are directories.
            for (const std::string_view dev : kNarrowDev)
                rules.push_back({f.row, std::string(dev),
                                 dev.ends_with('/') ? rights.full_access
                                                    : rights.full_access & AccessFs::kFileRights});
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

Expected<WritablePlaces, ApplyError> find_writable_places(Kernel& kernel,
                                                          const std::vector<PathRule>& rules) {
    struct Found {
        std::string path;
        FileId id;
        std::vector<Ancestry> link_dirs;
    };
    std::vector<Found> found;
    WritablePlaces places;
    // One place: absent is skipped, every other failure ends the run.
    const auto visit = [&](PathWalker& walker,
                           const std::string& path) -> Expected<void, ApplyError> {
        auto r = walker.resolve(path);
        if (!r) {
            if (auto e = walk_error(r.error(), path)) return Unexpected(std::move(*e));
            return {};
        }
        found.push_back({path, id_of(r->st), walker.take_link_directories()});
        if (found.back().link_dirs.empty()) places.link_free.try_emplace(path, std::move(*r));
        return {};
    };
    PathWalker bare(kernel, {}, {});
    for (const PathRule& rule : rules) {
        if (rule.row != RuleRow::Tmp && rule.row != RuleRow::Dev) continue;
        if (auto r = visit(bare, rule.path); !r) return Unexpected(std::move(r).error());
    }
    std::vector<FileId> fixed_ids;
    for (const Found& f : found)
        fixed_ids.push_back(f.id);
    PathWalker first(kernel, fixed_ids, fixed_ids);
    for (const PathRule& rule : rules) {
        if (!is_writable_row(rule.row)) continue;
        if (auto r = visit(first, rule.path); !r) return Unexpected(std::move(r).error());
    }

    for (const Found& f : found)
        places.all.push_back(f.id);
    std::vector<const Found*> reached_through_places;
    for (const Found& f : found) {
        const bool through_place = std::ranges::any_of(
            f.link_dirs, [&](const Ancestry& dir) { return beneath(dir, places.all); });
        if (through_place) {
            reached_through_places.push_back(&f);
        } else {
            places.anchors.push_back(f.id);
        }
    }
    // A place reached through a link in an anchor that leads outside every
    // anchor is refused here, naming that link. Left to the check against
    // `all`, which holds the place itself, the links met further on (in
    // "/proc" for a link to "/proc/self/root") would be refused first and
    // named instead. Any other failure is met again by that check.
    PathWalker vetting(kernel, places.anchors, places.anchors);
    for (const Found* f : reached_through_places) {
        auto r = vetting.resolve(f->path);
        if (!r && r.error().kind == WalkError::Kind::Refused)
            return Unexpected(ApplyError(std::move(r.error().refusal)));
    }
    return places;
}

Expected<void, ApplyError> add_path_rule(RulesetCreated& ruleset, const PathRule& rule,
                                         PathWalker& walker, PolicyObserver* observer,
                                         Ancestry* chain, std::map<std::string, Resolved>* ready) {
    if (ready != nullptr) {
        if (const auto it = ready->find(rule.path); it != ready->end()) {
            Resolved found = std::move(it->second);
            ready->erase(it);
            return add_resolved(ruleset, rule, std::move(found), observer);
        }
    }
    auto r = walker.resolve(rule.path);
    if (!r) {
        if (auto e = walk_error(r.error(), rule.path)) return Unexpected(std::move(*e));
        notify_path(observer, rule, PathRuleStatus::Absent, {}, false, r.error().error);
        return {};
    }
    // One name beneath the root, reached without a link, has nothing but the
    // root above it: its identity alone stands for its ancestry.
    const bool one_name = rule.path.size() > 1 && rule.path.find('/', 1) == std::string::npos;
    if (chain != nullptr && one_name && walker.take_link_directories().empty()) {
        *chain = {id_of(r->st)};
    } else if (chain != nullptr) {
        auto c = walker.ancestry(*r);
        if (!c) return Unexpected(ApplyError(PathFdError{OsError{c.error()}, rule.path}));
        *chain = std::move(*c);
    }
    return add_resolved(ruleset, rule, std::move(*r), observer);
}

std::string home_unfit(const StatResult& home, const Ancestry& chain,
                       const std::vector<std::pair<std::string, Ancestry>>& system,
                       std::optional<FileId> root_home, uid_t uid) {
    if ((home.mode & S_IFMT) != S_IFDIR) return "not a directory";
    if (chain.size() == 1) return "the root directory";
    if (chain.size() == 2 && root_home != chain.front()) return "a top-level directory";
    for (const auto& [name, dir] : system) {
        if (dir.front() == chain.front()) return "the system directory " + name;
        if (beneath(chain, {dir.front()})) return "beneath the system directory " + name;
        if (beneath(dir, {chain.front()})) return "holds the system directory " + name;
    }
    if (home.uid != uid) return owner_mismatch(home.uid, uid);
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

    { // the walk's descriptors are all closed before enforcement
        // Two passes: the writable places first, then every path (those again
        // included) against all of them, so that order and nesting do not matter.
        const std::vector<PathRule> rules = path_rules(profile, rights, options.narrow_dev);
        auto places = find_writable_places(kernel, rules);
        if (!places) return Unexpected(std::move(places).error());
        PathWalker walker(kernel, places->all, places->anchors);
        std::vector<std::pair<std::string, Ancestry>> system;
        for (const PathRule& rule : rules) {
            Ancestry chain;
            const bool keep = is_system_row(rule.row);
            if (auto r = add_path_rule(*created, rule, walker, observer, keep ? &chain : nullptr,
                                       &places->link_free);
                !r) {
                return Unexpected(std::move(r).error());
            }
            if (keep && !chain.empty()) system.emplace_back(rule.path, std::move(chain));
        }

        const std::optional<std::string> home = home_dir(kernel);
        if (observer != nullptr) observer->on_home(home);
        if (home) {
            const PathRule rule{RuleRow::Home, *home, rights.home_access};
            if (auto r = add_home_rule(kernel, *created, rule, walker, system, observer); !r)
                return Unexpected(std::move(r).error());
        }
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
