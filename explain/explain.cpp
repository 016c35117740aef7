#include "explain/explain.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "base/escape.hpp"
#include "base/os_error.hpp"
#include "explain/lint.hpp"
#include "morvik_version.hpp"
#include "profile/parse_profile.hpp"
#include "profile/profile_file.hpp"

namespace morvik::explain {
namespace {

using sandbox::AccessFs;
using sandbox::AccessNet;
using sandbox::Enforcement;
using sandbox::Plan;
using sandbox::Rule;

template <class Access> std::string join_names(Access access) {
    std::string out;
    for (std::size_t bit = 0; bit < Access::kNames.size(); ++bit) {
        if (((access.bits() >> bit) & 1U) == 0) continue;
        if (!out.empty()) out += " | ";
        out += Access::kNames[bit];
    }
    return out.empty() ? std::string("none") : out;
}

void line(std::string& out, std::string_view key, std::string_view value) {
    out += key;
    out += ": ";
    out += value;
    out += '\n';
}

void render_rule(std::string& out, const Rule& rule) {
    std::string head(sandbox::origin_label(rule.origin));
    head += ' ';
    head += quote_path(rule.path);
    head += ": ";
    const Verdict v = rule_verdict(rule);
    const AccessFs removed_dir = rule.asked - typed_rights(rule);
    const std::string removed =
        removed_dir.empty() ? "" : " (not a directory: removed " + names(removed_dir) + ")";
    if (v.verdict == "absent") {
        line(out, "skip", head + "absent: " + v.reason);
    } else if (v.verdict == "lookup_failed") {
        line(out, "skip", head + "cannot be looked up: " + v.reason);
    } else if (v.verdict == "not_granted") {
        line(out, "skip", head + "not granted: " + v.reason);
    } else if (v.verdict == "dropped") {
        line(out, "skip", head + "dropped: " + v.reason + removed);
    } else {
        head += names(rule.granted) + removed;
        if (const AccessFs unsupported = typed_rights(rule) - rule.granted; !unsupported.empty())
            head += " (unsupported by the kernel: " + names(unsupported) + ")";
        line(out, "rule", head);
    }
}

void render_port(std::string& out, const Plan& p) {
    const Verdict v = port_verdict(p);
    if (v.verdict == "none") {
        line(out, "port", "none (" + v.reason + ")");
    } else {
        line(out, "port",
             std::to_string(*p.port) + ": " +
                 (v.verdict == "dropped" ? "dropped: " + v.reason : names(p.port_granted)));
    }
}

// What the versions after the last level confine: unix sockets from 9,
// UDP from 10, or why they stay open.
void render_newer(std::string& out, const Plan& p, const profile::SandboxProfile& profile) {
    const Verdict unix = unix_socket_verdict(p);
    line(out, "unix sockets",
         unix.verdict == "confined" ? unix.reason : "not confined (" + unix.reason + ")");
    const Verdict udp = udp_verdict(p, profile);
    line(out, "udp", (udp.verdict == "confined" ? "none (" : "not confined (") + udp.reason + ")");
}

// What is active beyond the rules, and why something is not.
void render_protections(std::string& out, const Plan& p, const profile::SandboxProfile& profile) {
    if (!p.handled_scope.empty()) {
        line(out, "scopes", join_names(p.handled_scope));
    } else if (p.asked_scope.empty()) {
        line(out, "scopes", "none (below level 6)");
    } else {
        line(out, "scopes", "none (the kernel does not support them)");
    }
    if (p.restrict_flags != 0) {
        line(out, "log denials", "on");
    } else if (!profile.log_denials) {
        line(out, "log denials", "off (log_denials not set)");
    } else if (p.enforcement == Enforcement::NotEnforced) {
        line(out, "log denials", "off (nothing enforced)");
    } else {
        line(out, "log denials", "off (the kernel reports a version below 7)");
    }
    if (profile.minimum_landlock_abi) {
        line(out, "minimum abi",
             std::to_string(*profile.minimum_landlock_abi) + " (the kernel reports " +
                 std::to_string(std::max<std::int64_t>(p.kernel_version, 0)) + ")");
    } else {
        line(out, "minimum abi", "none (best effort)");
    }
    if (profile.keep_capabilities) {
        line(out, "capabilities", "kept (keep_capabilities)");
    } else if (p.drop_capabilities && p.full_drop) {
        line(out, "capabilities",
             "dropped (uid 0 or a capability held; /dev narrowed to its pseudo-devices)");
    } else if (p.drop_capabilities && p.root && profile.run_as && profile.run_as->uid != 0) {
        line(out, "capabilities",
             "dropped (by the switch to uid " + std::to_string(profile.run_as->uid) +
                 ": every set emptied, the bounding set too, secure bits left, "
                 "no-new-privileges; /dev narrowed to its pseudo-devices)");
    } else if (p.drop_capabilities && p.root) {
        line(out, "capabilities",
             "dropped (uid 0 holding none: sets cleared, secure bits and bounding set left, "
             "no-new-privileges; /dev narrowed to its pseudo-devices)");
    } else if (p.drop_capabilities) {
        line(out, "capabilities",
             "dropped (a capability held without CAP_SETPCAP: sets cleared, bounding set "
             "kept, no-new-privileges; /dev narrowed to its pseudo-devices)");
    } else {
        line(out, "capabilities", "none held");
    }
    if (!p.filter.inet_stream) {
        line(out, "filter tcp", "refused (no TCP rules on this kernel and no proxy_port)");
    } else if (p.handled_net.contains(AccessNet::ConnectTcp)) {
        line(out, "filter tcp", "allowed (the TCP rules above apply)");
    } else {
        line(out, "filter tcp", "allowed (proxy_port, but no TCP rules on this kernel: any port)");
    }
    line(out, "filter udp",
         p.filter.inet_datagram ? "allowed (allow_udp)" : "refused (allow_udp not set)");
    line(out, "filter set-id",
         p.filter.set_id_modes_refused
             ? "refused (capabilities dropped: no set-user-ID or set-group-ID mode, no openat2)"
             : "allowed (no capabilities dropped)");
    line(out, "filter",
         "refuses MPTCP, raw and other inet sockets, families but unix and netlink routing, "
         "TIOCSTI, TIOCLINUX, TIOCSETD, TIOCEXCL, io_uring, limits and scheduling of other "
         "processes and other architectures' calls; socketpair as socket");
}

} // namespace

AccessFs typed_rights(const Rule& rule) {
    return rule.file ? rule.asked & AccessFs::kFileRights : rule.asked;
}

Verdict rule_verdict(const Rule& rule) {
    if (rule.absent != 0) {
        return {sandbox::absent_silently(rule.absent) ? "absent" : "lookup_failed",
                OsError{rule.absent}.to_string()};
    }
    if (!rule.unfit.empty()) return {"not_granted", rule.unfit};
    if (rule.granted.empty())
        return {"dropped", "the kernel supports none of " + names(typed_rights(rule))};
    return {"added", {}};
}

Verdict port_verdict(const Plan& p) {
    if (p.port && p.port_granted.empty())
        return {"dropped", "the kernel supports none of " + names(AccessNet::ConnectTcp)};
    if (p.port) return {"added", {}};
    if (p.level < 4) return {"none", "network not handled below level 4"};
    return {"none", "no proxy_port: no TCP port may be bound or connected"};
}

Verdict unix_socket_verdict(const Plan& p) {
    if (!p.asked_fs.contains(AccessFs::ResolveUnix))
        return {"not_confined", "needs Landlock version 9"};
    if (!p.handled_fs.contains(AccessFs::ResolveUnix))
        return {"not_confined", "the kernel does not support ResolveUnix"};
    return {"confined", "connect only beneath worktree_path, git_dir and agent_config_dirs, "
                        "and to sockets the command creates"};
}

Verdict udp_verdict(const Plan& p, const profile::SandboxProfile& profile) {
    const AccessNet udp = p.asked_net & (AccessNet::BindUdp | AccessNet::ConnectSendUdp);
    if (p.version >= 10 && profile.allow_udp) return {"not_confined", "allow_udp"};
    if (udp.empty()) return {"not_confined", "needs Landlock version 10"};
    if (!p.handled_net.contains(udp))
        return {"not_confined", "the kernel does not support BindUdp | ConnectSendUdp"};
    return {"confined", "no UDP port may be bound or sent to"};
}

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

std::string render(const Plan& p, const profile::SandboxProfile& profile, bool finished) {
    std::string out;
    if (p.level == 0) return out; // stopped before the version was known
    line(out, "abi version", std::to_string(p.version));
    line(out, "abi level", std::to_string(p.level));
    if (p.asked_fs.empty()) return out; // stopped at the minimum version

    std::string support = "missing";
    if (p.kernel_version >= 0) {
        support = "available " + std::to_string(p.kernel_version) + " (level " +
                  std::to_string(std::min<std::int64_t>(p.kernel_version, 6)) + ")";
    } else if (p.kernel_error == EOPNOTSUPP) {
        support = "disabled";
    }
    line(out, "kernel support", support);
    line(out, "handled fs", names(p.handled_fs));
    if (const AccessFs u = p.asked_fs - p.handled_fs; !u.empty())
        line(out, "unsupported fs", names(u));
    if (p.level < 4) {
        line(out, "handled net", "none (network not handled below level 4)");
    } else {
        line(out, "handled net", names(p.handled_net));
        if (const AccessNet u = p.asked_net - p.handled_net; !u.empty())
            line(out, "unsupported net", names(u));
    }
    render_newer(out, p, profile);

    // The path rules before the home rule, then the home lookup, then the
    // home rule.
    for (const Rule& rule : p.rules)
        if (rule.origin != sandbox::Origin::Home) render_rule(out, rule);
    if (p.home_looked_up) line(out, "home", p.home ? quote_path(*p.home) : std::string("none"));
    for (const Rule& rule : p.rules)
        if (rule.origin == sandbox::Origin::Home) render_rule(out, rule);

    if (!finished) return out;
    render_port(out, p);
    line(out, "enforcement",
         p.enforcement == Enforcement::Full      ? "full"
         : p.enforcement == Enforcement::Partial ? "partial"
                                                 : "not enforced");
    render_protections(out, p, profile);
    return out;
}

Outcome run(std::span<const char* const> args, sandbox::Kernel& kernel) {
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
    // "--json" first or last, around "--profile FILE".
    const bool json = args.size() == 4 &&
                      (std::strcmp(args[1], "--json") == 0 || std::strcmp(args[3], "--json") == 0);
    const std::size_t at = json && std::strcmp(args[1], "--json") == 0 ? 2 : 1;
    if (args.size() != (json ? 4U : 3U) || std::strcmp(args[at], "--profile") != 0) {
        return fail(std::string(kUsage));
    }
    const char* profile_path = args[at + 1];
    const auto text = profile::read_profile_file(profile_path);
    if (!text) {
        return fail("Failed to read profile " + escape_name(profile_path) + ": " +
                    text.error().to_string());
    }
    try {
        std::vector<std::string> unknown_keys;
        const auto profile = profile::parse_profile(*text, &unknown_keys);
        if (!profile) return fail("Failed to parse profile: " + profile.error().to_string());

        const auto planned =
            sandbox::plan(*profile, sandbox::read_host(kernel, profile->run_as), kernel);
        const sandbox::Plan& p = planned ? *planned : planned.error().partial;
        const auto warnings = lint(*profile, unknown_keys, p.home, kernel);
        if (json) {
            o.out = planned ? render_json(p, *profile, warnings)
                            : render_json_failure(planned.error().line, warnings);
        } else {
            // What was decided before a failure helps to find its cause.
            o.out = render(p, *profile, planned.has_value());
            for (const LintWarning& w : warnings)
                line(o.out, "warning", w.message);
        }
        if (!planned) return fail(planned.error().line);
    } catch (const std::bad_alloc&) {
        // The profile fit the read bound but not, parsed, in memory.
        o.out.clear();
        return fail("Failed to parse profile: " + OsError{ENOMEM}.to_string());
    }
    return o;
}

} // namespace morvik::explain
