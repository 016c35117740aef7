// A network namespace of the command's own, with the caller's proxy as the
// only way out (the profile's "isolate_network"). Run after the plan and the
// switch of user and before the plan is enforced (the plan was made with the
// credentials from before: after a new user namespace every launcher holds
// a full set of capabilities in it), in this order:
//   1. with a proxy port: the forwarder started in the caller's namespace
//      (forwarder.hpp);
//   2. unshare(CLONE_NEWUSER | CLONE_NEWNET), or CLONE_NEWNET alone for a
//      launcher holding CAP_SYS_ADMIN (a new user namespace would stand
//      between root's real capabilities and the command);
//   3. with a new user namespace: "deny" to /proc/self/setgroups, then the
//      effective uid and gid mapped to themselves (the ruleset gives /proc
//      no write, so before it);
//   4. lo up, then the proxy port bound and listening on 127.0.0.1 and ::1
//      where IPv6 exists (Landlock refuses every bind, so before it);
//   5. the listeners and a process descriptor of this process handed to the
//      forwarder, and closed here.
// The namespace plumbing talks to the kernel directly: it is not part of
// the plan the explainer shows, and it is tested end to end.
#pragma once

#include <cstdint>
#include <string>

#include "base/expected.hpp"
#include "base/os_error.hpp"
#include "profile/sandbox_profile.hpp"
#include "sandbox/forwarder.hpp"
#include "sandbox/kernel.hpp"

namespace morvik::sandbox {

struct NetworkError {
    enum class Step : std::uint8_t {
        ReadCapabilities,
        Forwarder,
        Dumpable,
        Unshare,
        Setgroups,
        UidMap,
        GidMap,
        Loopback,
        ListenIpv4,
        ListenIpv6,
        ProcessFd,
        HandOver,
    };

    Step step = Step::Unshare;
    OsError source{};
    std::uint16_t port = 0; // ListenIpv4, ListenIpv6

    // "Failed to isolate the network: STEP: REASON", e.g. "…: unshare:
    // Operation not permitted (os error 1)" or "…: listen on
    // 127.0.0.1:3128: Address already in use (os error 98)".
    [[nodiscard]] std::string line() const;
};

// Runs the steps above for `profile` (whose isolate_network is set). On
// failure nothing is left running: a forwarder already started sees the
// socket pair close when this process exits, and ends.
[[nodiscard]] Expected<void, NetworkError> isolate_network(const profile::SandboxProfile& profile,
                                                           Kernel& kernel);

} // namespace morvik::sandbox
