// Random profiles and random kernel behaviour through plan and enforce, with
// a recording fake kernel. Checks, for every input:
//  - no descriptor is left open and none is closed twice;
//  - every rule's rights lie within the rights the ruleset handles, and a rule
//    on something that is not a directory carries only file rights;
//  - no path that does not exist is opened;
//  - scopes are asked for only from version 6;
//  - the not-enforced warning is given at most once, only on success, and
//    exactly when nothing was enforced; every warning is one line;
//    no-new-privileges is set before any restriction.
#include <fuzzer/FuzzedDataProvider.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "sandbox/landlock_abi.hpp"
#include "support/fake_kernel.hpp"

namespace {

using morvik::testing::FakeCall;
using morvik::testing::FakeKernel;
using Kind = FakeCall::Kind;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant violated: %s\n", what);
        std::abort();
    }
}

const std::vector<std::string> kPool = {
    "/w",  "/g",      "/a",   "/t", "/u", "/file", "/absent", "", std::string("/n\0x", 4),
    "rel", "/home/u", "/w/l", "/l",
};

// Where the fake kernel keeps `p` (relative paths resolve from its working
// directory, the root).
std::string stored(const std::string& p) {
    return p.empty() || p.front() == '/' ? p : "/" + p;
}

std::string pick_path(FuzzedDataProvider& in) {
    return kPool[in.ConsumeIntegralInRange<std::size_t>(0, kPool.size() - 1)];
}

