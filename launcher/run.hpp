// The run sequence: scan → read → parse → plan → enforce → exec.
#pragma once

#include <span>

#include "base/process_start.hpp"

namespace morvik::sandbox {
class Kernel;
}

namespace morvik::launcher {

// Runs the whole sequence for `args` (argv including argv[0]). Returns only
// when the run fails, after writing the one failure line to standard error;
// the result is the exit status (1). On success the process has become the
// command. "--help" or "--version" alone prints its text on standard output
// and returns 0 instead. When `sigpipe` is given, that disposition is
// restored right before the exec and SIGPIPE ignored again if the exec fails.
// With "--status-fd", the outcome is also written there as one JSON line,
// right before the exec or the exit.
[[nodiscard]] int run(std::span<const char* const> args, sandbox::Kernel& kernel,
                      const SigpipeDisposition* sigpipe = nullptr);

} // namespace morvik::launcher
