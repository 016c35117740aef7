#include "sandbox/syscall_filter.hpp"

#include <asm/unistd.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/ioprio.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace morvik::sandbox {
namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "the system-call filter is written for x86-64 and aarch64"
#endif
// Numbered alike on every architecture from 424 on; older headers lack it.
#ifndef __NR_fchmodat2
#define __NR_fchmodat2 452
#endif

// An argument is compared as its low 32-bit word, the one the kernel reads
// for the int, mode and flag arguments inspected here (so high bits cannot
// slip past). That word comes first in the 64-bit slot on little-endian
// targets only.
static_assert(std::endian::native == std::endian::little);
template <int i> constexpr std::uint32_t kArg = offsetof(seccomp_data, args[i]);

// O_TMPFILE without O_DIRECTORY, whose value differs between architectures.
constexpr std::uint32_t kCreating = O_CREAT | (O_TMPFILE & ~O_DIRECTORY);
constexpr std::uint32_t kSetIdBits = 06000; // S_ISUID | S_ISGID
constexpr std::uint32_t kTypeFlags = SOCK_NONBLOCK | SOCK_CLOEXEC;

// The places a jump can name; kNext is the following instruction.
// clang-format off
enum Label : std::uint8_t {
    kNext, kAllow, kEperm, kEnosys, kEacces, kEafnosupport, kEprotonosupport, kSocket, kInet,
    kDatagram, kIoctl, kPriority, kIoPriority, kWhoZero, kPidZero, kOpen, kOpenat, kMode1, kMode2,
    kMode3, kLabels
};
// clang-format on

// A program whose jumps name labels until link() resolves them (meanwhile
// jt and jf hold labels). Written at compile time only: a fault (a jump
// backwards or beyond 255 instructions, a label never placed, more
// instructions than the budget of 150) fails the build.
struct Program {
    using u32 = std::uint32_t;
    static constexpr std::uint16_t kIf = BPF_JMP | BPF_K;
    std::array<sock_filter, 150> insns{};
    std::uint16_t size = 0;
    std::array<std::uint16_t, kLabels> at_{};

