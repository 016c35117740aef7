// syscall-filter-gen: builds the launcher's system-call filter with
// libseccomp, at build time, and writes it as C++ initializers, so that the
// launcher needs nothing but libc at run time and spends nothing on building
// the filter at launch.
//   syscall-filter-gen ARCH OUTPUT
// ARCH is a libseccomp architecture name (x86_64, aarch64, ...): the filter
// admits that architecture alone, so calls through another entry (i386's
// `int 0x80`, x32 on x86-64) fail with ENOSYS.
//
// The rules, each comparing only the low 32 bits of an argument (the kernel
// reads these arguments as 32-bit values, so high bits cannot slip past):
//   socket(domain, type, protocol), with SOCK_NONBLOCK and SOCK_CLOEXEC
//   masked out of type:
//     AF_UNIX: allowed;
//     AF_NETLINK: protocol NETLINK_ROUTE allowed, others EAFNOSUPPORT;
//     AF_INET, AF_INET6: SOCK_STREAM with protocol 0 or IPPROTO_TCP allowed
//       when the variant allows inet streams, else EACCES; SOCK_STREAM with
//       IPPROTO_MPTCP EPROTONOSUPPORT (programs fall back to TCP);
//       SOCK_DGRAM with protocol 0 or IPPROTO_UDP allowed when the variant
//       allows datagrams, else EACCES; every other type or protocol EACCES;
//     every other family: EAFNOSUPPORT;
//   ioctl(fd, TIOCSTI or TIOCLINUX): EPERM (no keystrokes pushed into a
//     terminal's input, no console tricks);
//   socketpair(domain, type, protocol): the same rules as socket(), so the
//     creation code of a refused family stays out of reach;
//   io_uring_setup: ENOSYS (a ring can create sockets without socket()).
// The variant for a launcher that ran privileged (uid 0, whose files the
// command still owns after the capability drop) also refuses, with EPERM,
// every mode with S_ISUID or S_ISGID (mode & 06000) given to
//   chmod, fchmod, fchmodat, fchmodat2,
//   open and openat with O_CREAT or O_TMPFILE in the flags, creat, mknod,
//   mknodat,
// so the command cannot plant a set-user-ID-root program; openat2 fails with
// ENOSYS (its mode lives in memory the filter cannot read; the C library
// falls back to openat). System calls the target architecture lacks (chmod,
// open, creat, mknod on aarch64) are skipped.
// Everything else is allowed.
//
// libseccomp cannot add an "allow" exception under a default-allow filter,
// nor compare one argument twice in a rule, so each refusal is spelled as
// disjoint rules: the complement of the allowed values of an argument is a
// set of masked-equality patterns (one per branch of the binary tree of
// 32-bit values that holds no allowed value).
#include <fcntl.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kLow32 = 0xFFFFFFFFU;
constexpr std::uint32_t kTypeFlags = SOCK_NONBLOCK | SOCK_CLOEXEC;
constexpr std::uint32_t kNetlinkRoute = 0;
constexpr std::uint32_t kIpProtoMptcp = 262;
// O_TMPFILE without O_DIRECTORY, whose value differs between architectures;
// this bit and O_CREAT have the same value on all of them.
constexpr std::uint32_t kTmpFileBit = 020000000;
static_assert((O_TMPFILE & kTmpFileBit) != 0 && O_CREAT == 0100);

struct Pattern {
    std::uint32_t mask;
    std::uint32_t value;
};

// A mode with S_ISUID, or S_ISGID without S_ISUID: disjoint patterns.
constexpr Pattern kSetIdModes[] = {{S_ISUID, S_ISUID}, {S_ISUID | S_ISGID, S_ISGID}};
// Flags with O_CREAT, or O_TMPFILE without O_CREAT.
constexpr Pattern kCreatingFlags[] = {{O_CREAT, O_CREAT}, {O_CREAT | kTmpFileBit, kTmpFileBit}};

// Patterns matching every 32-bit value whose bits outside `ignored` differ
// from each of `allowed`.
void complement(const std::vector<std::uint32_t>& allowed, std::uint32_t ignored, int bit,
                Pattern prefix, std::vector<Pattern>& out) {
    std::vector<std::uint32_t> inside;
    for (const std::uint32_t a : allowed)
        if ((a & prefix.mask) == prefix.value) inside.push_back(a);
    if (inside.empty()) {
        out.push_back(prefix);
        return;
    }
    while (bit >= 0 && ((ignored >> bit) & 1U) != 0)
        --bit;
    if (bit < 0) return; // the allowed value itself
    const std::uint32_t b = 1U << bit;
    complement(inside, ignored, bit - 1, {prefix.mask | b, prefix.value}, out);
    complement(inside, ignored, bit - 1, {prefix.mask | b, prefix.value | b}, out);
}

