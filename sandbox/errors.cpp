#include "sandbox/errors.hpp"

#include "base/utf8.hpp"
#include "sandbox/access.hpp"

namespace morvik::sandbox {

std::string render_access(AccessDomain domain, std::uint64_t bits) {
    switch (domain) {
    case AccessDomain::Fs:
        return AccessFs(bits).to_string();
    case AccessDomain::Net:
        return AccessNet(bits).to_string();
    case AccessDomain::Scope:
        return Scope(bits).to_string();
    }
    return {};
}

std::string CompatError::to_string() const {
    switch (kind) {
    case Kind::Empty:
        return "empty access-right";
    case Kind::Unknown:
        return "unknown access-rights (at build time): " + render_access(domain, incompatible);
    case Kind::StatCall:
        return "failed to check file descriptor type: " + source.to_string();
    }
    return {};
}

std::string RulesetError::to_string() const {
    switch (inner) {
    case Inner::Compat:
        return compat.to_string();
    case Inner::MissingHandledAccess:
        return "missing access";
    case Inner::CreateRulesetCall:
        return "failed to create a ruleset: " + source.to_string();
    case Inner::AddRuleCall:
        return "failed to add a rule: " + source.to_string();
    case Inner::UnhandledAccess:
        return "access-rights not handled by the ruleset: " + render_access(domain, incompatible);
    case Inner::SetNoNewPrivsCall:
        return "failed to set no_new_privs: " + source.to_string();
    case Inner::RestrictSelfCall:
        return "failed to restrict the calling thread: " + source.to_string();
    }
    return {};
}

std::string PathFdError::to_string() const {
    std::string out = "failed to open \"";
    append_utf8_lossy(out, path);
    out += "\": ";
    out += source.to_string();
    return out;
}

} // namespace morvik::sandbox
