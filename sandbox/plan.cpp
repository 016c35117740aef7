#include "sandbox/plan.hpp"

#include <linux/capability.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "base/escape.hpp"
#include "base/os_error.hpp"
#include "base/utf8.hpp"
#include "sandbox/home_dir.hpp"
#include "sandbox/landlock_abi.hpp"
#include "sandbox/path_walk.hpp"

namespace morvik::sandbox {
namespace {

const std::string kApplyFailed = "Failed to apply Landlock rules: ";

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

constexpr AccessFs kReadAccess = AccessFs::Execute | AccessFs::ReadFile | AccessFs::ReadDir;

// The path rules before the home rule, in order: the profile's, then the
// system directories. "/tmp" and "/dev" get every right of the level but
// ResolveUnix, so that servers outside programs listen on there stay
// unreachable; with `narrow_dev`, "/dev" is one rule per pseudo-device, the
// device files with the file rights alone (all a file keeps anyway).
std::vector<Rule> path_rules(const profile::SandboxProfile& profile, AccessFs work, AccessFs full,
                             bool narrow_dev) {
    std::vector<Rule> rules;
    const auto add = [&](Origin origin, const std::string& path, AccessFs access) {
        rules.push_back(Rule{.origin = origin, .path = path, .asked = access});
    };
    add(Origin::Worktree, profile.worktree_path, work);
    add(Origin::GitDir, profile.git_dir, work);
    for (const auto& p : profile.agent_config_dirs)
        add(Origin::AgentConfigDir, p, work);
    for (const auto& p : profile.tool_dirs)
        add(Origin::ToolDir, p, kReadAccess);
    for (const auto& p : profile.user_allowed_paths)
        add(Origin::UserAllowedPath, p, kReadAccess);
    for (const char* dir : {"/usr", "/bin", "/lib", "/lib64", "/etc", "/sbin", "/run", "/sys",
                            "/tmp", "/proc", "/dev"}) {
        const std::string_view name = dir;
        if (name == "/dev" && narrow_dev) {
            for (const std::string_view dev : kNarrowDev)
                add(Origin::Shared, std::string(dev),
                    dev.ends_with('/') ? full : full & AccessFs::kFileRights);
        } else if (name == "/tmp" || name == "/dev") {
            add(Origin::Shared, dir, full);
        } else {
            add(Origin::System, dir, kReadAccess);
        }
    }
    return rules;
}

bool is_writable(Origin origin) noexcept {
    return origin == Origin::Worktree || origin == Origin::GitDir ||
           origin == Origin::AgentConfigDir;
}

std::string open_failure(const std::string& path, int error) {
    return kApplyFailed + "failed to open \"" + escape_name(path) +
           "\": " + OsError{error}.to_string();
}

// A failed walk as the launcher reports it; none when the path is absent.
std::optional<std::string> walk_failure(const WalkError& e, const std::string& path) {
    switch (e.kind) {
    case WalkError::Kind::Absent:
        return std::nullopt;
    case WalkError::Kind::Unopenable:
        return open_failure(path, e.error);
    case WalkError::Kind::Refused:
        return kApplyFailed + e.refusal.to_string();
    }
    return std::nullopt;
}

// The identities of the places the command may write to, found before any
// other path is resolved: every place it names that resolved.
struct WritablePlaces {
    std::vector<FileId> all;
    // Those reached without following a link that lies beneath one of
    // `all`: only these vouch for where a link beneath a writable place may
    // lead, so that a link planted by the command cannot vouch for itself.
    std::vector<FileId> anchors;
    // The places reached without following any link, still open: the
    // second pass would check nothing on their way, so these descriptors
    // serve it as they are.
    std::map<std::string, Resolved> link_free;
};

// The first pass: resolves "/tmp" and "/dev" (the narrowed devices, when
// "/dev" is), then the profile's places with every right, refusing links
// beneath those that lead elsewhere.
Expected<WritablePlaces, std::string> find_writable_places(Kernel& kernel,
                                                           const std::vector<Rule>& rules) {
    struct Found {
        std::string path;
        FileId id;
        std::vector<Ancestry> link_dirs;
    };
    std::vector<Found> found;
    WritablePlaces places;
    // One place: absent is skipped, every other failure ends the run.
    const auto visit = [&](PathWalker& walker,
                           const std::string& path) -> Expected<void, std::string> {
        auto r = walker.resolve(path);
        if (!r) {
            if (auto e = walk_failure(r.error(), path)) return Unexpected(std::move(*e));
            return {};
        }
        found.push_back({path, id_of(r->st), walker.take_link_directories()});
        if (found.back().link_dirs.empty()) places.link_free.try_emplace(path, std::move(*r));
        return {};
    };
    PathWalker bare(kernel, {}, {});
    for (const Rule& rule : rules) {
        if (rule.origin != Origin::Shared) continue;
        if (auto r = visit(bare, rule.path); !r) return Unexpected(std::move(r).error());
    }
    std::vector<FileId> fixed_ids;
    for (const Found& f : found)
        fixed_ids.push_back(f.id);
    PathWalker first(kernel, fixed_ids, fixed_ids);
    for (const Rule& rule : rules) {
        if (!is_writable(rule.origin)) continue;
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
            return Unexpected(kApplyFailed + r.error().refusal.to_string());
    }
    return places;
}

// Resolves `rule.path` with `walker` (absent: `rule.absent`), or takes its
// descriptor from `ready` when the first pass left one there. When `chain`
// is given, it receives the ancestry of what the path resolved to, without
// the root for a path of one name beneath it that followed no link.
Expected<void, std::string> resolve(Rule& rule, PathWalker& walker,
                                    std::map<std::string, Resolved>& ready, Ancestry* chain) {
    Resolved found;
    if (const auto it = ready.find(rule.path); it != ready.end()) {
        found = std::move(it->second);
        ready.erase(it);
    } else {
        auto r = walker.resolve(rule.path);
        if (!r) {
            if (auto e = walk_failure(r.error(), rule.path)) return Unexpected(std::move(*e));
            rule.absent = r.error().error;
            return {};
        }
        // One name beneath the root, reached without a link, has nothing
        // but the root above it: its identity alone stands for its ancestry.
        const bool one_name = rule.path.size() > 1 && rule.path.find('/', 1) == std::string::npos;
        if (chain != nullptr && one_name && walker.take_link_directories().empty()) {
            *chain = {id_of(r->st)};
        } else if (chain != nullptr) {
            auto c = walker.ancestry(*r);
            if (!c) return Unexpected(open_failure(rule.path, c.error()));
            *chain = std::move(*c);
        }
        found = std::move(*r);
    }
    rule.file = !found.st.is_directory();
    rule.fd = std::move(found.fd);
    return {};
}

std::string owner_mismatch(uid_t owner, uid_t uid) {
    return "owned by uid " + std::to_string(owner) + ", not by the real user (uid " +
           std::to_string(uid) + ")";
}

using SystemDirs = std::vector<std::pair<std::string, Ancestry>>;

// Why the home directory, resolved to `home`, gets no rule: not a
// directory, the root, a top-level directory other than "/root", equal to,
// beneath or above a system directory, or owned by someone other than
// `uid`. For uid 0, which owns most of the system, only "/root" itself or
// a directory at or beneath a `writable` place (one the ruleset grants
// every right) will do, whoever owns it. Empty when it is fit.
std::string home_unfit(const StatResult& home, const Ancestry& chain, const SystemDirs& system,
                       std::optional<FileId> root_home, const std::vector<FileId>& writable,
                       uid_t uid) {
    if (!home.is_directory()) return "not a directory";
    if (chain.size() == 1) return "the root directory";
    if (chain.size() == 2 && root_home != chain.front()) return "a top-level directory";
    for (const auto& [name, dir] : system) {
        if (dir.front() == chain.front()) return "the system directory " + name;
        if (beneath(chain, {dir.front()})) return "beneath the system directory " + name;
        if (beneath(dir, {chain.front()})) return "holds the system directory " + name;
    }
    if (uid == 0) {
        if (root_home == chain.front() || beneath(chain, writable)) return {};
        return "neither /root nor beneath a writable place (the command runs as uid 0)";
    }
    if (home.uid != uid) return owner_mismatch(home.uid, uid);
    return {};
}

// The home rule: resolved like every path, planned only when fit, else one
// warning line.
Expected<void, std::string> plan_home(Plan& out, Rule rule, PathWalker& walker,
                                      const SystemDirs& system, const std::vector<FileId>& writable,
                                      uid_t uid) {
    if (!rule.path.starts_with('/')) {
        rule.unfit = "not an absolute path";
    } else {
        auto home = walker.resolve(rule.path);
        if (!home) {
            if (auto e = walk_failure(home.error(), rule.path)) return Unexpected(std::move(*e));
            rule.absent = home.error().error;
            out.rules.push_back(std::move(rule));
            return {};
        }
        Ancestry chain;
        std::optional<FileId> root_home;
        if (home->st.is_directory()) {
            auto c = walker.ancestry(*home);
            if (c) {
                chain = std::move(*c);
                // Only "/root" may be a top-level directory, and uid 0's home.
                if (chain.size() == 2 || uid == 0) {
                    if (auto r = walker.resolve("/root"); r) root_home = id_of(r->st);
                }
            } else {
                // A directory the user cannot search (another user's home,
                // or "/root" after su) cannot be placed: it is not granted,
                // and the run goes on without it.
                rule.unfit = home->st.uid != uid
                                 ? owner_mismatch(home->st.uid, uid)
                                 : "cannot be examined: " + errno_description(c.error());
            }
        }
        if (rule.unfit.empty())
            rule.unfit = home_unfit(home->st, chain, system, root_home, writable, uid);
        if (rule.unfit.empty()) {
            rule.file = false;
            rule.fd = std::move(home->fd);
        }
    }
    if (!rule.unfit.empty()) {
        out.warnings.push_back("Warning: home directory " + escape_name(rule.path) +
                               " not granted: " + rule.unfit);
    }
    out.rules.push_back(std::move(rule));
    return {};
}

// "the kernel's Landlock ABI version is 5", or why it has none.
std::string kernel_version_text(const Plan& p) {
    if (p.kernel_version >= 0) {
        return "the kernel's Landlock ABI version is " + std::to_string(p.kernel_version);
    }
    const std::string why = " (no ABI version: " + OsError{p.kernel_error}.to_string() + ")";
    return p.kernel_error == EOPNOTSUPP ? "the kernel's Landlock is disabled" + why
                                        : "the kernel has no Landlock" + why;
}

} // namespace

bool absent_silently(int error) noexcept {
    return error == ENOENT || error == ENOTDIR;
}

Host read_host(Kernel& kernel, const std::optional<profile::RunAs>& run_as) {
    Host host;
    host.uid = kernel.getuid();
    host.euid = kernel.geteuid();
    host.caps = kernel.capget();
    host.run_uid = run_as ? run_as->uid : host.uid;
    host.home = home_dir(kernel, host.run_uid);
    return host;
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

std::string_view origin_label(Origin origin) noexcept {
    static constexpr std::string_view kLabels[] = {"worktree_path",
                                                   "git_dir",
                                                   "agent_config_dirs",
                                                   "tool_dirs",
                                                   "user_allowed_paths",
                                                   "system",
                                                   "system",
                                                   "home"};
    return kLabels[static_cast<std::size_t>(origin)];
}

Expected<Plan, PlanError> plan(const profile::SandboxProfile& profile, const Host& host,
                               Kernel& kernel) {
    Plan p;
    const auto fail = [&p](std::string line) {
        for (Rule& rule : p.rules)
            rule.fd.reset();
        return Unexpected(PlanError{std::move(line), std::move(p)});
    };

    // The capabilities: a launcher that runs as uid 0 or holds any
    // capability hands the command none, unless the profile keeps them.
    p.root = host.uid == 0 || host.euid == 0;
    if (!profile.keep_capabilities) {
        if (p.root) {
            // Uid 0 already without any (a launcher nested in another's
            // confinement) cannot touch the secure bits or the bounding set,
            // and needs not: no-new-privileges keeps an exec from regaining
            // any. Nor after a switch to another uid (run_as), which takes
            // every capability and empties the bounding set itself.
            p.drop_capabilities = true;
            p.full_drop = (host.caps.error != 0 || host.caps.permitted != 0) &&
                          (host.run_uid == 0 || host.run_uid == host.uid);
        } else if (host.caps.error != 0) {
            return fail("Failed to drop capabilities: failed to read the capability sets: " +
                        OsError{host.caps.error}.to_string());
        } else {
            p.drop_capabilities = host.caps.any();
            p.full_drop = (host.caps.effective & (std::uint64_t{1} << CAP_SETPCAP)) != 0;
        }
    }

    // The version: the lower of the ABI file's number and the kernel's own
    // answer (a file can only lower it), the one there is when the other
    // is missing, else 1. The kernel is asked once, whatever the file says:
    // its answer decides what it supports.
    std::optional<std::uint32_t> from_file;
    if (const ReadResult file = kernel.read_file(kAbiVersionPath);
        file.error == 0 && is_valid_utf8(file.data)) {
        from_file = parse_abi_version(file.data);
    }
    const SysResult answer =
        kernel.landlock_create_ruleset(nullptr, 0, kLandlockCreateRulesetVersion);
    p.kernel_version = answer.value < 0 ? -1 : answer.value;
    p.kernel_error = answer.value < 0 ? answer.error : 0;
    p.version = answer.value > 0 ? static_cast<std::uint32_t>(std::min<std::int64_t>(
                                       answer.value, from_file.value_or(answer.value)))
                                 : from_file.value_or(1);
    p.level = p.version >= 1 && p.version <= 5 ? static_cast<std::uint8_t>(p.version) : 6;
    if (const auto minimum = profile.minimum_landlock_abi; minimum) {
        const std::string below =
            ", below the required minimum_landlock_abi " + std::to_string(*minimum);
        if (p.kernel_version < *minimum) return fail(kApplyFailed + kernel_version_text(p) + below);
        if (p.version < *minimum) {
            return fail(kApplyFailed + kAbiVersionPath + " says " + std::to_string(p.version) +
                        " (the kernel reports " + std::to_string(p.kernel_version) + ")" + below);
        }
    }

    // The rights of the version, and what the kernel keeps of them.
    const AccessFs full = AccessFs::from_all(p.level);
    const AccessFs work = full | (p.version >= 9 ? AccessFs::ResolveUnix : AccessFs());
    AccessFs home_access =
        AccessFs::ReadFile | AccessFs::WriteFile | AccessFs::RemoveFile | AccessFs::MakeReg;
    if (p.version >= 3) home_access = home_access | AccessFs::Truncate;
    if (p.level >= 4) {
        p.asked_net = AccessNet::BindTcp | AccessNet::ConnectTcp;
        // No UDP right is ever granted: handling the pair refuses every UDP
        // bind and send.
        if (p.version >= 10 && !profile.allow_udp)
            p.asked_net = p.asked_net | AccessNet::BindUdp | AccessNet::ConnectSendUdp;
    }
    p.asked_scope = Scope::from_all(p.level);
    const AccessFs supported_fs = AccessFs::from_version(p.kernel_version);
    const AccessNet supported_net = AccessNet::from_version(p.kernel_version);
    const bool live = !(work & supported_fs).empty();
    if (live) {
        p.handled_fs = work & supported_fs;
        p.handled_net = p.asked_net & supported_net;
        p.handled_scope = p.asked_scope & Scope::from_version(p.kernel_version);
    }
    p.asked_fs = work;
    // A rule on a non-directory keeps the file rights alone, and the kernel
    // keeps what it supports.
    const auto grant = [&](Rule& rule) {
        if (!rule.fd.valid()) return;
        rule.granted = (rule.file ? rule.asked & AccessFs::kFileRights : rule.asked) & supported_fs;
    };

    // The path rules, in two passes: the writable places first, then every
    // path (those again included) against all of them, so that order and
    // nesting do not matter.
    p.rules = path_rules(profile, work, full, p.drop_capabilities);
    auto places = find_writable_places(kernel, p.rules);
    if (!places) {
        p.rules.clear();
        return fail(std::move(places).error());
    }
    PathWalker walker(kernel, places->all, places->anchors);
    SystemDirs system;
    for (std::size_t i = 0; i < p.rules.size(); ++i) {
        Rule& rule = p.rules[i];
        Ancestry chain;
        const bool keep = rule.origin == Origin::System;
        if (auto r = resolve(rule, walker, places->link_free, keep ? &chain : nullptr); !r) {
            p.rules.resize(i);
            return fail(std::move(r).error());
        }
        grant(rule);
        if (keep && !chain.empty()) system.emplace_back(rule.path, std::move(chain));
        // A profile path that is there but cannot be looked up is said.
        if (rule.absent != 0 && !absent_silently(rule.absent) && rule.origin < Origin::System) {
            p.warnings.push_back("Warning: profile path " + escape_name(rule.path) +
                                 " skipped: " + OsError{rule.absent}.to_string());
        }
    }
    places->link_free.clear();

    p.home_looked_up = true;
    p.home = host.home;
    if (p.home) {
        Rule rule{.origin = Origin::Home, .path = *p.home, .asked = home_access};
        if (auto r = plan_home(p, std::move(rule), walker, system, places->all, host.run_uid); !r)
            return fail(std::move(r).error());
        grant(p.rules.back());
    }

    // Anything the kernel or a rule's type reduced makes the enforcement
    // partial.
    bool reduced = p.handled_fs != p.asked_fs || p.handled_net != p.asked_net ||
                   p.handled_scope != p.asked_scope;
    for (const Rule& rule : p.rules)
        reduced = reduced || (rule.fd.valid() && rule.granted != rule.asked);
    if (p.level >= 4 && profile.proxy_port) {
        p.port = profile.proxy_port;
        p.port_granted = AccessNet::ConnectTcp & supported_net;
        reduced = reduced || p.port_granted.empty();
    }
    if (!live) {
        p.enforcement = Enforcement::NotEnforced;
        p.warnings.emplace_back(kNotEnforcedWarning);
    } else {
        p.enforcement = reduced ? Enforcement::Partial : Enforcement::Full;
        // Only a kernel that reports knowing the log flag gets it: older
        // ones refuse unknown flags.
        if (profile.log_denials && p.kernel_version >= kLandlockLogFlagsVersion)
            p.restrict_flags = kLandlockRestrictSelfLogNewExecOn;
    }
    // Without TCP rules and without a proxy port, no network was granted and
    // only the filter can refuse TCP.
    p.filter = syscall_filter_for(profile, p.handled_net.contains(AccessNet::ConnectTcp),
                                  p.drop_capabilities);
    return p;
}

} // namespace morvik::sandbox