std::vector<Pattern> other_than(std::vector<std::uint32_t> allowed, std::uint32_t ignored = 0) {
    std::vector<Pattern> out;
    complement(allowed, ignored, 31, {0, 0}, out);
    return out;
}

scmp_arg_cmp is(unsigned arg, std::uint32_t value, std::uint32_t mask = kLow32) {
    return SCMP_CMP(arg, SCMP_CMP_MASKED_EQ, mask, value & mask);
}
scmp_arg_cmp matches(unsigned arg, Pattern p) {
    return SCMP_CMP(arg, SCMP_CMP_MASKED_EQ, p.mask, p.value);
}

class Builder {
  public:
    Builder(scmp_filter_ctx ctx, std::uint32_t arch) : ctx_(ctx), arch_(arch) {}

    // The number of system call `name` for rule(), or a negative number when
    // the target architecture has no such call.
    [[nodiscard]] int syscall(const char* name) const {
        if (seccomp_syscall_resolve_name_arch(arch_, name) < 0) return -1;
        // The build machine's number (or libseccomp's pseudo-number for a
        // call it lacks), which libseccomp translates for the target.
        return seccomp_syscall_resolve_name(name);
    }

    void rule(std::uint32_t action, int syscall, std::vector<scmp_arg_cmp> args) {
        if (failed_ != 0) return;
        failed_ = seccomp_rule_add_exact_array(ctx_, action, syscall,
                                               static_cast<unsigned>(args.size()), args.data());
    }
    [[nodiscard]] int failed() const { return failed_; }

  private:
    scmp_filter_ctx ctx_;
    std::uint32_t arch_;
    int failed_ = 0;
};

std::uint32_t refuse(int error) {
    return SCMP_ACT_ERRNO(static_cast<std::uint32_t>(error));
}

// The family, type and protocol rules of socket() and socketpair(), whose
// first three arguments are the same.
void add_socket_rules(Builder& b, int socket_nr, bool inet_stream, bool inet_datagram) {

    for (const Pattern p : other_than({AF_UNIX, AF_INET, AF_INET6, AF_NETLINK}))
        b.rule(refuse(EAFNOSUPPORT), socket_nr, {matches(0, p)});
    for (const Pattern p : other_than({kNetlinkRoute}))
        b.rule(refuse(EAFNOSUPPORT), socket_nr, {is(0, AF_NETLINK), matches(2, p)});

    for (const std::uint32_t family : {AF_INET, AF_INET6}) {
        const auto type = [](std::uint32_t t) { return is(1, t, ~kTypeFlags); };
        for (const Pattern p : other_than({SOCK_STREAM, SOCK_DGRAM}, kTypeFlags))
            b.rule(refuse(EACCES), socket_nr, {is(0, family), matches(1, p)});
        b.rule(refuse(EPROTONOSUPPORT), socket_nr,
               {is(0, family), type(SOCK_STREAM), is(2, kIpProtoMptcp)});
        const std::vector<std::uint32_t> stream_allowed =
            inet_stream ? std::vector<std::uint32_t>{0, IPPROTO_TCP, kIpProtoMptcp}
                        : std::vector<std::uint32_t>{kIpProtoMptcp};
        for (const Pattern p : other_than(stream_allowed))
            b.rule(refuse(EACCES), socket_nr, {is(0, family), type(SOCK_STREAM), matches(2, p)});
        const std::vector<std::uint32_t> datagram_allowed =
            inet_datagram ? std::vector<std::uint32_t>{0, IPPROTO_UDP}
                          : std::vector<std::uint32_t>{};
        if (datagram_allowed.empty()) {
            b.rule(refuse(EACCES), socket_nr, {is(0, family), type(SOCK_DGRAM)});
        } else {
            for (const Pattern p : other_than(datagram_allowed))
                b.rule(refuse(EACCES), socket_nr, {is(0, family), type(SOCK_DGRAM), matches(2, p)});
        }
    }
}

// Refuses a set-user-ID or set-group-ID mode in argument `mode_arg` of
// `name`; with `flags_arg`, only when those flags create a file.
void refuse_set_id_mode(Builder& b, const char* name, unsigned mode_arg, int flags_arg = -1) {
    const int nr = b.syscall(name);
    if (nr < 0) return;
    for (const Pattern mode : kSetIdModes) {
        if (flags_arg < 0) {
            b.rule(refuse(EPERM), nr, {matches(mode_arg, mode)});
            continue;
        }
        for (const Pattern flags : kCreatingFlags)
            b.rule(refuse(EPERM), nr,
                   {matches(static_cast<unsigned>(flags_arg), flags), matches(mode_arg, mode)});
    }
}

