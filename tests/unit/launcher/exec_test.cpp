#include "launcher/exec.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvik::exec {
namespace {

using namespace std::string_view_literals;

TEST(Exec, ZeroBytesAreRefusedBeforeThePlatformIsCalled) {
    struct Case {
        const char* name;
        std::string_view program;
        std::vector<std::string_view> args;
        std::size_t position;
        std::string_view argument;
    };
    const std::vector<Case> cases = {
        {"program", "abc\0def"sv, {"ok"}, 3, "abc\0def"sv},
        {"program wins over arguments", "\0"sv, {"x\0"sv}, 0, "\0"sv},
        {"first bad argument", "prog", {"prog", "ab\0"sv, "\0"sv}, 2, "ab\0"sv},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Error e = execvp(c.program, c.args);
        ASSERT_EQ(e.kind(), Error::Kind::BadArgument);
        EXPECT_EQ(e.position(), c.position);
        EXPECT_EQ(e.argument(), c.argument);
        EXPECT_EQ(e.to_string(),
                  "bad argument to exec: nul byte found in provided data at position: " +
                      std::to_string(c.position));
    }
}

TEST(Exec, PlatformFailureCarriesErrno) {
    const std::vector<std::string_view> args = {"/nonexistent/morvik-prog"};
    const Error e = execvp(args[0], args);
    ASSERT_EQ(e.kind(), Error::Kind::Errno);
    EXPECT_EQ(e.errno_value().value, ENOENT);
    EXPECT_EQ(e.to_string(), "couldn't exec process: No such file or directory");
}

TEST(Exec, ErrnoTextHasNoNumber) {
    EXPECT_EQ(Errno{EACCES}.to_string(), "Permission denied");
    EXPECT_EQ(Errno{123456}.to_string(), "Unknown error 123456");
}

} // namespace
} // namespace morvik::exec
