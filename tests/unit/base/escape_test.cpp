#include <gtest/gtest.h>

#include <string>

#include "base/escape.hpp"

namespace morvik {
namespace {

TEST(EscapeName, OneLineAndRecoverable) {
    const std::pair<std::string, std::string> cases[] = {
        {"/home/u/proj", "/home/u/proj"},
        {"", ""},
        {"a\\b", "a\\\\b"},
        {"x\nWarning: forged", "x\\nWarning: forged"},
        {"tab\there", "tab\\there"},
        {"cr\r", "cr\\x0d"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"esc\x1b[31m", "esc\\x1b[31m"},
        {"del\x7f", "del\\x7f"},
        {"nel\xc2\x85", "nel\\xc2\\x85"}, // C1 (U+0085)
        {"nbsp\xc2\xa0", "nbsp\xc2\xa0"}, // first character after C1 kept
        {"caf\xc3\xa9 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xf0\x9f\x98\x80"},
        {"bad\xff\xfe", "bad\\xff\\xfe"},
        {"cut\xe2\x82", "cut\\xe2\\x82"}, // truncated sequence
        {"overlong\xc0\xaf", "overlong\\xc0\\xaf"},
        {"surrogate\xed\xa0\x80", "surrogate\\xed\\xa0\\x80"},
    };
    for (const auto& [in, want] : cases) {
        EXPECT_EQ(escape_name(in), want) << in;
        EXPECT_EQ(escape_name(in).find('\n'), std::string::npos);
    }
}

TEST(AppendJsonString, ValidJsonForAnyBytes) {
    std::string out;
    append_json_string(out, std::string("q\"\\\n\t\0\x1b\xc3\xa9\xff", 10));
    EXPECT_EQ(out, "\"q\\\"\\\\\\n\\t\\u0000\\u001b\xc3\xa9\xef\xbf\xbd\"");
}

} // namespace
} // namespace morvik
