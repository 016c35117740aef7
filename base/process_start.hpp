// Process start: make sure descriptors 0 to 2 are open and ignore SIGPIPE.
// Both carry over into the command.
#pragma once

namespace morvik {

// Opens "/dev/null" (read-write, inheritable) on every standard descriptor
// that is closed. Returns false when that is impossible; the program cannot
// run then.
[[nodiscard]] bool ensure_standard_descriptors() noexcept;

// Sets SIGPIPE to ignored, so a write to a closed pipe returns EPIPE instead
// of killing the process (the program's or, after exec, the command's).
void ignore_sigpipe() noexcept;

} // namespace morvik
