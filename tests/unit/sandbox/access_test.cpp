#include <gtest/gtest.h>

#include "sandbox/access.hpp"
#include "sandbox/errors.hpp"
#include "sandbox/ruleset.hpp"

namespace morvik::sandbox {
namespace {

TEST(AccessFs, FromAllPerLevel) {
    const std::uint64_t fs[] = {0x0, 0x1FFF, 0x3FFF, 0x7FFF, 0x7FFF, 0xFFFF, 0xFFFF};
    const std::uint64_t net[] = {0, 0, 0, 0, 0x3, 0x3, 0x3};
    for (std::uint8_t level = 0; level <= 6; ++level) {
        SCOPED_TRACE(int(level));
        EXPECT_EQ(AccessFs::from_all(level).bits(), fs[level]);
        EXPECT_EQ(AccessNet::from_all(level).bits(), net[level]);
    }
}

TEST(AccessFs, Rendering) {
    EXPECT_EQ((AccessFs::WriteFile | AccessFs::MakeReg).to_string(),
              "BitFlags<AccessFs>(0b100000010, WriteFile | MakeReg)");
    EXPECT_EQ(AccessFs().to_string(), "BitFlags<AccessFs>(0b0)");
    EXPECT_EQ(AccessFs(0xFFFF).to_string(),
              "BitFlags<AccessFs>(0b1111111111111111, Execute | WriteFile | ReadFile | ReadDir | "
              "RemoveDir | RemoveFile | MakeChar | MakeDir | MakeReg | MakeSock | MakeFifo | "
              "MakeBlock | MakeSym | Refer | Truncate | IoctlDev)");
    EXPECT_EQ(AccessFs(0x20001).to_string(), "BitFlags<AccessFs>(0b100000000000000001, Execute)");
    EXPECT_EQ((AccessNet::BindTcp | AccessNet::ConnectTcp).to_string(),
              "BitFlags<AccessNet>(0b11, BindTcp | ConnectTcp)");
    EXPECT_EQ(AccessNet().to_string(), "BitFlags<AccessNet>(0b0)");
    EXPECT_EQ((AccessFs::ReadFile | AccessFs::ResolveUnix).to_string(),
              "BitFlags<AccessFs>(0b10000000000000100, ReadFile | ResolveUnix)");
    EXPECT_EQ(AccessNet(0xF).to_string(),
              "BitFlags<AccessNet>(0b1111, BindTcp | ConnectTcp | BindUdp | ConnectSendUdp)");
    EXPECT_EQ(AccessNet(0x14).to_string(), "BitFlags<AccessNet>(0b10100, BindUdp)");
}

TEST(SupportState, MergeTable) {
    using S = SupportState;
    using O = CompatOutcome;
    struct Row {
        S from, full, partial, unsupported;
    };
    const Row rows[] = {
        {S::Unset, S::Full, S::Partial, S::Unsupported},
        {S::Full, S::Full, S::Partial, S::Partial},
        {S::Partial, S::Partial, S::Partial, S::Partial},
        {S::Unsupported, S::Partial, S::Partial, S::Unsupported},
        {S::Inert, S::Inert, S::Inert, S::Inert},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(to_string(r.from));
        EXPECT_EQ(merge(r.from, O::Full), r.full);
        EXPECT_EQ(merge(r.from, O::Partial), r.partial);
        EXPECT_EQ(merge(r.from, O::Unsupported), r.unsupported);
    }
}

TEST(Errors, PathFdErrorReplacesInvalidUtf8) {
    const PathFdError e{OsError{2}, std::string("/a\xFF") + "b"};
    EXPECT_EQ(e.to_string(), "failed to open \"/a\xEF\xBF\xBD"
                             "b\": No such file or directory (os error 2)");
}

} // namespace
} // namespace morvik::sandbox
