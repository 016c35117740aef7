// morvik-sandbox: runs one command inside a Landlock confinement described by
// a JSON profile. Usage: morvik-sandbox {--profile <profile.json> | --profile-fd <fd>}
// [--status-fd <fd>] -- <command> [args...]
// "--help" or "--version" as the only argument prints usage or the version.
#include <cstdlib>
#include <span>

#include "base/process_start.hpp"
#include "launcher/run.hpp"
#include "sandbox/linux_kernel.hpp"

int main(int argc, char** argv) {
    if (!morvik::ensure_standard_descriptors()) return 1;
    const morvik::SigpipeDisposition sigpipe = morvik::ignore_sigpipe();
    const std::span<const char* const> args(const_cast<const char* const*>(argv),
                                            static_cast<std::size_t>(argc > 0 ? argc : 0));
    return morvik::launcher::run(args, morvik::sandbox::system_kernel(), &sigpipe);
}
