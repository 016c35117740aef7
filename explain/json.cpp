// The plan as one JSON document, in the shape docs/explain.schema.json
// describes. Members appear in a fixed order; strings are escaped by
// append_json_string (invalid UTF-8, possible only in a HOME from the
// environment, becomes U+FFFD).
#include <cerrno>
#include <initializer_list>
#include <utility>

#include "base/escape.hpp"
#include "explain/explain.hpp"

namespace morvik::explain {
namespace {

using sandbox::AccessFs;
using sandbox::AccessNet;
using sandbox::Enforcement;
using sandbox::Plan;
using sandbox::Rule;

// The document's shape: a later change that could break a reader gets a new
// number.
constexpr int kFormat = 1;

// Values already written out as JSON text.
std::string str(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

std::string boolean(bool value) {
    return value ? "true" : "false";
}

std::string reason(const Verdict& v) {
    return v.reason.empty() ? "null" : str(v.reason);
}

std::string array(const std::vector<std::string>& items) {
    std::string out = "[";
    for (const std::string& item : items) {
        if (out.size() > 1) out += ',';
        out += item;
    }
    return out + ']';
}

std::string object(std::initializer_list<std::pair<std::string_view, std::string>> members) {
    std::string out = "{";
    for (const auto& [key, value] : members) {
        if (out.size() > 1) out += ',';
        out += str(key) + ':' + value;
    }
    return out + '}';
}

template <class Access> std::string rights(Access access) {
    std::vector<std::string> out;
    for (std::size_t bit = 0; bit < Access::kNames.size(); ++bit)
        if (((access.bits() >> bit) & 1U) != 0) out.push_back(str(Access::kNames[bit]));
    return array(out);
}

std::string rule(const Rule& r) {
    const Verdict v = rule_verdict(r);
    const AccessFs typed = typed_rights(r);
    return object({{"origin", str(sandbox::origin_label(r.origin))},
                   {"path", str(r.path)},
                   {"verdict", str(v.verdict)},
                   {"reason", reason(v)},
                   {"rights", rights(r.granted)},
                   {"removed", rights(r.asked - typed)},
                   {"unsupported", rights(v.verdict == "added" ? typed - r.granted : AccessFs{})}});
}

std::string landlock(const Plan& p, const profile::SandboxProfile& profile) {
    const bool available = p.kernel_version >= 0;
    const std::string support = available                      ? "available"
                                : p.kernel_error == EOPNOTSUPP ? "disabled"
                                                               : "missing";
    return object(
        {{"version", std::to_string(p.version)},
         {"level", std::to_string(p.level)},
         {"kernel", object({{"support", str(support)},
                            {"version", available ? std::to_string(p.kernel_version) : "null"}})},
         {"minimum_version",
          profile.minimum_landlock_abi ? std::to_string(*profile.minimum_landlock_abi) : "null"},
         {"handled_fs", rights(p.handled_fs)},
         {"unsupported_fs", rights(p.asked_fs - p.handled_fs)},
         {"handled_net", rights(p.handled_net)},
         {"unsupported_net", rights(p.asked_net - p.handled_net)},
         {"scopes", rights(p.handled_scope)},
         {"log_denials", boolean(p.restrict_flags != 0)}});
}

std::string warnings(std::span<const std::string> launcher, std::span<const LintWarning> lint) {
    std::vector<std::string> out;
    for (const std::string& line : launcher)
        out.push_back(object({{"source", str("launcher")}, {"message", str(line)}}));
    for (const LintWarning& w : lint) {
        out.push_back(object({{"source", str("lint")},
                              {"kind", str(w.kind)},
                              {"key", str(w.key)},
                              {"path", w.path ? str(*w.path) : "null"},
                              {"message", str(w.message)}}));
    }
    return array(out);
}

} // namespace

std::string render_json(const Plan& p, const profile::SandboxProfile& profile,
                        std::span<const LintWarning> lint) {
    std::vector<std::string> rules;
    for (const Rule& r : p.rules)
        rules.push_back(rule(r));
    const Verdict port = port_verdict(p);
    const Verdict unix = unix_socket_verdict(p);
    const Verdict udp = udp_verdict(p, profile);
    const std::string capabilities = profile.keep_capabilities ? "kept"
                                     : p.drop_capabilities     ? "dropped"
                                                               : "none_held";
    const std::string run_as = profile.run_as
                                   ? object({{"uid", std::to_string(profile.run_as->uid)},
                                             {"gid", std::to_string(profile.run_as->gid)}})
                                   : "null";
    return object({{"format", std::to_string(kFormat)},
                   {"landlock", landlock(p, profile)},
                   {"enforcement", str(p.enforcement == Enforcement::Full      ? "full"
                                       : p.enforcement == Enforcement::Partial ? "partial"
                                                                               : "not_enforced")},
                   {"rules", array(rules)},
                   {"home", p.home ? str(*p.home) : "null"},
                   {"port", object({{"port", p.port ? std::to_string(*p.port) : "null"},
                                    {"verdict", str(port.verdict)},
                                    {"reason", reason(port)},
                                    {"rights", rights(p.port ? p.port_granted : AccessNet{})}})},
                   {"unix_sockets",
                    object({{"verdict", str(unix.verdict)}, {"reason", reason(unix)}})},
                   {"udp", object({{"verdict", str(udp.verdict)}, {"reason", reason(udp)}})},
                   {"capabilities",
                    object({{"verdict", str(capabilities)},
                            {"full_drop", boolean(p.drop_capabilities && p.full_drop)}})},
                   {"filter",
                    object({{"inet_stream", boolean(p.filter.inet_stream)},
                            {"inet_datagram", boolean(p.filter.inet_datagram)},
                            {"set_id_modes_refused", boolean(p.filter.set_id_modes_refused)}})},
                   {"run_as", run_as},
                   {"isolate_network", boolean(profile.isolate_network)},
                   {"warnings", warnings(p.warnings, lint)}}) +
           '\n';
}

std::string render_json_failure(std::string_view line, std::span<const LintWarning> lint) {
    return object({{"format", std::to_string(kFormat)},
                   {"failure", str(line)},
                   {"warnings", warnings({}, lint)}}) +
           '\n';
}

} // namespace morvik::explain
