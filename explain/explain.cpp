#include "explain/explain.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "base/escape.hpp"
#include "base/os_error.hpp"
#include "morvik_version.hpp"
#include "profile/parse_profile.hpp"
#include "profile/profile_file.hpp"

namespace morvik::explain {
namespace {

using sandbox::AccessFs;
using sandbox::AccessNet;
using sandbox::PathRuleStatus;

// Copies every policy event into an Explanation. The events' references are
// only valid during the call, so everything is copied.
class Collector final : public sandbox::PolicyObserver {
  public:
    explicit Collector(Explanation& out) : out_(out) {}

    void on_rights(const sandbox::PolicyRights& rights) override { out_.rights = rights; }

    void on_created(const sandbox::RulesetCreated& created) override {
        out_.ruleset =
            RulesetInfo{created.support(),       created.state(),      created.requested_fs(),
                        created.requested_net(), created.handled_fs(), created.handled_net(),
                        created.handled_scope()};
    }

    void on_path_rule(const sandbox::PathRuleEvent& event) override {
        out_.paths.push_back(PathItem{
            event.rule.row, event.rule.path, event.status, event.rule.access, event.granted,
            event.directory_rights_removed, event.stat_error, std::string(event.note)});
    }

    void on_home(const std::optional<std::string>& home) override {
        out_.home_looked_up = true;
        out_.home = home;
    }

    void on_port_rule(const sandbox::PortRuleEvent& event) override {
        out_.port = PortItem{event.port, event.outcome};
    }

    void on_enforced(const sandbox::RestrictionStatus& status) override {
        out_.enforcement = status.enforcement;
        out_.log_new_exec = status.log_new_exec;
    }

    void on_capabilities(const sandbox::CapabilityDecision& decision) override {
        out_.capabilities = decision;
    }

    void on_filter(const sandbox::SyscallFilter& filter) override { out_.filter = filter; }