    constexpr auto& at(Label l) { return at_[l] = size, *this; }
    constexpr auto& load(u32 offset) { return emit(BPF_LD | BPF_W | BPF_ABS, offset); }
    constexpr auto& mask(u32 bits) { return emit(BPF_ALU | BPF_AND | BPF_K, bits); }
    constexpr auto& eq(u32 k, Label y, Label n = kNext) { return emit(kIf | BPF_JEQ, k, y, n); }
    constexpr auto& any(u32 k, Label y, Label n = kNext) { return emit(kIf | BPF_JSET, k, y, n); }
    constexpr auto& at_least(u32 k, Label y) { return emit(kIf | BPF_JGE, k, y, kNext); }
    constexpr auto& ret(u32 action) { return emit(BPF_RET | BPF_K, action); }
    constexpr auto& refuse(int error) { return ret(SECCOMP_RET_ERRNO | static_cast<u32>(error)); }
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

// Variant bits: 1 inet streams allowed, 2 inet datagrams allowed, 4 set-ID
// modes refused.
consteval Program build(unsigned variant) {
    Program a;
    a.load(offsetof(seccomp_data, arch)).eq(kArch, kNext, kEnosys); // i386's `int 0x80`, ...
    a.load(offsetof(seccomp_data, nr));
#if defined(__x86_64__)
    a.at_least(__X32_SYSCALL_BIT, kEnosys);
#endif
    a.eq(__NR_socket, kSocket).eq(__NR_socketpair, kSocket).eq(__NR_ioctl, kIoctl);
    // A ring can create sockets and open files without the calls above.
    for (const int nr : {__NR_io_uring_setup, __NR_io_uring_enter, __NR_io_uring_register})
        a.eq(nr, kEnosys);
    // Limits, niceness and scheduling of the calling process alone.
    for (const int nr :
         {__NR_prlimit64, __NR_sched_setscheduler, __NR_sched_setparam, __NR_sched_setattr})
        a.eq(nr, kPidZero);
    a.eq(__NR_setpriority, kPriority).eq(__NR_ioprio_set, kIoPriority);
    if ((variant & 4) != 0) {
#ifdef __NR_open // the legacy calls aarch64 lacks: open, chmod, creat, mknod
        a.eq(__NR_open, kOpen).eq(__NR_chmod, kMode1).eq(__NR_creat, kMode1).eq(__NR_mknod, kMode1);
#endif
        a.eq(__NR_openat, kOpenat).eq(__NR_fchmod, kMode1);
        for (const int nr : {__NR_fchmodat, __NR_fchmodat2, __NR_mknodat})
            a.eq(nr, kMode2);
        a.eq(__NR_openat2, kEnosys); // its mode lies in memory the filter cannot read
    }
    a.ret(SECCOMP_RET_ALLOW); // no argument loaded: the kernel caches this verdict

    // socket() and socketpair(): (domain, type, protocol); type without its flags.
    a.at(kSocket).load(kArg<0>).eq(AF_UNIX, kAllow).eq(AF_INET, kInet).eq(AF_INET6, kInet);
    a.eq(AF_NETLINK, kNext, kEafnosupport).load(kArg<2>).eq(NETLINK_ROUTE, kAllow, kEafnosupport);
    a.at(kInet).load(kArg<1>).mask(~kTypeFlags).eq(SOCK_STREAM, kNext, kDatagram).load(kArg<2>);
    a.eq(IPPROTO_MPTCP, kEprotonosupport); // programs fall back to TCP
    if ((variant & 1) != 0) a.eq(0, kAllow).eq(IPPROTO_TCP, kAllow);
    a.refuse(EACCES).at(kDatagram).eq(SOCK_DGRAM, kNext, kEacces);
    if ((variant & 2) != 0) a.load(kArg<2>).eq(0, kAllow).eq(IPPROTO_UDP, kAllow);
    a.at(kEacces).refuse(EACCES);

    // ioctl(fd, request): no keystrokes pushed into a terminal, no console
    // tricks, no line discipline or exclusive mode set on an inherited one.
    a.at(kIoctl).load(kArg<1>);
    for (const std::uint32_t request : {TIOCSTI, TIOCLINUX, TIOCSETD, TIOCEXCL})
        a.eq(request, kEperm);
    a.ret(SECCOMP_RET_ALLOW);

    // setpriority(which, who, ...) and ioprio_set(which, who, ...) name the
    // calling process alone (a process group or user 0 reaches others too);
    // the others name it as pid 0.
    a.at(kPriority).load(kArg<0>).eq(PRIO_PROCESS, kWhoZero, kEperm);
    a.at(kIoPriority).load(kArg<0>).eq(IOPRIO_WHO_PROCESS, kNext, kEperm);
    a.at(kWhoZero).load(kArg<1>).eq(0, kAllow, kEperm);
    a.at(kPidZero).load(kArg<0>).eq(0, kAllow, kEperm);

    // Set-ID modes; open(path, flags, mode) and openat(dirfd, path, flags,
    // mode) only when they create a file.
    if ((variant & 4) != 0) {
        a.at(kOpen).load(kArg<1>).any(kCreating, kMode2, kAllow);
        a.at(kOpenat).load(kArg<2>).any(kCreating, kMode3, kAllow);
        a.at(kMode1).load(kArg<1>).any(kSetIdBits, kEperm, kAllow);
        a.at(kMode2).load(kArg<2>).any(kSetIdBits, kEperm, kAllow);
        a.at(kMode3).load(kArg<3>).any(kSetIdBits, kEperm, kAllow);
    }
    a.at(kAllow).ret(SECCOMP_RET_ALLOW).at(kEperm).refuse(EPERM).at(kEnosys).refuse(ENOSYS);
    a.at(kEafnosupport).refuse(EAFNOSUPPORT).at(kEprotonosupport).refuse(EPROTONOSUPPORT);
    return a.link();
}

constexpr std::array<Program, 8> kPrograms = {build(0), build(1), build(2), build(3),
                                              build(4), build(5), build(6), build(7)};

} // namespace

SyscallFilter syscall_filter_for(const profile::SandboxProfile& profile, bool tcp_rules,
                                 bool capabilities_dropped) noexcept {
    return SyscallFilter{tcp_rules || profile.proxy_port.has_value(), profile.allow_udp,
                         capabilities_dropped};
}

int install_syscall_filter(const SyscallFilter& f) noexcept {
    const Program& p = kPrograms[f.inet_stream + 2 * f.inet_datagram + 4 * f.set_id_modes_refused];
    sock_fprog prog{p.size, const_cast<sock_filter*>(p.insns.data())};
    return ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) == 0 ? 0 : errno;
}

} // namespace morvik::sandbox
