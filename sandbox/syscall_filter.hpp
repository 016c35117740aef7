// The system-call filter installed last, just before the command is executed:
// one small BPF program written out in syscall_filter.cpp, built at compile
// time for the target architecture. What it refuses is fixed; a
// `SyscallFilter` describes the choices a profile makes within it.
#pragma once

#include "profile/sandbox_profile.hpp"

namespace morvik::sandbox {

struct SyscallFilter {
    // socket(AF_INET or AF_INET6, SOCK_STREAM, 0 or IPPROTO_TCP) is allowed.
    bool inet_stream = true;
    // socket(AF_INET or AF_INET6, SOCK_DGRAM, 0 or IPPROTO_UDP) is allowed.
    bool inet_datagram = false;
    // The launcher ran privileged and dropped its capabilities: the command
    // still owns uid 0's files, so set-user-ID and set-group-ID modes (chmod,
    // creating a file, mknod) are refused and openat2 fails with ENOSYS.
    bool set_id_modes_refused = false;

    friend bool operator==(const SyscallFilter&, const SyscallFilter&) = default;
};

// The filter for `profile`. `tcp_rules` tells whether the enforced Landlock
// ruleset restricts TCP connect: without it and without a proxy port, no
// network was granted and only the filter can refuse TCP. `capabilities_dropped`
// tells whether confine() found the launcher privileged and dropped its
// capabilities.
[[nodiscard]] SyscallFilter syscall_filter_for(const profile::SandboxProfile& profile,
                                               bool tcp_rules, bool capabilities_dropped) noexcept;

// Installs the filter on the calling thread (no-new-privileges must be set).
// Returns 0 or the errno of the refusal (EINVAL: no seccomp filter support).
[[nodiscard]] int install_syscall_filter(const SyscallFilter& filter) noexcept;

} // namespace morvik::sandbox
