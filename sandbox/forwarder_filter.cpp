// The forwarder's system-call filter: an allow-list of exactly what relaying
// TCP connections needs, as a small hand-written classic BPF program
// assembled at compile time. Every other call, and every call through
// another architecture's entry, kills the forwarder.
//
// Allowed:
//   accepting        accept4
//   inet streams     socket(AF_INET or AF_INET6,
//                           SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)
//   connecting       connect; getsockopt(SOL_SOCKET, SO_ERROR)
//   resetting        setsockopt(SOL_SOCKET, SO_LINGER)
//   relaying         pipe2(O_NONBLOCK | O_CLOEXEC), splice, shutdown;
//                    recvmsg (the hand-over)
//   polling          ppoll, restart_syscall
//   closing          close
//   memory           brk, munmap, mremap, madvise; mmap and mprotect
//                    without PROT_EXEC
//   exiting          exit, exit_group
// Arguments are compared on their low 32 bits: the kernel reads each of
// these as a 32-bit value, so high bits cannot slip past.
#include <asm/unistd.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "sandbox/forwarder.hpp"

namespace morvik::sandbox {
namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "the forwarder's filter is written for x86-64 and aarch64"
#endif

// The low 32-bit word of argument i comes first on little-endian targets.
static_assert(std::endian::native == std::endian::little);
template <int i> constexpr std::uint32_t kArg = offsetof(seccomp_data, args[i]);

// The places a jump can name; kNext is the following instruction.
enum Label : std::uint8_t {
    kNext,
    kAllow,
    kKill,
    kSocket,
    kStream,
    kPipe,
    kGet,
    kSet,
    kMemory,
    kLabels
};

// A program whose jumps name labels until link() resolves them. Written at
// compile time only: a jump backwards or beyond 255 instructions, or more
// instructions than the budget, fails the build.
struct Program {
    using u32 = std::uint32_t;
    static constexpr std::uint16_t kIf = BPF_JMP | BPF_K;
    std::array<sock_filter, 64> insns{};
    std::uint16_t size = 0;
    std::array<std::uint16_t, kLabels> at_{};

    constexpr auto& at(Label l) { return at_[l] = size, *this; }
    constexpr auto& load(u32 offset) { return emit(BPF_LD | BPF_W | BPF_ABS, offset); }
    constexpr auto& eq(u32 k, Label y, Label n = kNext) { return emit(kIf | BPF_JEQ, k, y, n); }
    constexpr auto& any(u32 k, Label y, Label n = kNext) { return emit(kIf | BPF_JSET, k, y, n); }
    constexpr auto& at_least(u32 k, Label y) { return emit(kIf | BPF_JGE, k, y, kNext); }
    constexpr auto& ret(u32 action) { return emit(BPF_RET | BPF_K, action); }
    constexpr Program& emit(std::uint16_t code, u32 k, Label y = kNext, Label n = kNext) {
        if (size == insns.size()) throw "the filter is over budget";
        insns[size++] = {code, y, n, k};
        return *this;
    }
    constexpr u32 offset(std::uint16_t from, u32 label) const {
        if (label == kNext) return 0;
        if (at_[label] <= from || at_[label] - from - 1 > 255) throw "a jump that cannot be made";
        return at_[label] - from - 1U;
    }
    constexpr Program& link() {
        for (std::uint16_t i = 0; i < size; ++i) {
            sock_filter& f = insns[i];
            if (BPF_CLASS(f.code) != BPF_JMP) continue;
            f.jt = static_cast<std::uint8_t>(offset(i, f.jt));
            f.jf = static_cast<std::uint8_t>(offset(i, f.jf));
        }
        return *this;
    }
};

consteval Program build() {
    Program a;
    a.load(offsetof(seccomp_data, arch)).eq(kArch, kNext, kKill);
    a.load(offsetof(seccomp_data, nr));
#if defined(__x86_64__)
    a.at_least(__X32_SYSCALL_BIT, kKill);
#endif
    for (const int nr : {__NR_accept4, __NR_connect, __NR_splice, __NR_shutdown, __NR_recvmsg,
                         __NR_ppoll, __NR_restart_syscall, __NR_close, __NR_brk, __NR_munmap,
                         __NR_mremap, __NR_madvise, __NR_exit, __NR_exit_group})
        a.eq(nr, kAllow);
#if defined(__SANITIZE_ADDRESS__)
    // A sanitizer build only: the runtime does not know the forwarder's
    // stack and says so (on /dev/null) before every call that does not
    // return.
    for (const int nr : {__NR_sigaltstack, __NR_getpid, __NR_write})
        a.eq(nr, kAllow);
#endif
    a.eq(__NR_socket, kSocket).eq(__NR_pipe2, kPipe);
    a.eq(__NR_getsockopt, kGet).eq(__NR_setsockopt, kSet);
    a.eq(__NR_mmap, kMemory).eq(__NR_mprotect, kMemory).ret(SECCOMP_RET_KILL_PROCESS);

    // socket(domain, type, protocol)
    a.at(kSocket).load(kArg<0>).eq(AF_INET, kStream).eq(AF_INET6, kStream, kKill);
    a.at(kStream).load(kArg<1>).eq(SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, kNext, kKill);
    a.load(kArg<2>).eq(0, kAllow, kKill);
    // pipe2(fds, flags)
    a.at(kPipe).load(kArg<1>).eq(O_NONBLOCK | O_CLOEXEC, kAllow, kKill);
    // getsockopt and setsockopt(fd, level, name, ...)
    a.at(kGet).load(kArg<1>).eq(SOL_SOCKET, kNext, kKill).load(kArg<2>).eq(SO_ERROR, kAllow, kKill);
    a.at(kSet)
        .load(kArg<1>)
        .eq(SOL_SOCKET, kNext, kKill)
        .load(kArg<2>)
        .eq(SO_LINGER, kAllow, kKill);
    // mmap and mprotect: the protection is the third argument.
    a.at(kMemory).load(kArg<2>).any(PROT_EXEC, kKill, kAllow);

    a.at(kAllow).ret(SECCOMP_RET_ALLOW).at(kKill).ret(SECCOMP_RET_KILL_PROCESS);
    return a.link();
}

constexpr Program kProgram = build();

} // namespace

int install_forwarder_filter() {
    sock_fprog prog{kProgram.size, const_cast<sock_filter*>(kProgram.insns.data())};
    return ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0 ? 0 : errno;
}

} // namespace morvik::sandbox
