// The forwarder's system-call filter: an allow-list of exactly what relaying
// TCP connections needs, as a small hand-written classic BPF program. Every
// other call, and every call through another architecture's entry, kills the
// forwarder.
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
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "sandbox/forwarder.hpp"

namespace morvik::sandbox {
namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "the forwarder's filter knows x86-64 and arm64 only"
#endif
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "argument offsets assume little endian");

constexpr std::uint32_t kNr = offsetof(seccomp_data, nr);
constexpr std::uint32_t kArchOffset = offsetof(seccomp_data, arch);
// The low 32 bits of argument `i`.
constexpr std::uint32_t arg(unsigned i) {
    return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * i);
}

constexpr std::uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t kKill = SECCOMP_RET_KILL_PROCESS;
constexpr std::uint32_t kStreamType = SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC;

// Classic BPF with named forward jumps: each conditional jump names the
// label it goes to when the condition holds and falls through otherwise.
class Assembler {
  public:
    void label(std::string_view name) { labels_.push_back({name, code_.size()}); }
    void load(std::uint32_t offset) { emit(BPF_LD | BPF_W | BPF_ABS, offset, {}, {}); }
    void ret(std::uint32_t action) { emit(BPF_RET | BPF_K, action, {}, {}); }
    void jump_if_equal(std::uint32_t value, std::string_view to) {
        emit(BPF_JMP | BPF_JEQ | BPF_K, value, to, {});
    }
    void jump_unless_equal(std::uint32_t value, std::string_view to) {
        emit(BPF_JMP | BPF_JEQ | BPF_K, value, {}, to);
    }
    void jump_if_at_least(std::uint32_t value, std::string_view to) {
        emit(BPF_JMP | BPF_JGE | BPF_K, value, to, {});
    }
    void jump_if_any_bit(std::uint32_t mask, std::string_view to) {
        emit(BPF_JMP | BPF_JSET | BPF_K, mask, to, {});
    }

    // The program with every label resolved; aborts on a label that is
    // missing or out of a jump's reach (a fault of the program text above).
    [[nodiscard]] std::vector<sock_filter> finish() const {
        std::vector<sock_filter> out;
        out.reserve(code_.size());
        for (std::size_t i = 0; i < code_.size(); ++i) {
            const Pending& p = code_[i];
            out.push_back({p.code, offset(i, p.if_true), offset(i, p.if_false), p.k});
        }
        return out;
    }

  private:
    struct Pending {
        std::uint16_t code;
        std::uint32_t k;
        std::string_view if_true;
        std::string_view if_false;
    };
    struct Label {
        std::string_view name;
        std::size_t at;
    };

    void emit(std::uint16_t code, std::uint32_t k, std::string_view t, std::string_view f) {
        code_.push_back({code, k, t, f});
    }
    [[nodiscard]] std::uint8_t offset(std::size_t from, std::string_view name) const {
        if (name.empty()) return 0;
        for (const Label& l : labels_) {
            if (l.name != name) continue;
            if (l.at <= from || l.at - from - 1 > 255) std::abort();
            return static_cast<std::uint8_t>(l.at - from - 1);
        }
        std::abort();
    }

    std::vector<Pending> code_;
    std::vector<Label> labels_;
};

} // namespace

std::vector<sock_filter> forwarder_filter() {
    Assembler a;
    a.load(kArchOffset);
    a.jump_unless_equal(kArch, "kill");
    a.load(kNr);
#if defined(__x86_64__)
    a.jump_if_at_least(0x40000000U, "kill"); // the x32 numbering
#endif
    for (const long nr : {SYS_splice, SYS_close, SYS_ppoll, SYS_restart_syscall, SYS_accept4,
                          SYS_connect, SYS_recvmsg, SYS_shutdown, SYS_brk, SYS_munmap, SYS_mremap,
                          SYS_madvise, SYS_exit, SYS_exit_group}) {
        a.jump_if_equal(static_cast<std::uint32_t>(nr), "allow");
    }
    a.jump_if_equal(SYS_socket, "socket");
    a.jump_if_equal(SYS_pipe2, "pipe");
    a.jump_if_equal(SYS_getsockopt, "getsockopt");
    a.jump_if_equal(SYS_setsockopt, "setsockopt");
    a.jump_if_equal(SYS_mmap, "memory");
    a.jump_if_equal(SYS_mprotect, "memory");
    a.ret(kKill);

    a.label("socket");
    a.load(arg(0));
    a.jump_if_equal(AF_INET, "stream");
    a.jump_unless_equal(AF_INET6, "kill");
    a.label("stream");
    a.load(arg(1));
    a.jump_unless_equal(kStreamType, "kill");
    a.load(arg(2));
    a.jump_if_equal(0, "allow");
    a.ret(kKill);

    a.label("pipe");
    a.load(arg(1));
    a.jump_if_equal(O_NONBLOCK | O_CLOEXEC, "allow");
    a.ret(kKill);

    a.label("getsockopt");
    a.load(arg(1));
    a.jump_unless_equal(SOL_SOCKET, "kill");
    a.load(arg(2));
    a.jump_if_equal(SO_ERROR, "allow");
    a.ret(kKill);

    a.label("setsockopt");
    a.load(arg(1));
    a.jump_unless_equal(SOL_SOCKET, "kill");
    a.load(arg(2));
    a.jump_if_equal(SO_LINGER, "allow");
    a.ret(kKill);

    a.label("memory"); // mmap and mprotect: the protection is the third argument
    a.load(arg(2));
    a.jump_if_any_bit(PROT_EXEC, "kill");
    a.label("allow");
    a.ret(kAllow);
    a.label("kill");
    a.ret(kKill);
    return a.finish();
}

int install_forwarder_filter() {
    const std::vector<sock_filter> program = forwarder_filter();
    sock_fprog prog{};
    prog.len = static_cast<unsigned short>(program.size());
    prog.filter = const_cast<sock_filter*>(program.data());
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0) return errno;
    return 0;
}

} // namespace morvik::sandbox
