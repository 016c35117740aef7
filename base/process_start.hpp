// Process start: make sure descriptors 0 to 2 are open and ignore SIGPIPE
// for the program's own writes. The open descriptors carry over into the
// command; SIGPIPE is given back as the caller set it right before the exec.
#pragma once

#include <signal.h>

namespace morvik {

// Opens "/dev/null" (read-write, inheritable) on every standard descriptor
// that is closed. Returns false when that is impossible; the program cannot
// run then.
[[nodiscard]] bool ensure_standard_descriptors() noexcept;

// The SIGPIPE disposition the process started with.
class SigpipeDisposition {
  public:
    // Puts that disposition back (right before the exec), so a command that
    // writes to a closed pipe ends as its caller expects.
    void restore() const noexcept;
    // Ignores SIGPIPE again (after a failed exec, before any write).
    static void ignore() noexcept;

  private:
    friend SigpipeDisposition ignore_sigpipe() noexcept;
    struct sigaction started_with_ {};
};

// Sets SIGPIPE to ignored, so a write of the program's to a closed pipe
// returns EPIPE instead of killing it; returns the disposition before.
SigpipeDisposition ignore_sigpipe() noexcept;

} // namespace morvik
