// The forwarder: a small process left in the caller's network namespace when
// the command gets a namespace of its own. It relays the connections the
// command makes to the proxy port on its loopback to the proxy on the
// caller's loopback, and nothing else, and ends when the command ends.
//
// Starting it copies nothing: it is cloned sharing the launcher's memory
// (through a short-lived child, which the launcher reaps before the
// hand-over, so that the forwarder is neither the command's child nor a
// zombie left to it) and, until the launcher's memory is its alone,
// touches nothing but its own stack. It first closes every descriptor but
// its end of a socket pair, puts 0 to 2 on /dev/null, and waits for the
// launcher's end to close. The launcher never closes that end itself: the
// kernel closes it (close-on-exec) when the launcher executes the command,
// or when it exits, in both cases after the launcher has let go of its
// memory. Then the forwarder confines itself (no-new-privileges, no
// capabilities, Landlock, an allow-list filter), takes the one message the
// launcher left on the pair (the listening sockets of the command's
// namespace and a process descriptor of the launcher, which is now the
// command; none means the launcher failed) and relays until that process
// has ended.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "base/expected.hpp"

namespace morvik::sandbox {

// At most this many listening sockets come with the process descriptor:
// 127.0.0.1 and ::1.
inline constexpr int kMaxListeners = 2;

// A forwarder being started: this process's end of the socket pair
// (close-on-exec, and never to be closed by this process: see above), and
// the short-lived child that starts it, to be reaped with reap_starter().
struct ForwarderStart {
    int channel = -1;
    pid_t starter = -1;
};

// Starts the forwarder for the caller's proxy on `port`, without waiting
// for it; or the errno of the failed step.
[[nodiscard]] Expected<ForwarderStart, int> start_forwarder(std::uint16_t port);

// Waits for the short-lived child: 0, or the errno with which it failed to
// start the forwarder.
[[nodiscard]] int reap_starter(pid_t starter);

// Installs the forwarder's system-call filter (see forwarder_filter.cpp) on
// the calling thread (no-new-privileges must be set): 0 or the errno of the
// refusal.
[[nodiscard]] int install_forwarder_filter();

} // namespace morvik::sandbox
