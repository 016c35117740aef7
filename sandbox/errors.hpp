// Error values of the Landlock ruleset layer. A flat record per
// error: the outer kinds say where the error arose, the innermost kind decides
// the text. `to_string()` renders one line without a line feed.
#pragma once

#include <cstdint>
#include <string>

#include "base/os_error.hpp"

namespace morvik::sandbox {

// Which set type the access fields of an error hold (the `Fs`/`Net` branch).
enum class AccessDomain : std::uint8_t { Fs, Net, Scope };

// Renders `bits` as a set of `domain` ("BitFlags<AccessFs>(…)").
std::string render_access(AccessDomain domain, std::uint64_t bits);

struct CompatError {
    enum class Kind : std::uint8_t {
        Empty,    // no right declared
        Unknown,  // `access` holds rights unknown to this build, listed in `incompatible`
        StatCall, // the type check of a rule's descriptor failed: `source`
    };

    Kind kind = Kind::Empty;
    AccessDomain domain = AccessDomain::Fs;
    std::uint64_t access = 0;
    std::uint64_t incompatible = 0; // the unknown rights (Kind::Unknown)
    OsError source{};

    [[nodiscard]] std::string to_string() const;

    static CompatError empty(AccessDomain d) { return {Kind::Empty, d, 0, 0, {}}; }
    static CompatError unknown_bits(AccessDomain d, std::uint64_t access, std::uint64_t unknown) {
        return {Kind::Unknown, d, access, unknown, {}};
    }
    static CompatError stat_call(OsError e) { return {Kind::StatCall, AccessDomain::Fs, 0, 0, e}; }

    friend bool operator==(const CompatError&, const CompatError&) = default;
};

struct RulesetError {
    enum class Kind : std::uint8_t { HandleAccesses, CreateRuleset, AddRules, RestrictSelf, Scope };
    enum class Inner : std::uint8_t {
        Compat,               // HandleAccesses, AddRules, Scope: `compat`
        MissingHandledAccess, // CreateRuleset: "missing access"
        CreateRulesetCall,    // CreateRuleset: source
        AddRuleCall,          // AddRules: source
        UnhandledAccess,      // AddRules: access, incompatible
        SetNoNewPrivsCall,    // RestrictSelf: source
        RestrictSelfCall,     // RestrictSelf: source
    };

    Kind kind = Kind::CreateRuleset;
    AccessDomain domain = AccessDomain::Fs; // the Fs/Net branch of HandleAccesses and AddRules
    Inner inner = Inner::MissingHandledAccess;
    CompatError compat{};
    std::uint64_t access = 0;
    std::uint64_t incompatible = 0;
    OsError source{};

    [[nodiscard]] std::string to_string() const;

    static RulesetError handle_accesses(CompatError c) {
        return {Kind::HandleAccesses, c.domain, Inner::Compat, c, 0, 0, {}};
    }
    static RulesetError scope(CompatError c) {
        return {Kind::Scope, AccessDomain::Scope, Inner::Compat, c, 0, 0, {}};
    }
    static RulesetError missing_handled_access() {
        return {Kind::CreateRuleset, AccessDomain::Fs, Inner::MissingHandledAccess, {}, 0, 0, {}};
    }
    static RulesetError create_ruleset_call(OsError e) {
        return {Kind::CreateRuleset, AccessDomain::Fs, Inner::CreateRulesetCall, {}, 0, 0, e};
    }
    static RulesetError add_rule_call(AccessDomain d, OsError e) {
        return {Kind::AddRules, d, Inner::AddRuleCall, {}, 0, 0, e};
    }
    static RulesetError unhandled_access(AccessDomain d, std::uint64_t access,
                                         std::uint64_t incompatible) {
        return {Kind::AddRules, d, Inner::UnhandledAccess, {}, access, incompatible, {}};
    }
    static RulesetError add_rules_compat(AccessDomain d, CompatError c) {
        return {Kind::AddRules, d, Inner::Compat, c, 0, 0, {}};
    }
    static RulesetError set_no_new_privs_call(OsError e) {
        return {Kind::RestrictSelf, AccessDomain::Fs, Inner::SetNoNewPrivsCall, {}, 0, 0, e};
    }
    static RulesetError restrict_self_call(OsError e) {
        return {Kind::RestrictSelf, AccessDomain::Fs, Inner::RestrictSelfCall, {}, 0, 0, e};
    }

    friend bool operator==(const RulesetError&, const RulesetError&) = default;
};

// A profile path that exists could not be opened by the path walk.
struct PathFdError {
    OsError source{};
    std::string path;

    // "failed to open \"{path}\": {source}", the path as escape_name shows it.
    [[nodiscard]] std::string to_string() const;

    friend bool operator==(const PathFdError&, const PathFdError&) = default;
};

} // namespace morvik::sandbox
