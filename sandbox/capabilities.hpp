// Taking every capability from a privileged launcher before the command runs.
// Landlock cannot stop a uid-0 command from using what uid 0 owns (device
// nodes, mknod, network configuration), so a launcher that runs as uid 0 or
// holds any capability hands the command none.
#pragma once

#include <cstdint>
#include <string>

#include "base/expected.hpp"
#include "base/os_error.hpp"
#include "sandbox/kernel.hpp"

namespace morvik::sandbox {

// Which step of reading or dropping the capabilities failed.
struct CapabilityError {
    enum class Step : std::uint8_t { Read, SecureBits, Ambient, Bounding, Clear };

    Step step = Step::Read;
    int capability = 0; // Bounding: the capability that could not be dropped
    OsError source{};

    // "failed to read the capability sets: …", "failed to lock the secure
    // bits: …", "failed to clear the ambient capabilities: …", "failed to
    // drop capability N from the bounding set: …", "failed to clear the
    // capability sets: …".
    [[nodiscard]] std::string to_string() const;

    friend bool operator==(const CapabilityError&, const CapabilityError&) = default;
};

// The secure bits locked before the sets are cleared: uid 0 gains no
// capabilities through exec or a change of uid, and nothing can raise an
// ambient capability again.
inline constexpr unsigned long kLockedSecureBits = 0xEF; // every bit 0..7 but KEEP_CAPS (1 << 4)

// What the launcher holds, as far as the drop is concerned.
struct Privilege {
    // Real or effective uid 0, or a capability in the effective, permitted
    // or inheritable set: the command must get none.
    bool privileged = false;
    // Uid 0 or CAP_SETPCAP in the effective set: the secure bits and the
    // bounding set can be changed too. Without it (a non-root launcher given
    // some other capability) only the sets are cleared; no-new-privileges
    // already keeps the exec from gaining any.
    bool full_drop = false;

    friend bool operator==(const Privilege&, const Privilege&) = default;
};

[[nodiscard]] Expected<Privilege, CapabilityError> read_privilege(Kernel& kernel);

// For a full drop: locks the secure bits, clears the ambient set, drops every
// capability the kernel knows from the bounding set (until it answers
// EINVAL), then clears the effective, permitted and inheritable sets (the
// bounding set needs CAP_SETPCAP, which the last step removes). Otherwise
// clears the ambient set, then the three sets.
[[nodiscard]] Expected<void, CapabilityError> drop_capabilities(Kernel& kernel,
                                                                const Privilege& privilege);

} // namespace morvik::sandbox