std::vector<std::string> pick_list(FuzzedDataProvider& in) {
    std::vector<std::string> out(in.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (auto& p : out)
        p = pick_path(in);
    return out;
}

int pick_errno(FuzzedDataProvider& in) {
    static const int kErrors[] = {0, 0, 0, EPERM, EINVAL, ENOMEM, EACCES, E2BIG, EBADF};
    return in.PickValueInArray(kErrors);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    FakeKernel fk;
    // The kernel: its version query's answer, or none.
    long version = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        fk.set_no_landlock(ENOSYS);
        break;
    case 1:
        fk.set_no_landlock(EOPNOTSUPP);
        break;
    default:
        version = in.ConsumeIntegralInRange<long>(0, 11);
        fk.set_version(version);
    }
    if (in.ConsumeBool()) fk.abi_file = in.ConsumeRandomLengthString(12);
    fk.create_error = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pick_errno(in) : 0;
    fk.add_rule_error = in.ConsumeIntegralInRange<int>(0, 5) == 0 ? pick_errno(in) : 0;
    fk.add_rule_fail_at = in.ConsumeIntegralInRange<int>(0, 20);
    fk.restrict_error = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pick_errno(in) : 0;
    fk.prctl_set_error = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pick_errno(in) : 0;
    fk.prctl_get_error = in.ConsumeBool() ? pick_errno(in) : 0;
    fk.prctl_get_result = in.ConsumeIntegralInRange<long>(-1, 2);
    // The file system: some of the pool exists, as directories or files, and
    // some of it cannot be opened or examined.
    fk.add_system_dirs();
    for (const auto& p : kPool) {
        if (p == "/absent" || !in.ConsumeBool()) continue;
        FakeKernel::Entry e;
        if (p == "/file" || in.ConsumeIntegralInRange<int>(0, 5) == 0) e.mode = S_IFREG | 0644;
        if (in.ConsumeIntegralInRange<int>(0, 9) == 0) e.open_error = pick_errno(in);
        if (in.ConsumeIntegralInRange<int>(0, 9) == 0) e.fstat_error = pick_errno(in);
        e.eintr = in.ConsumeIntegralInRange<int>(0, 1);
        fk.files[stored(p)] = e;
    }
    // Links, planted inside a writable place or not, to anywhere in the pool.
    for (const char* link : {"/w/l", "/l"}) {
        if (in.ConsumeBool()) {
            fk.add_dir("/w");
            fk.add_link(link, pick_path(in));
        }
    }
    if (in.ConsumeBool()) fk.env["HOME"] = pick_path(in);
    if (in.ConsumeBool()) fk.passwd = FakeKernel::PasswdEntry{fk.uid, pick_path(in)};
    // The profile.
    morvik::profile::SandboxProfile profile;
    profile.worktree_path = pick_path(in);
    profile.git_dir = pick_path(in);
    profile.agent_config_dirs = pick_list(in);
    profile.tool_dirs = pick_list(in);
    profile.user_allowed_paths = pick_list(in);
    if (in.ConsumeBool()) profile.proxy_port = in.ConsumeIntegral<std::uint16_t>();
    profile.allow_udp = in.ConsumeBool();

    const auto result = morvik::testing::confine(profile, fk);

    check(fk.open_fds() == 0, "a descriptor was left open");
    check(fk.bad_closes.empty(), "a descriptor was closed twice or never opened");
    std::uint64_t handled_fs = 0;
    std::uint64_t handled_net = 0;
    bool nnp_set = false;
    std::map<int, std::string> opened; // descriptor -> the path it was opened on
    std::size_t unix_rules = 0;
    bool restricted = false;
    for (const auto& c : fk.calls) {
        switch (c.kind) {
        case Kind::CreateRuleset:
            handled_fs = c.handled_fs;
            handled_net = c.handled_net;
            check(!profile.allow_udp || (handled_net & 0xC) == 0, "UDP handled with allow_udp");
            check(c.size == 24, "ruleset record size");
            // Signals and abstract sockets, only when the kernel itself
            // reports version 6 or later.
            check((c.scoped & ~std::uint64_t{3}) == 0 && (c.scoped == 0 || version >= 6),
                  "ruleset scopes");
            break;
        case Kind::OpenAt:
            if (c.opened >= 0) opened[c.opened] = c.text;
            break;
        case Kind::OpenNoLinks:
            if (c.opened >= 0) opened[c.opened] = c.reached;
            break;
        case Kind::AddPathRule: {
            check(opened.contains(c.parent_fd), "a rule on a descriptor the walk did not open");
            const std::string& last_open = opened[c.parent_fd];
            check((c.access & ~handled_fs) == 0, "path rule outside the handled rights");
            check(c.access != 0, "empty path rule");
            const auto& e = fk.files.at(last_open);
            if (!S_ISDIR(e.mode)) {
                check((c.access & ~morvik::sandbox::AccessFs::kFileRights.bits()) == 0,
                      "directory right on a file");
            }
            // Only the work tree, the git dir and the agent dirs (reached
            // directly or through a link the walk followed) get unix sockets.
            if (morvik::sandbox::AccessFs(c.access).contains(
                    morvik::sandbox::AccessFs::ResolveUnix)) {
                ++unix_rules;
                check(unix_rules <= 2 + profile.agent_config_dirs.size(),
                      "unix sockets granted outside the work tree, git dir and agent dirs");
            }
            break;
        }
        case Kind::AddNetRule:
            check((c.access & ~handled_net) == 0, "port rule outside the handled rights");
            check(c.access == 0x2, "port rule grants anything but connect");
            break;
        case Kind::Prctl:
            if (c.option == morvik::sandbox::kPrSetNoNewPrivs) nnp_set = true;
            break;
        case Kind::RestrictSelf:
            check(nnp_set, "restricted before no-new-privileges");
            restricted = true;
            break;
        default:
            break;
        }
    }
    const auto not_enforced = std::count(result.warnings.begin(), result.warnings.end(),
                                         std::string(morvik::sandbox::kNotEnforcedWarning));
    check(not_enforced <= 1, "warning given more than once");
    for (const auto& w : result.warnings)
        check(w.starts_with("Warning: ") && w.find('\n') == std::string::npos,
              "a warning that is not one line");
    if (result.failure.empty()) {
        check(nnp_set, "success without no-new-privileges");
        check((not_enforced == 1) == !restricted, "warning does not match the enforcement");
    } else {
        check(result.warnings.empty(), "warning on failure");
        check(result.failure.find('\n') == std::string::npos, "failure not one line");
    }
    return 0;
}