void add_rules(Builder& b, bool inet_stream, bool inet_datagram, bool privileged) {
    add_socket_rules(b, SCMP_SYS(socket), inet_stream, inet_datagram);
    add_socket_rules(b, SCMP_SYS(socketpair), inet_stream, inet_datagram);
    for (const std::uint32_t request : {TIOCSTI, TIOCLINUX})
        b.rule(refuse(EPERM), SCMP_SYS(ioctl), {is(1, request)});
    b.rule(refuse(ENOSYS), SCMP_SYS(io_uring_setup), {});
    if (!privileged) return;
    refuse_set_id_mode(b, "chmod", 1);
    refuse_set_id_mode(b, "fchmod", 1);
    refuse_set_id_mode(b, "fchmodat", 2);
    refuse_set_id_mode(b, "fchmodat2", 2);
    refuse_set_id_mode(b, "open", 2, 1);
    refuse_set_id_mode(b, "openat", 3, 2);
    refuse_set_id_mode(b, "creat", 1);
    refuse_set_id_mode(b, "mknod", 1);
    refuse_set_id_mode(b, "mknodat", 2);
    if (const int nr = b.syscall("openat2"); nr >= 0) b.rule(refuse(ENOSYS), nr, {});
}

// The filter program of one variant, or an empty vector after printing why.
std::vector<sock_filter> build(std::uint32_t arch, bool inet_stream, bool inet_datagram,
                               bool privileged) {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    if (ctx == nullptr) return {};
    std::vector<sock_filter> program;
    int rc = seccomp_attr_set(ctx, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ERRNO(ENOSYS));
    // The native architecture is in a new filter; keep only the target.
    if (rc == 0 && arch != seccomp_arch_native()) {
        rc = seccomp_arch_add(ctx, arch);
        if (rc == 0) rc = seccomp_arch_remove(ctx, SCMP_ARCH_NATIVE);
    }
    Builder builder(ctx, arch);
    if (rc == 0) {
        add_rules(builder, inet_stream, inet_datagram, privileged);
        rc = builder.failed();
    }
    std::FILE* tmp = rc == 0 ? std::tmpfile() : nullptr;
    if (tmp != nullptr && seccomp_export_bpf(ctx, fileno(tmp)) == 0) {
        std::rewind(tmp);
        sock_filter insn;
        while (std::fread(&insn, sizeof insn, 1, tmp) == 1)
            program.push_back(insn);
    } else if (rc == 0) {
        rc = -EIO;
    }
    if (tmp != nullptr) std::fclose(tmp);
    seccomp_release(ctx);
    if (rc != 0) {
        std::fprintf(stderr, "syscall-filter-gen: libseccomp failed: %s\n", std::strerror(-rc));
        return {};
    }
    return program;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: syscall-filter-gen ARCH OUTPUT\n");
        return 2;
    }
    const std::uint32_t arch = seccomp_arch_resolve_name(argv[1]);
    if (arch == 0) {
        std::fprintf(stderr, "syscall-filter-gen: unknown architecture %s\n", argv[1]);
        return 1;
    }
    // The program is written as numbers, read back in the build machine's
    // byte order: the target must share it (x86-64 and aarch64 both are
    // little-endian).
    // C and C++ alike (the launch benchmark's C reference installs the same
    // programs); needs <linux/filter.h> and <stddef.h>.
    std::string text = "/* Generated by syscall-filter-gen for " + std::string(argv[1]) +
                       "; do not edit. */\n"
                       "struct FilterProgram {\n"
                       "    const struct sock_filter* insns;\n"
                       "    size_t size;\n"
                       "};\n";
    std::string table = "static const struct FilterProgram kPrograms[] = {\n";
    // Variant bits: 1 inet streams allowed, 2 inet datagrams allowed, 4 the
    // launcher ran privileged.
    for (int variant = 0; variant < 8; ++variant) {
        const std::vector<sock_filter> program =
            build(arch, (variant & 1) != 0, (variant & 2) != 0, (variant & 4) != 0);
        if (program.empty()) return 1;
        const std::string name = "kProgram" + std::to_string(variant);
        text += "static const struct sock_filter " + name + "[] = {\n";
        char line[64];
        for (const sock_filter& i : program) {
            std::snprintf(line, sizeof line, "    {0x%x, %u, %u, 0x%x},\n", i.code, i.jt, i.jf,
                          i.k);
            text += line;
        }
        text += "};\n";
        table += "    {" + name + ", sizeof " + name + " / sizeof " + name + "[0]},\n";
    }
    text += table + "};\n";
    std::FILE* out = std::fopen(argv[2], "w");
    if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "syscall-filter-gen: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
