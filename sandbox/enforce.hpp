// Enforcing a plan on the calling thread, in a fixed order: the Landlock
// ruleset is created and each planned rule added on the descriptor the walk
// opened, no-new-privileges is set, the thread restricted, the capabilities
// dropped (when planned), and the system-call filter installed, last, right
// before the command is executed. Each step that fails stops the run.
#pragma once

#include <string>

#include "base/expected.hpp"
#include "sandbox/kernel.hpp"
#include "sandbox/plan.hpp"

namespace morvik::sandbox {

// The secure bits locked before a full capability drop: uid 0 gains no
// capabilities through exec or a change of uid, and nothing can raise an
// ambient capability again.
inline constexpr unsigned long kLockedSecureBits = 0xEF; // every bit 0..7 but KEEP_CAPS (1 << 4)

// Enforces `plan`, closing each of its descriptors once its rule has been
// added. The error is the launcher's failure line.
[[nodiscard]] Expected<void, std::string> enforce(Plan& plan, Kernel& kernel);

} // namespace morvik::sandbox
