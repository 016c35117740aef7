#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/os_error.hpp"
#include "base/unique_fd.hpp"
#include "base/utf8.hpp"

#include <fcntl.h>

namespace morvik {
namespace {

struct Utf8Case {
    const char* name;
    std::string input;
    bool valid;
    std::string lossy;
};

TEST(Utf8, ValidationAndReplacement) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<Utf8Case> cases = {
        {"empty", "", true, ""},
        {"ascii longer than a word", "abcdefghijklmnopq", true, "abcdefghijklmnopq"},
        {"two-byte", "caf\xc3\xa9", true, "caf\xc3\xa9"},
        {"four-byte", "\xf0\x9f\x98\x80", true, "\xf0\x9f\x98\x80"},
        {"max code point", "\xf4\x8f\xbf\xbf", true, "\xf4\x8f\xbf\xbf"},
        {"lone continuation", "a\x80z", false, "a" + fffd + "z"},
        {"overlong two-byte", "\xc0\xaf", false, fffd + fffd},
        {"overlong three-byte", "\xe0\x80\xaf", false, fffd + fffd + fffd},
        {"surrogate", "\xed\xa0\x80", false, fffd + fffd + fffd},
        {"above U+10FFFF", "\xf4\x90\x80\x80", false, fffd + fffd + fffd + fffd},
        {"truncated at end", "ab\xe2\x82", false, "ab" + fffd},
        {"truncated then ascii after 8 bytes", "12345678\xe2(", false, "12345678" + fffd + "("},
        {"0xff", "\xff", false, fffd},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_valid_utf8(c.input), c.valid);
        std::string out;
        append_utf8_lossy(out, c.input);
        EXPECT_EQ(out, c.lossy);
    }
}

TEST(OsErrorText, DescriptionAndNumber) {
    EXPECT_EQ(OsError{2}.to_string(), "No such file or directory (os error 2)");
    EXPECT_EQ(OsError{21}.to_string(), "Is a directory (os error 21)");
    EXPECT_EQ(errno_description(-5), "Unknown error -5");
}

TEST(UniqueFdTest, ClosesOnceAndMovesOwnership) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[1]);
    {
        UniqueFd a(fds[0]);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a.valid());
        EXPECT_EQ(b.get(), fds[0]);
    }
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
}

TEST(UniqueFdTest, ClosesThroughItsCloserOnceAfterMoves) {
    struct Recorder : FdCloser {
        std::vector<int> closed;
        int close(int fd) override {
            closed.push_back(fd);
            return 0;
        }
    } recorder;
    {
        UniqueFd a(recorder, 7);
        UniqueFd b;
        b = std::move(a);
        b.reset(8);
    }
    EXPECT_EQ(recorder.closed, (std::vector<int>{7, 8}));
}

} // namespace
} // namespace morvik
