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

// Whether the launcher runs with real or effective uid 0 or holds any
// capability in its effective, permitted or inheritable set.
[[nodiscard]] Expected<bool, CapabilityError> is_privileged(Kernel& kernel);

// Locks the secure bits, clears the ambient set, drops every capability the
// kernel knows from the bounding set (until it answers EINVAL), then clears
// the effective, permitted and inheritable sets. The bounding set needs
// CAP_SETPCAP, which the last step removes.
[[nodiscard]] Expected<void, CapabilityError> drop_capabilities(Kernel& kernel);

} // namespace morvik::sandbox
