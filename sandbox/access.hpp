// Landlock access-right sets: filesystem (`AccessFs`), network (`AccessNet`)
// and scope (`Scope`, from level 6). 64-bit sets with the kernel's bit
// values, the names of their rights and per-level support tables.
//
// ABI levels stop at 6. Rights that later kernel versions add (ResolveUnix
// from version 9, BindUdp and ConnectSendUdp from version 10) belong to no
// level: `from_version` gates them on the version number the kernel reports.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace morvik::sandbox {

// Shared operations of the three set types. `Derived` provides kNames (the
// names of the defined bits, lowest first).
template <class Derived> class AccessSet {
  public:
    constexpr AccessSet() noexcept = default;
    constexpr explicit AccessSet(std::uint64_t bits) noexcept : bits_(bits) {}

    [[nodiscard]] constexpr std::uint64_t bits() const noexcept { return bits_; }
    [[nodiscard]] constexpr bool empty() const noexcept { return bits_ == 0; }
    [[nodiscard]] constexpr bool contains(Derived other) const noexcept {
        return (bits_ & other.bits()) == other.bits();
    }
    friend constexpr Derived operator|(Derived a, Derived b) noexcept {
        return Derived(a.bits() | b.bits());
    }
    friend constexpr Derived operator&(Derived a, Derived b) noexcept {
        return Derived(a.bits() & b.bits());
    }
    // Set difference.
    friend constexpr Derived operator-(Derived a, Derived b) noexcept {
        return Derived(a.bits() & ~b.bits());
    }
    friend constexpr bool operator==(Derived a, Derived b) noexcept { return a.bits() == b.bits(); }

  private:
    std::uint64_t bits_ = 0;
};

class AccessFs : public AccessSet<AccessFs> {
  public:
    using AccessSet::AccessSet;

    static constexpr std::array<std::string_view, 17> kNames = {
        "Execute",  "WriteFile", "ReadFile", "ReadDir",  "RemoveDir",  "RemoveFile",
        "MakeChar", "MakeDir",   "MakeReg",  "MakeSock", "MakeFifo",   "MakeBlock",
        "MakeSym",  "Refer",     "Truncate", "IoctlDev", "ResolveUnix"};

    static const AccessFs Execute, WriteFile, ReadFile, ReadDir, RemoveDir, RemoveFile, MakeChar,
        MakeDir, MakeReg, MakeSock, MakeFifo, MakeBlock, MakeSym, Refer, Truncate, IoctlDev,
        ResolveUnix;

    // The rights a rule on a non-directory can carry (0x1C007: ResolveUnix
    // applies to the socket file itself).
    static const AccessFs kFileRights;

    // Every filesystem right of ABI level `level` (0 to 6; above 6 as 6).
    [[nodiscard]] static constexpr AccessFs from_all(std::uint8_t level) noexcept {
        switch (level) {
        case 0:
            return AccessFs(0);
        case 1:
            return AccessFs(0x1FFF);
        case 2:
            return AccessFs(0x3FFF);
        case 3:
        case 4:
            return AccessFs(0x7FFF);
        default:
            return AccessFs(0xFFFF);
        }
    }

    // Every filesystem right a kernel reporting version `version` supports:
    // those of its level (the version capped at 6), and ResolveUnix from 9.
    [[nodiscard]] static constexpr AccessFs from_version(std::int64_t version) noexcept {
        if (version <= 0) return AccessFs(0);
        const auto level = static_cast<std::uint8_t>(version < 6 ? version : 6);
        return AccessFs(from_all(level).bits() | (version >= 9 ? 1ULL << 16 : 0));
    }
};

inline constexpr AccessFs AccessFs::Execute{1ULL << 0};
inline constexpr AccessFs AccessFs::WriteFile{1ULL << 1};
inline constexpr AccessFs AccessFs::ReadFile{1ULL << 2};
inline constexpr AccessFs AccessFs::ReadDir{1ULL << 3};
inline constexpr AccessFs AccessFs::RemoveDir{1ULL << 4};
inline constexpr AccessFs AccessFs::RemoveFile{1ULL << 5};
inline constexpr AccessFs AccessFs::MakeChar{1ULL << 6};
inline constexpr AccessFs AccessFs::MakeDir{1ULL << 7};
inline constexpr AccessFs AccessFs::MakeReg{1ULL << 8};
inline constexpr AccessFs AccessFs::MakeSock{1ULL << 9};
inline constexpr AccessFs AccessFs::MakeFifo{1ULL << 10};
inline constexpr AccessFs AccessFs::MakeBlock{1ULL << 11};
inline constexpr AccessFs AccessFs::MakeSym{1ULL << 12};
inline constexpr AccessFs AccessFs::Refer{1ULL << 13};
inline constexpr AccessFs AccessFs::Truncate{1ULL << 14};
inline constexpr AccessFs AccessFs::IoctlDev{1ULL << 15};
inline constexpr AccessFs AccessFs::ResolveUnix{1ULL << 16};
inline constexpr AccessFs AccessFs::kFileRights{0x1C007};

class AccessNet : public AccessSet<AccessNet> {
  public:
    using AccessSet::AccessSet;

    static constexpr std::array<std::string_view, 4> kNames = {"BindTcp", "ConnectTcp", "BindUdp",
                                                               "ConnectSendUdp"};

    static const AccessNet BindTcp, ConnectTcp, BindUdp, ConnectSendUdp;

    // The network rights supported at ABI level `level`: the TCP pair from
    // level 4.
    [[nodiscard]] static constexpr AccessNet from_all(std::uint8_t level) noexcept {
        return AccessNet(level >= 4 ? 0x3 : 0x0);
    }

    // The network rights a kernel reporting version `version` supports: those
    // of its level, and the UDP pair from 10.
    [[nodiscard]] static constexpr AccessNet from_version(std::int64_t version) noexcept {
        if (version <= 0) return AccessNet(0);
        const auto level = static_cast<std::uint8_t>(version < 6 ? version : 6);
        return AccessNet(from_all(level).bits() | (version >= 10 ? 0xCULL : 0));
    }
};

inline constexpr AccessNet AccessNet::BindTcp{1ULL << 0};
inline constexpr AccessNet AccessNet::ConnectTcp{1ULL << 1};
inline constexpr AccessNet AccessNet::BindUdp{1ULL << 2};
inline constexpr AccessNet AccessNet::ConnectSendUdp{1ULL << 3};

// Scope rights of ABI level 6: the command may connect to abstract unix
// sockets and send signals only within its own confinement.
class Scope : public AccessSet<Scope> {
  public:
    using AccessSet::AccessSet;

    static constexpr std::array<std::string_view, 2> kNames = {"AbstractUnixSocket", "Signal"};

    static const Scope AbstractUnixSocket, Signal;

    [[nodiscard]] static constexpr Scope from_all(std::uint8_t level) noexcept {
        return Scope(level >= 6 ? 0x3 : 0x0);
    }

    // No version after the last level adds a scope.
    [[nodiscard]] static constexpr Scope from_version(std::int64_t version) noexcept {
        return from_all(version >= 6 ? 6 : 0);
    }
};

inline constexpr Scope Scope::AbstractUnixSocket{1ULL << 0};
inline constexpr Scope Scope::Signal{1ULL << 1};

} // namespace morvik::sandbox
