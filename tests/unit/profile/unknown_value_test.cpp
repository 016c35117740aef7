// The fast acceptance path for unknown-key values against the exact checker.
// Every case is placed at each offset across 64-byte block boundaries, and
// cut off at every length, because the fast path works on 64-byte blocks and
// carries escape, string and scalar state from one block to the next.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "profile/unknown_value.hpp"

namespace morvik::profile {
namespace {

using detail::AcceptFn;
using detail::fast_path;
using detail::check_unknown_value;

struct Case {
    const char* name;
    std::string element;  // one array element
    bool valid;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// The fast path's answer for `text` (end offset, or -1 when it declines) is
// `expected`; nothing to check on a CPU without the fast path.
void expect_fast_end(const std::string& text, long expected) {
    const AcceptFn accept = fast_path();
    if (accept == nullptr) return;
    const unsigned char* end = accept(bytes(text), bytes(text) + text.size());
    EXPECT_EQ(end == nullptr ? -1 : end - bytes(text), expected);
}

std::string long_escaped_string() {
    std::string s = "\"";
    for (int i = 0; i < 40; ++i) s += i % 3 == 0 ? "ab\\\"" : i % 3 == 1 ? "\\\\c" : "\\u00e9";
    return s + "\"";
}

// Concatenation by appending (g++ 12 warns falsely on some chains of `+`).
template <class... Parts>
std::string cat(const Parts&... parts) {
    std::string out;
    (out.append(parts), ...);
    return out;
}

std::string nested(int depth) { return std::string(static_cast<std::size_t>(depth), '[') + std::string(static_cast<std::size_t>(depth), ']'); }

const std::vector<Case> kCases = {
    // strings and escapes
    {"Empty", R"("")", true},
    {"EscapedQuote", R"("a\"b")", true},
    {"TwoBackslashes", R"("\\")", true},
    {"ThreeBackslashesQuote", R"("\\\"")", true},
    {"FourBackslashes", R"("\\\\")", true},
    {"FiveBackslashesQuote", R"("x\\\\\"y")", true},
    {"AllShortEscapes", R"("\"\\\/\b\f\n\r\t")", true},
    {"UnicodeEscapes", R"("\u00e9\uABCD\uDC00\ud83d")", true},
    {"RawUtf8AndDel", "\"\xC3\xA9\x7F\xFF\"", true},
    {"StructuralInString", R"("{[,:]}")", true},
    {"LongEscapedString", long_escaped_string(), true},
    {"ControlInString", "\"a\x01z\"", false},
    {"TabInString", "\"a\tb\"", false},
    {"NulInString", std::string("\"a\0b\"", 5), false},
    {"BadEscape", R"("\q")", false},
    {"EscapedControl", "\"\\\x01\"", false},
    {"HexTooShort", R"("\u12")", false},
    {"HexNotHex", R"("\u12G4")", false},
    {"HexWithQuote", R"("\u1"34")", false},
    {"HexWithBackslash", R"("\u1\34")", false},
    {"Unterminated", R"("abc)", false},
    {"BackslashOutsideString", R"(\"a")", false},
    // numbers
    {"Zero", "0", true},
    {"MinusZero", "-0", true},
    {"Fraction", "-0.0e+0", true},
    {"Exponents", "[1e5,1E-5,2e+10,3.25E7]", true},
    {"LongInteger", "123456789012345678901234567890", true},
    // a `.` and an exponent letter 63 bytes apart: at some offset they are
    // the first and last byte of one block
    {"DotAndExponentOneBlockApart", cat("0.5,", std::string(60, '1'), "e5"), true},
    {"ExponentThenDotOneBlockApart", cat("1e5,", std::string(60, '1'), ".5"), true},
    // digits between a number's `.` and exponent that run across a block
    {"DotThenExponentFarApart", cat("1.", std::string(70, '2'), "e-5"), true},
    {"TwoDotsFarApart", cat("1.", std::string(70, '2'), ".5"), false},
    {"ExponentThenDotFarApart", cat("1e+", std::string(70, '2'), ".5"), false},
    {"TwoExponentsFarApart", cat("1E", std::string(70, '2'), "e5"), false},
    {"LongFraction", "1.0000000000000000000000000001e-0000000000000000005", true},
    {"FifteenDigits", "[123456789012345,1234567890123456,12345678901234567]", true},
    {"LeadingZero", "01", false},
    {"MinusLeadingZero", "-01", false},
    {"DotWithoutDigits", "1.", false},
    {"DotFirst", ".5", false},
    {"ExponentWithoutDigits", "1e", false},
    {"ExponentSignOnly", "1e+", false},
    {"MinusOnly", "-", false},
    {"DoubleMinus", "--1", false},
    {"Plus", "+1", false},
    {"TwoDots", "1.2.3", false},
    {"TwoExponents", "1e2e3", false},
    {"DotAfterExponent", "1e2.3", false},
    {"MinusInside", "1-2", false},
    {"LetterAfterNumber", "12a", false},
    {"CapitalExponentSign", "[1E+0,0e00,-0.0E-0]", true},
    {"SignAfterDot", "1.-1", false},
    {"DotAfterMinus", "-.5", false},
    {"ExponentAfterMinus", "-e5", false},
    {"LongNumberThenLetter", "1234567890123456789x", false},
    // literals
    {"Literals", "[true,false,null]", true},
    {"Truncated", "tru", false},
    {"TooLong", "truex", false},
    {"Capital", "True", false},
    {"CapitalLast", "truE", false},
    {"NullThenE", "nulle", false},
    {"FalseThenE", "falsee", false},
    {"TrueThenDigit", "true1", false},
    {"TwoLiterals", "truefalse", false},
    {"OtherWord", "yes", false},
    {"NullThenDigit", "null1", false},
    {"ControlOutsideString", "\x01", false},
    {"NonAsciiOutsideString", "\xC3\xA9", false},
    // structure
    {"Containers", R"({"a":{"b":[1,{"c":null},[]]},"":{}})", true},
    {"Spaced", " { \"a\" : [ 1 , 2 ] ,\n\t\"b\"\r: { } } ", true},
    {"Nested500", nested(500), true},
    {"TrailingCommaArray", "[1,]", false},
    {"TrailingCommaObject", R"({"a":1,})", false},
    {"KeyWithoutValue", R"({"a"})", false},
    {"MissingValue", R"({"a":})", false},
    {"MissingColon", R"({"a" 1})", false},
    {"NumberKey", "{1:2}", false},
    {"MissingComma", "[1 2]", false},
    {"StringsWithoutComma", R"(["a""b"])", false},
    {"ColonInArray", R"(["a":1])", false},
    {"MismatchedArray", "[}", false},
    {"MismatchedObject", R"({"a":1])", false},
    {"LeadingComma", "[,1]", false},
    {"TwoValues", R"({"a":1 "b":2})", false},
    {"Unclosed", "[[1]", false},
};

class UnknownValue : public testing::TestWithParam<Case> {};

// Placed after `pad` spaces inside an array, so that the element's bytes
// fall on every position relative to the 64-byte blocks.
TEST_P(UnknownValue, FastPathAgreesWithExactCheckerAtEveryOffset) {
    const Case& c = GetParam();
    for (std::size_t pad = 0; pad < 140; ++pad) {
        const std::string value = cat("[", std::string(pad, ' '), c.element, "]");
        const std::string text = cat(value, " trailing \"\x01\\q");  // never looked at
        SCOPED_TRACE(pad);
        const auto exact = check_unknown_value(text, 0, false);
        EXPECT_EQ(check_unknown_value(text, 0, true), exact);
        EXPECT_EQ(exact.ok, c.valid) << exact.message;
        if (c.valid) {
            EXPECT_EQ(exact.offset, value.size());
            expect_fast_end(text, static_cast<long>(value.size()));
        } else {
            expect_fast_end(text, -1);
        }
    }
}

// The text ends at every byte of the value: never accepted, and the error is
// the exact checker's.
TEST_P(UnknownValue, CutOffAtEveryLength) {
    const Case& c = GetParam();
    const std::string value = cat("[", std::string(61, ' '), c.element, "]");
    for (std::size_t n = 1; n < value.size(); ++n) {
        const std::string text = value.substr(0, n);
        SCOPED_TRACE(n);
        expect_fast_end(text, -1);
        const auto exact = check_unknown_value(text, 0, false);
        EXPECT_EQ(check_unknown_value(text, 0, true), exact);
        EXPECT_FALSE(exact.ok);
    }
}

INSTANTIATE_TEST_SUITE_P(Elements, UnknownValue, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

// Every byte value in each place the fast path classifies bytes: the
// byte-class tables must agree with the exact checker for all 256.
TEST(UnknownValueFast, EveryByteInEveryPlace) {
    const std::vector<std::pair<std::string, std::string>> places = {
        {"[\"\\", "\"]"},       // after a backslash in a string
        {"[\"\\u00", "0\"]"},   // a hex digit of \u
        {"[\"a", "b\"]"},         // inside a string
        {"[", "]"},              // a value on its own
        {"[1", "]"},             // after a digit
        {"[1e", "5]"},           // after an exponent letter
        {"[-", "1]"},            // after a minus
        {"[tru", "]"},           // ending a literal
        {"[true", "]"},          // after a literal
        {"{\"k\"", ":1}"},       // between a key and its colon
        {"[1,", "2]"},           // after a comma
    };
    for (const auto& [before, after] : places) {
        for (int b = 0; b < 256; ++b) {
            for (const std::size_t pad : {std::size_t{0}, std::size_t{61}}) {
                const std::string text = cat(std::string(1, before[0]), std::string(pad, ' '), before.substr(1),
                                             std::string(1, static_cast<char>(b)), after);
                SCOPED_TRACE(testing::Message() << before << " byte " << b << " pad " << pad);
                const auto exact = check_unknown_value(text, 0, false);
                EXPECT_EQ(check_unknown_value(text, 0, true), exact);
                expect_fast_end(text, exact.ok ? static_cast<long>(exact.offset) : -1);
            }
        }
    }
}

TEST(UnknownValueFast, BackslashRunsAcrossBlockBoundary) {
    // A run of n backslashes ending just before a quote, with the run
    // straddling the first block boundary at each position.
    for (std::size_t n = 1; n <= 9; ++n) {
        for (std::size_t before = 55; before <= 66; ++before) {
            const std::string text = cat("[\"", std::string(before, 'a'), std::string(n, '\\'), "\"x\"]");
            SCOPED_TRACE(testing::Message() << n << " backslashes after " << before);
            const auto exact = check_unknown_value(text, 0, false);
            // An odd run escapes the quote (one string); an even run closes
            // the string and leaves `x"` outside, which is an error.
            EXPECT_EQ(exact.ok, n % 2 == 1);
            expect_fast_end(text, exact.ok ? static_cast<long>(text.size()) : -1);
            EXPECT_EQ(check_unknown_value(text, 0, true), exact);
        }
    }
}

// A large generated value of every form, then the same value with one byte
// changed at a time: the fast path and the exact checker agree on each.
struct Lcg {
    std::uint64_t state;
    std::uint32_t below(std::uint32_t n) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state >> 33) % n;
    }
};

void random_value(Lcg& r, std::string& out, int depth) {
    static const char* const kScalars[] = {"0", "-12", "3.25", "1e5", "-2.5E-10", "0.0e+0", "true", "false", "null",
                                           "12345678901234567890", "\"\"", "\"a\\\"b\"", "\"\\u00e9x\"",
                                           "\"long string with spaces, {brackets} and [more]\""};
    const std::uint32_t k = r.below(depth > 5 ? 2 : 4);
    if (k < 2) {
        out += kScalars[r.below(sizeof kScalars / sizeof kScalars[0])];
        return;
    }
    const bool object = k == 3;
    out += object ? '{' : '[';
    const std::uint32_t n = r.below(6);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (i != 0) out += r.below(3) == 0 ? ", " : ",";
        if (object) out += r.below(2) == 0 ? "\"key\":" : "\"k\" : ";
        random_value(r, out, depth + 1);
    }
    out += object ? '}' : ']';
}

TEST(UnknownValueFast, LargeValueWithOneByteChanged) {
    Lcg r{12345};
    std::string value = "[";
    while (value.size() < 200000) {
        if (value.size() > 1) value += ',';
        random_value(r, value, 0);
    }
    value += ']';
    const std::string text = value + ",\"next\":1}";
    expect_fast_end(text, static_cast<long>(value.size()));
    static const char kBytes[] = {'"', '\\', '[', ']', '{', '}', ',', ':', ' ', '0', '1', '.', 'e', '-', '+', 'u', 'x', 't', '\x01'};
    for (int i = 0; i < 200; ++i) {
        std::string changed = text;
        const std::size_t at = 1 + r.below(static_cast<std::uint32_t>(value.size() - 2));
        changed[at] = kBytes[r.below(sizeof kBytes)];
        SCOPED_TRACE(testing::Message() << "byte " << at << " set to " << changed[at]);
        const auto exact = check_unknown_value(changed, 0, false);
        EXPECT_EQ(check_unknown_value(changed, 0, true), exact);
        expect_fast_end(changed, exact.ok ? static_cast<long>(exact.offset) : -1);
    }
}

TEST(UnknownValueFast, DepthLimit) {
    const std::string at_limit = nested(static_cast<int>(detail::kFastMaxDepth));
    expect_fast_end(at_limit, static_cast<long>(at_limit.size()));
    // Much deeper values are declined and left to the exact checker.
    const std::string deeper = nested(2 * static_cast<int>(detail::kFastMaxDepth));
    expect_fast_end(deeper, -1);
    const auto exact = check_unknown_value(deeper, 0, false);
    EXPECT_TRUE(exact.ok);
    EXPECT_EQ(check_unknown_value(deeper, 0, true), exact);
}

TEST(UnknownValueFast, EndsAtTheClosingBracketWhateverFollows) {
    for (const std::string tail : {"", "]", "}", ",", "x", "\"", "\"\x01\"", "\\", "[1", "01"}) {
        const std::string text = R"({"a":[1,"b"]})" + tail;
        SCOPED_TRACE(tail);
        expect_fast_end(text, 13);
        EXPECT_EQ(check_unknown_value(text, 0, false), (detail::ValueCheck{true, 13, ""}));
    }
}

TEST(UnknownValueFast, ScalarsAtTheEndOfTheText) {
    // Scalars right at the end of the text, which the fast path reads from a
    // padded copy.
    for (const std::string element : {"1", "-0.5e-3", "true", "false", "null", "0", "123456789012345"}) {
        const std::string text = "[" + element + "]";
        SCOPED_TRACE(element);
        expect_fast_end(text, static_cast<long>(text.size()));
    }
    for (const std::string element : {"1.", "-", "tru", "nul", "fals", "1e"}) {
        const std::string text = "[" + element + "]";
        SCOPED_TRACE(element);
        expect_fast_end(text, -1);
    }
}

} // namespace
} // namespace morvik::profile
