#include <gtest/gtest.h>

#include "sandbox/access.hpp"

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

} // namespace
} // namespace morvik::sandbox
