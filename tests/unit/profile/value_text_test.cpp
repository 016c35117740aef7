// How string values are quoted inside "invalid type" messages: escapes for
// the characters that would garble a one-line message, everything printable
// kept as it is, and bytes that are not UTF-8 (only from direct callers)
// replaced.
#include "profile/value_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace morvik::profile::detail {
namespace {

TEST(QuoteString, Table) {
    struct Case {
        const char* name;
        std::string input;
        std::string expected;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<Case> cases = {
        {"plain", "abc", R"("abc")"},
        {"quote and backslash", R"(a"b\c)", R"("a\"b\\c")"},
        {"named controls", std::string("\t\n\r\0", 4), R"("\t\n\r\0")"},
        {"other C0 control and DEL", "\x01\x7f", R"("\u{1}\u{7f}")"},
        {"C1 control", "\xc2\x85", R"("\u{85}")"},
        {"soft hyphen and byte-order mark", "\xc2\xad\xef\xbb\xbf", R"("\u{ad}\u{feff}")"},
        {"line separator", "\xe2\x80\xa8", R"("\u{2028}")"},
        {"printable two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"invalid lead byte", "a\xffz", "\"a" + fffd + "z\""},
        {"truncated sequence", "\xe2\x82", "\"" + fffd + "\""},
        {"surrogate encoded in UTF-8", "\xed\xa0\x80", "\"" + fffd + fffd + fffd + "\""},
        {"overlong", "\xc0\xaf", "\"" + fffd + fffd + "\""},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\"" + fffd + fffd + fffd + fffd + "\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(quote_string(c.input), c.expected);
    }
}

TEST(DescribeString, PrefixesTheQuotedText) {
    EXPECT_EQ(describe_string("8080"), R"(string "8080")");
}

} // namespace
} // namespace morvik::profile::detail