  private:
    Explanation& out_;
};

template <class Access> std::string join_names(Access access) {
    std::string out;
    for (std::size_t bit = 0; bit < Access::kNames.size(); ++bit) {
        if (((access.bits() >> bit) & 1U) == 0) continue;
        if (!out.empty()) out += " | ";
        out += Access::kNames[bit];
    }
    // Bits beyond the named rights cannot come from the policy; show them
    // rather than hide them.
    if (!access.unknown().empty()) {
        if (!out.empty()) out += " | ";
        out += "unknown " + access.unknown().to_string();
    }
    return out.empty() ? std::string("none") : out;
}

// The label of a rule: the profile key, "system" for the fixed directories,
// "home" for the home directory.
std::string_view row_label(sandbox::RuleRow row) {
    switch (row) {
    case sandbox::RuleRow::Worktree:
    case sandbox::RuleRow::GitDir:
    case sandbox::RuleRow::AgentConfigDir:
    case sandbox::RuleRow::ToolDir:
    case sandbox::RuleRow::UserAllowedPath:
    case sandbox::RuleRow::Home:
        return sandbox::row_name(row);
    default:
        return "system";
    }
}

std::string_view support_kind(sandbox::KernelSupport::Kind kind) {
    switch (kind) {
    case sandbox::KernelSupport::Kind::Available:
        return "available";
    case sandbox::KernelSupport::Kind::Disabled:
        return "disabled";
    case sandbox::KernelSupport::Kind::Missing:
        return "missing";
    }
    return "unknown";
}

std::string_view enforcement_name(sandbox::Enforcement e) {
    switch (e) {
    case sandbox::Enforcement::Full:
        return "full";
    case sandbox::Enforcement::Partial:
        return "partial";
    case sandbox::Enforcement::NotEnforced:
        return "not enforced";
    }
    return "unknown";
}

void line(std::string& out, std::string_view key, std::string_view value) {
    out += key;
    out += ": ";
    out += value;
    out += '\n';
}

// The rights of an examined path once reduced for a non-directory.
AccessFs after_type_check(const PathItem& item) {
    return item.directory_rights_removed ? item.asked & AccessFs::kFileRights : item.asked;
}

void render_path(std::string& out, const PathItem& item) {
    std::string head(row_label(item.row));
    head += ' ';
    head += quote_path(item.path);
    head += ": ";
    const AccessFs reduced = after_type_check(item);
    const AccessFs removed_dir = item.asked - reduced;
    const AccessFs unsupported = reduced - item.granted;

    switch (item.status) {
    case PathRuleStatus::Absent:
        line(out, "skip", head + "absent: " + OsError{item.stat_error}.to_string());
        return;
    case PathRuleStatus::NotGranted:
        line(out, "skip", head + "not granted: " + item.note);
        return;
    case PathRuleStatus::Dropped:
        head += "dropped: the kernel supports none of " + names(reduced);
        if (!removed_dir.empty()) head += " (not a directory: removed " + names(removed_dir) + ")";
        line(out, "skip", head);
        return;
    case PathRuleStatus::Added:
    case PathRuleStatus::Inert:
        break;
    }
    head += names(item.granted);
    if (!removed_dir.empty()) head += " (not a directory: removed " + names(removed_dir) + ")";
    if (!unsupported.empty()) head += " (unsupported by the kernel: " + names(unsupported) + ")";
    if (item.status == PathRuleStatus::Inert) {
        line(out, "skip", head + " (kept, but the ruleset is inert: no rule reaches the kernel)");
    } else {
        line(out, "rule", head);
    }
}

void render_port(std::string& out, const Explanation& e) {
    if (e.port) {
        const auto& o = e.port->outcome;
        std::string text = std::to_string(e.port->port) + ": ";
        switch (o.disposition) {
        case sandbox::RuleDisposition::Added:
            text += names(o.granted);
            break;
        case sandbox::RuleDisposition::Dropped:
            text += "dropped: the kernel supports none of " + names(o.asked);
            break;
        case sandbox::RuleDisposition::Inert:
            text +=
                names(o.granted) + " (kept, but the ruleset is inert: no rule reaches the kernel)";
            break;
        }
        line(out, "port", text);
        return;
    }
    if (!e.rights->handle_net) {
        line(out, "port", "none (network not handled below level 4)");
    } else if (!e.profile_has_port) {
        line(out, "port", "none (no proxy_port: no TCP port may be bound or connected)");
    }
}

// What the versions after the last level confine: unix sockets from 9,
// UDP from 10, or why they stay open.
void render_newer(std::string& out, const sandbox::PolicyRights& r, const RulesetInfo& rs) {
    if (r.unix_access.empty()) {
        line(out, "unix sockets", "not confined (needs Landlock version 9)");
    } else if (!rs.handled_fs.contains(r.unix_access)) {
        line(out, "unix sockets", "not confined (the kernel does not support ResolveUnix)");
    } else {
        line(out, "unix sockets",
             "connect only beneath worktree_path, git_dir and agent_config_dirs, "
             "and to sockets the command creates");
    }
    if (r.version >= 10 && r.allow_udp) {
        line(out, "udp", "not confined (allow_udp)");
    } else if (r.udp_access.empty()) {
        line(out, "udp", "not confined (needs Landlock version 10)");
    } else if (!rs.handled_net.contains(r.udp_access)) {
        line(out, "udp", "not confined (the kernel does not support BindUdp | ConnectSendUdp)");
    } else {
        line(out, "udp", "none (no UDP port may be bound or sent to)");
    }
}

// What is active beyond the rules, and why something is not.
void render_protections(std::string& out, const Explanation& e) {
    const RulesetInfo& rs = *e.ruleset;
    if (!rs.handled_scope.empty()) {
        line(out, "scopes", join_names(rs.handled_scope));
    } else if (e.rights->scope.empty()) {
        line(out, "scopes", "none (below level 6)");
    } else {
        line(out, "scopes", "none (the kernel does not support them)");
    }
    if (e.log_new_exec) {
        line(out, "log denials", "on");
    } else if (!e.log_denials_asked) {
        line(out, "log denials", "off (log_denials not set)");
    } else if (*e.enforcement == sandbox::Enforcement::NotEnforced) {
        line(out, "log denials", "off (nothing enforced)");
    } else {
        line(out, "log denials", "off (the kernel reports a version below 7)");
    }
    if (e.minimum_abi) {
        line(out, "minimum abi",
             std::to_string(*e.minimum_abi) + " (the kernel reports " +
                 std::to_string(rs.support.version) + ")");
    } else {
        line(out, "minimum abi", "none (best effort)");
    }
    if (e.capabilities) {
        if (e.capabilities->keep_capabilities) {
            line(out, "capabilities", "kept (keep_capabilities)");
        } else if (e.capabilities->privileged && e.capabilities->full_drop) {
            line(out, "capabilities",
                 "dropped (uid 0 or a capability held; /dev narrowed to its pseudo-devices)");
        } else if (e.capabilities->privileged) {
            line(out, "capabilities",
                 "dropped (a capability held without CAP_SETPCAP: sets cleared, bounding set "
                 "kept, no-new-privileges; /dev narrowed to its pseudo-devices)");
        } else {
            line(out, "capabilities", "none held");
        }
    }
    if (!e.filter) return;
    const bool tcp_rules = rs.handled_net.contains(AccessNet::ConnectTcp);
    if (!e.filter->inet_stream) {
        line(out, "filter tcp", "refused (no TCP rules on this kernel and no proxy_port)");
    } else if (tcp_rules) {
        line(out, "filter tcp", "allowed (the TCP rules above apply)");
    } else {
        line(out, "filter tcp", "allowed (proxy_port, but no TCP rules on this kernel: any port)");
    }
    line(out, "filter udp",
         e.filter->inet_datagram ? "allowed (allow_udp)" : "refused (allow_udp not set)");
    line(out, "filter set-id",
         e.filter->set_id_modes_refused
             ? "refused (capabilities dropped: no set-user-ID or set-group-ID mode, no openat2)"
             : "allowed (no capabilities dropped)");
    line(out, "filter",
         "refuses MPTCP, raw and other inet sockets, families but unix and netlink routing, "
         "TIOCSTI, TIOCLINUX, TIOCSETD, TIOCEXCL, io_uring, limits and scheduling of other "
         "processes and other architectures' calls; socketpair as socket");
}

} // namespace

std::string names(AccessFs access) {
    return join_names(access);
}
std::string names(AccessNet access) {
    return join_names(access);
}

std::string quote_path(std::string_view path) {
    // The launcher's escaping never leaves a raw line break or a lone
    // backslash; a quote inside the name is escaped so the quotes delimit it.
    std::string out = "\"";
    for (const char c : escape_name(path)) {
        if (c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

Expected<Explanation, ExplainError> explain(const profile::SandboxProfile& profile,
                                            sandbox::Kernel& kernel,
                                            const ExplainOptions& options) {
    Explanation result;
    result.profile_has_port = profile.proxy_port.has_value();
    result.log_denials_asked = profile.log_denials;
    result.minimum_abi = profile.minimum_landlock_abi;
    Collector collector(result);
    sandbox::DryRunKernel dry(kernel);
    sandbox::PolicyOptions policy;
    policy.abi_version_path = options.abi_version_path;
    policy.observer = &collector;
    auto applied = sandbox::confine(profile, dry, policy);
    result.actions = dry.actions();
    if (!applied) return Unexpected(ExplainError{std::move(applied).error(), std::move(result)});
    return result;
}

std::string render(const Explanation& e) {
    std::string out;
    if (!e.rights) return out;
    const sandbox::PolicyRights& r = *e.rights;
    line(out, "abi version", std::to_string(r.version));
    line(out, "abi level", std::to_string(r.level));
    if (!e.ruleset) return out;
    const RulesetInfo& rs = *e.ruleset;

    std::string support(support_kind(rs.support.kind));
    if (rs.support.kind == sandbox::KernelSupport::Kind::Available) {
        support += ' ' + std::to_string(rs.support.version) + " (level " +
                   std::to_string(rs.support.level) + ")";
    }
    line(out, "kernel support", support);

    line(out, "handled fs", names(rs.handled_fs));
    if (const AccessFs u = rs.requested_fs - rs.handled_fs; !u.empty()) {
        line(out, "unsupported fs", names(u));
    }
    if (!r.handle_net) {
        line(out, "handled net", "none (network not handled below level 4)");
    } else {
        line(out, "handled net", names(rs.handled_net));
        if (const AccessNet u = rs.requested_net - rs.handled_net; !u.empty()) {
            line(out, "unsupported net", names(u));
        }
    }
    render_newer(out, r, rs);

    // The path rules before the home rule, then the home lookup, then the home rule.
    std::size_t i = 0;
    for (; i < e.paths.size() && e.paths[i].row != sandbox::RuleRow::Home; ++i) {
        render_path(out, e.paths[i]);
    }
    if (e.home_looked_up) line(out, "home", e.home ? quote_path(*e.home) : std::string("none"));
    for (; i < e.paths.size(); ++i)
        render_path(out, e.paths[i]);

    if (!e.enforcement) return out; // the policy stopped before the port rule or enforcement
    render_port(out, e);
    line(out, "enforcement", enforcement_name(*e.enforcement));
    render_protections(out, e);
    return out;
}

Outcome run(std::span<const char* const> args, sandbox::Kernel& kernel,
            const ExplainOptions& options) {
    Outcome o;
    const auto fail = [&o](std::string text) {
        o.status = 1;
        o.err += text;
        o.err += '\n';
        return o;
    };
    // "--help" or "--version" as the one argument: text on standard output,
    // status 0.
    if (args.size() == 2 && std::strcmp(args[1], "--help") == 0) {
        o.out = std::string(kUsage) + "\n" + std::string(kHelp);
        return o;
    }
    if (args.size() == 2 && std::strcmp(args[1], "--version") == 0) {
        o.out = "morvik-sandbox " + std::string(kVersion) + "\n";
        return o;
    }
    if (args.size() != 3 || std::strcmp(args[1], "--profile") != 0) {
        return fail(std::string(kUsage));
    }
    const char* profile_path = args[2];
    const auto text = profile::read_profile_file(profile_path);
    if (!text) {
        return fail("Failed to read profile " + escape_name(profile_path) + ": " +
                    text.error().to_string());
    }
    try {
        const auto profile = profile::parse_profile(*text);
        if (!profile) return fail("Failed to parse profile: " + profile.error().to_string());

        auto explained = explain(*profile, kernel, options);
        if (!explained) {
            // What was decided before the failure helps to find its cause.
            o.out = render(explained.error().partial);
            return fail(explained.error().error.line());
        }
        o.out = render(*explained);
    } catch (const std::bad_alloc&) {
        // The profile fit the read bound but not, parsed, in memory.
        o.out.clear();
        return fail("Failed to parse profile: " + OsError{ENOMEM}.to_string());
    }
    return o;
}

} // namespace morvik::explain
