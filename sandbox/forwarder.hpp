// The forwarder: a small process left in the caller's network namespace when
// the command gets a namespace of its own. It relays the connections the
// command makes to the proxy port on its loopback to the proxy on the
// caller's loopback, and nothing else.
//
// It talks to the launcher over one end of a socket pair: first it confines
// itself and writes one `ForwarderReport`; then it receives the listening
// sockets of the command's namespace and a process descriptor of the
// launcher (which becomes the command) in one message with SCM_RIGHTS, and
// relays until that process has ended. End of file on the socket pair before
// that message means the launcher failed: it exits.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace morvik::sandbox {

// What the forwarder writes to the launcher once its confinement is in place
// (step Ready), or the step that failed and its errno.
struct ForwarderReport {
    enum class Step : std::uint32_t {
        Ready,
        Descriptors,     // closing the inherited ones, 0 to 2 on /dev/null
        NoNewPrivileges, // prctl(PR_SET_NO_NEW_PRIVS)
        Capabilities,    // dropping every capability
        Landlock,        // no file rights, TCP connect to the proxy port only
        Filter,          // the system-call filter
    };
    Step step = Step::Ready;
    std::int32_t error = 0;
};

// "close the inherited descriptors", "set no-new-privileges", "drop
// capabilities", "apply Landlock rules", "install the system-call filter".
[[nodiscard]] std::string_view to_string(ForwarderReport::Step step) noexcept;

// At most this many listening sockets come with the process descriptor:
// 127.0.0.1 and ::1.
inline constexpr int kMaxListeners = 2;

// Runs the forwarder on `channel` (its end of the socket pair) for the
// caller's proxy on `port`; never returns. Meant for a freshly forked child
// of a single-threaded process.
[[noreturn]] void run_forwarder(int channel, std::uint16_t port) noexcept;

// The forwarder's system-call filter (see forwarder_filter.cpp).
[[nodiscard]] std::vector<sock_filter> forwarder_filter();
// Installs it on the calling thread (no-new-privileges must be set): 0 or
// the errno of the refusal.
[[nodiscard]] int install_forwarder_filter();

} // namespace morvik::sandbox
