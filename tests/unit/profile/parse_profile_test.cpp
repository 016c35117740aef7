// Table-driven tests of parse_profile: every message with its exact line and
// column, accepted documents and the resulting records.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "profile/parse_profile.hpp"

namespace morvik::profile {
namespace {

struct Case {
    const char* name;
    std::string input;
    std::string expected; // the error's display text
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string display(std::string_view text) {
    const auto result = parse_profile(text);
    return result ? std::string("accepted") : result.error().to_string();
}

// All seven required fields on line 1; a test's own text follows on line 2,
// so its columns count from the start of that line.
const std::string kHead =
    R"({"worktree_path":"/w","git_dir":"/g","agent_config_dirs":[],"tool_dirs":[],)"
    R"("user_allowed_paths":[],"allowed_domains":[],"env_passthrough":[],)"
    "\n";
const std::string kFull =
    R"({"worktree_path":"/w","git_dir":"/g","agent_config_dirs":[],"tool_dirs":[],)"
    R"("user_allowed_paths":[],"allowed_domains":[],"env_passthrough":[]})";
const std::string kArray7 = R"(["/w","/g",[],[],[],[],[])";

std::string L2(const char* message, int column) {
    return std::string(message) + " at line 2 column " + std::to_string(column);
}
std::string L1(const char* message, int column) {
    return std::string(message) + " at line 1 column " + std::to_string(column);
}

class Messages : public testing::TestWithParam<Case> {};
TEST_P(Messages, DisplayTextAndPosition) {
    EXPECT_EQ(display(GetParam().input), GetParam().expected);
}

#define MESSAGE_GROUP(group, ...)                                                                  \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        group, Messages, testing::ValuesIn(std::vector<Case>{__VA_ARGS__}),                        \
        [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); })

// The four security keys: typed, so a wrong value is refused rather than
// dropped (a dropped setting would fail open).
MESSAGE_GROUP(
    SecurityKeys,
    Case{"UdpString", kHead + R"("allow_udp":"yes"})",
         L2("invalid type: string \"yes\", expected a boolean", 17)},
    Case{"UdpNumber", kHead + R"("allow_udp":1})",
         L2("invalid type: integer `1`, expected a boolean", 13)},
    Case{"KeepCapsNull", kHead + R"("keep_capabilities":null})",
         L2("invalid type: null, expected a boolean", 24)},
    Case{"LogDenialsList", kHead + R"("log_denials":[true]})",
         L2("invalid type: sequence, expected a boolean", 14)},
    Case{"LogDenialsBadWord", kHead + R"("log_denials":tru})", L2("expected ident", 18)},
    Case{"AbiZero", kHead + R"("minimum_landlock_abi":0})",
         L2("invalid value: integer `0`, expected a nonzero u32", 24)},
    Case{"AbiNegative", kHead + R"("minimum_landlock_abi":-3})",
         L2("invalid value: integer `-3`, expected a nonzero u32", 25)},
    Case{"AbiTooBig", kHead + R"("minimum_landlock_abi":4294967296})",
         L2("invalid value: integer `4294967296`, expected a nonzero u32", 33)},
    Case{"AbiFloat", kHead + R"("minimum_landlock_abi":6.0})",
         L2("invalid type: floating point `6.0`, expected a nonzero u32", 26)},
    Case{"AbiString", kHead + R"("minimum_landlock_abi":"6"})",
         L2("invalid type: string \"6\", expected a nonzero u32", 26)},
    Case{"AbiBool", kHead + R"("minimum_landlock_abi":true})",
         L2("invalid type: boolean `true`, expected a nonzero u32", 27)},
    Case{"DuplicateUdp", kHead + R"("allow_udp":true,"allow_udp":false})",
         L2("duplicate field `allow_udp`", 28)},
    Case{"ArrayFormHasNoNinthElement", kArray7 + R"(,null,true])", L1("trailing characters", 32)},
    Case{"RunAsMissingGid", kHead + R"("run_as":{"uid":1000}})", L2("missing field `gid`", 21)},
    Case{"RunAsNegative", kHead + R"("run_as":{"uid":-1,"gid":0}})",
         L2("invalid value: integer `-1`, expected u32", 18)},
    Case{"RunAsUnchangedId", kHead + R"("run_as":{"uid":4294967295,"gid":1}})",
         L2("invalid value: integer `4294967295`, expected a u32 below 4294967295", 26)},
    Case{"RunAsAboveU32", kHead + R"("run_as":{"gid":4294967296}})",
         L2("invalid value: integer `4294967296`, expected u32", 26)},
    Case{"RunAsNullId", kHead + R"("run_as":{"uid":null}})",
         L2("invalid type: null, expected u32", 20)},
    Case{"RunAsUnknown", kHead + R"("run_as":{"uid":1,"user":1}})",
         L2("unknown field `user`, expected `uid` or `gid`", 24)},
    Case{"RunAsUnknownEscaped", kHead + R"("run_as":{"u\nid":1}})",
         L2("unknown field `u\\nid`, expected `uid` or `gid`", 17)},
    Case{"RunAsDuplicate", kHead + R"("run_as":{"uid":1,"uid":2}})",
         L2("duplicate field `uid`", 23)},
    Case{"RunAsArray", kHead + R"("run_as":[1,2]})",
         L2("invalid type: sequence, expected struct RunAs", 9)},
    Case{"RunAsGidZero", kHead + R"("run_as":{"uid":1000,"gid":0}})",
         L2("`run_as` with gid 0 needs uid 0", 29)},
    Case{"RunAsKeepCaps", kHead + R"("run_as":{"uid":0,"gid":0},"keep_capabilities":true})",
         L2("`run_as` cannot be combined with `keep_capabilities`", 52)},
    Case{"IsolateNull", kHead + R"("isolate_network":null})",
         L2("invalid type: null, expected a boolean", 22)},
    Case{"IsolatePortZero", kHead + R"("proxy_port":0,"isolate_network":true})",
         L2("`isolate_network` needs a `proxy_port` other than 0", 38)});

MESSAGE_GROUP(
    EofValue, Case{"Empty", "", L1("EOF while parsing a value", 0)},
    Case{"LineFeed", "\n", "EOF while parsing a value at line 2 column 0"},
    Case{"OnlyWhitespace", " \t\r ", L1("EOF while parsing a value", 4)},
    Case{"AfterColonOfField", kHead + R"("proxy_port":)", L2("EOF while parsing a value", 13)},
    Case{"AfterCommaInObject", R"({"worktree_path":"a",)", L1("EOF while parsing a value", 21)},
    Case{"AfterCommaInArrayForm", R"(["a",)", L1("EOF while parsing a value", 5)},
    Case{"AfterCommaInListField", R"({"tool_dirs":["a", )", L1("EOF while parsing a value", 19)},
    Case{"InsideTrueUnknown", R"({"x":tru)", L1("EOF while parsing a value", 8)},
    Case{"InsideNullField", R"({"worktree_path":nu)", L1("EOF while parsing a value", 19)},
    Case{"InsidePortNull", R"({"proxy_port":n)", L1("EOF while parsing a value", 15)},
    Case{"PortMinus", R"({"proxy_port":-)", L1("EOF while parsing a value", 15)},
    Case{"PortPoint", R"({"proxy_port":1.)", L1("EOF while parsing a value", 16)},
    Case{"PortExponent", R"({"proxy_port":1e)", L1("EOF while parsing a value", 16)},
    Case{"PortExponentSign", R"({"proxy_port":1e+)", L1("EOF while parsing a value", 17)},
    Case{"TopLevelMinus", "-", L1("EOF while parsing a value", 1)},
    Case{"AfterColonOfUnknown", R"({"x":)", L1("EOF while parsing a value", 5)},
    Case{"AfterCommaInUnknownArray", R"({"x":[1,)", L1("EOF while parsing a value", 8)},
    Case{"AfterColonInUnknownObject", R"({"x":{"a":)", L1("EOF while parsing a value", 10)});

MESSAGE_GROUP(EofObject, Case{"OpenBrace", "{", L1("EOF while parsing an object", 1)},
              Case{"AfterUnknownKey", R"({"x")", L1("EOF while parsing an object", 4)},
              Case{"AfterFieldKey", R"({"worktree_path" )", L1("EOF while parsing an object", 17)},
              Case{"AfterUnknownValue", R"({"x":1)", L1("EOF while parsing an object", 6)},
              Case{"AfterFieldValue", R"({"worktree_path":"a" )",
                   L1("EOF while parsing an object", 21)},
              Case{"NestedOpen", R"({"x":{)", L1("EOF while parsing an object", 6)},
              Case{"NestedKeyAfterComma", R"({"x":{"a":1,)", L1("EOF while parsing an object", 12)},
              Case{"NestedAfterKey", R"({"x":{"a")", L1("EOF while parsing an object", 9)},
              Case{"NestedAfterValue", R"({"x":{"a":1)", L1("EOF while parsing an object", 11)});

MESSAGE_GROUP(EofList, Case{"OpenBracket", "[", L1("EOF while parsing a list", 1)},
              Case{"ArrayFormAfterElement", R"(["a")", L1("EOF while parsing a list", 4)},
              Case{"ListFieldOpen", R"({"tool_dirs":[)", L1("EOF while parsing a list", 14)},
              Case{"ListFieldAfterElement", R"({"tool_dirs":["a")",
                   L1("EOF while parsing a list", 17)},
              Case{"UnknownOpen", R"({"x":[)", L1("EOF while parsing a list", 6)},
              Case{"UnknownAfterElement", R"({"x":[1)", L1("EOF while parsing a list", 7)},
              Case{"ArrayFormAfterEighth", kArray7 + ",null ", L1("EOF while parsing a list", 31)});

MESSAGE_GROUP(EofString, Case{"TopLevelQuote", "\"", L1("EOF while parsing a string", 1)},
              Case{"FieldValue", R"({"worktree_path":"ab)", L1("EOF while parsing a string", 20)},
              Case{"Key", R"({"wo)", L1("EOF while parsing a string", 4)},
              Case{"UnknownAfterBackslash", R"({"x":"ab\)", L1("EOF while parsing a string", 9)},
              Case{"UnknownShortHex", R"({"x":"\u12)", L1("EOF while parsing a string", 10)},
              Case{"FieldAfterLeadingSurrogate", R"({"worktree_path":"\uD800)",
                   L1("EOF while parsing a string", 24)},
              Case{"FieldAfterSurrogateBackslash", R"({"worktree_path":"\uD800\)",
                   L1("EOF while parsing a string", 25)},
              Case{"FieldShortSecondHex", R"({"worktree_path":"\uD800\u00)",
                   L1("EOF while parsing a string", 28)});

MESSAGE_GROUP(ExpectedValue, Case{"ByteOrderMark", "\xEF\xBB\xBF{}", L1("expected value", 1)},
              Case{"Plus", "+1", L1("expected value", 1)},
              Case{"SingleQuote", "'a'", L1("expected value", 1)},
              Case{"FieldPlus", R"({"worktree_path":+)", L1("expected value", 18)},
              Case{"PortPlus", R"({"proxy_port":+80})", L1("expected value", 15)},
              Case{"ListFieldLeadingComma", R"({"tool_dirs":[,]})", L1("expected value", 15)},
              Case{"UnknownCommaBeforeBracket", R"({"x":[1,]})", L1("expected value", 9)},
              Case{"UnknownMissingValue", R"({"x":})", L1("expected value", 6)},
              Case{"UnknownBraceInArray", R"({"x":[}})", L1("expected value", 7)},
              Case{"UnknownLeadingComma", R"({"x":[,1]})", L1("expected value", 7)},
              Case{"FormFeedIsNotWhitespace", "\f{}", L1("expected value", 1)});

MESSAGE_GROUP(ExpectedIdent, Case{"TopLevel", "nulx", L1("expected ident", 4)},
              Case{"Port", R"({"proxy_port":nil})", L1("expected ident", 16)},
              Case{"Unknown", R"({"x":trUe})", L1("expected ident", 8)},
              Case{"FieldFalse", R"({"git_dir":fa1se})", L1("expected ident", 14)},
              Case{"SecondChar", "tx", L1("expected ident", 2)});

MESSAGE_GROUP(InvalidNumber,
              Case{"LeadingZeroPort", R"({"proxy_port":080})", L1("invalid number", 16)},
              Case{"MinusLetter", "-x", L1("invalid number", 2)},
              Case{"PointLetter", R"({"proxy_port":1.x})", L1("invalid number", 17)},
              Case{"ExponentLetter", R"({"proxy_port":1ex})", L1("invalid number", 17)},
              Case{"ExponentSignLetter", R"({"proxy_port":1e-x})", L1("invalid number", 18)},
              Case{"UnknownPointBrace", R"({"x":1.})", L1("invalid number", 8)},
              Case{"UnknownMinusBrace", R"({"x":-})", L1("invalid number", 7)},
              Case{"UnknownExponentBrace", R"({"x":1e})", L1("invalid number", 8)},
              Case{"UnknownLeadingZero", R"({"x":01})", L1("invalid number", 7)},
              Case{"UnknownCutAfterPoint", R"({"x":1.)", L1("invalid number", 7)},
              Case{"UnknownCutAfterMinus", R"({"x":-)", L1("invalid number", 6)},
              Case{"UnknownCutAfterE", R"({"x":1e)", L1("invalid number", 7)},
              Case{"UnknownCutAfterSign", R"({"x":[1E-)", L1("invalid number", 9)});

MESSAGE_GROUP(OutOfRange, Case{"Port", R"({"proxy_port":1e400})", L1("number out of range", 19)},
              Case{"NegativePort", R"({"proxy_port":-1e400})", L1("number out of range", 20)},
              Case{"TopLevel", "1e400", L1("number out of range", 5)},
              Case{"JustAboveMax", "1.7976931348623159e308", L1("number out of range", 22)},
              Case{"LongInteger", std::string(310, '9'), L1("number out of range", 310)},
              Case{"ExponentBeyondInt32", R"({"proxy_port":1e2147483648})",
                   L1("number out of range", 26)},
              Case{"ExponentBeyondInt32StopsThere", R"({"proxy_port":1e21474836479999})",
                   L1("number out of range", 27)},
              Case{"ExponentInt32MaxIsRead", R"({"proxy_port":1e2147483647})",
                   L1("number out of range", 26)},
              Case{"FieldString", R"({"worktree_path":1e999})", L1("number out of range", 22)});

MESSAGE_GROUP(KeyMustBeString, Case{"Number", "{1}", L1("key must be a string", 2)},
              Case{"LeadingComma", "{,}", L1("key must be a string", 2)},
              Case{"AfterComma", R"({"worktree_path":"a",1})", L1("key must be a string", 22)},
              Case{"UnknownTrailingComma", R"({"x":{"a":1,}})", L1("key must be a string", 13)},
              Case{"UnknownLeadingComma", R"({"x":{,}})", L1("key must be a string", 7)},
              Case{"UnknownBracket", R"({"x":{]})", L1("key must be a string", 7)},
              Case{"SingleQuotedKey", "{'a':1}", L1("key must be a string", 2)});

MESSAGE_GROUP(ExpectedColon, Case{"Unknown", R"({"x" 1})", L1("expected `:`", 6)},
              Case{"Field", R"({"worktree_path"})", L1("expected `:`", 17)},
              Case{"Nested", R"({"x":{"a"}})", L1("expected `:`", 10)});

MESSAGE_GROUP(ExpectedCommaObject, Case{"Unknown", R"({"x":1 2})", L1("expected `,` or `}`", 8)},
              Case{"Field", R"({"worktree_path":"a" "b"})", L1("expected `,` or `}`", 22)},
              Case{"Nested", R"({"x":{"a":1]})", L1("expected `,` or `}`", 12)});

MESSAGE_GROUP(ExpectedCommaList, Case{"ArrayForm", R"(["a" "b"])", L1("expected `,` or `]`", 6)},
              Case{"ListField", R"({"tool_dirs":["a" 1]})", L1("expected `,` or `]`", 19)},
              Case{"Unknown", R"({"x":[1}})", L1("expected `,` or `]`", 8)});

MESSAGE_GROUP(TrailingComma,
              Case{"Document", R"({"worktree_path":"a",})", L1("trailing comma", 22)},
              Case{"ListField", R"({"tool_dirs":["a",]})", L1("trailing comma", 19)},
              Case{"ArrayForm", R"(["a",])", L1("trailing comma", 6)},
              Case{"ArrayFormNextLine", "[\"a\", \n ]", "trailing comma at line 2 column 2"},
              Case{"AfterSeventh", kArray7 + ",]", L1("trailing comma", 27)},
              Case{"AfterEighth", kArray7 + ",1,]", L1("trailing comma", 29)});

MESSAGE_GROUP(TrailingCharacters,
              Case{"SecondObject", kFull + "\n {}", "trailing characters at line 2 column 2"},
              Case{"Letter", kFull + " x",
                   L1("trailing characters", static_cast<int>(kFull.size()) + 2)},
              Case{"NinthElement", kArray7 + ",1, 2]", L1("trailing characters", 30)},
              Case{"NinthAfterNull", kArray7 + ",null,\n\"x\"]",
                   "trailing characters at line 2 column 1"},
              Case{"CommaThenEnd", kArray7 + ",1, ", L1("trailing characters", 29)},
              Case{"NoClosingBracket", kArray7 + ",1}", L1("trailing characters", 28)});

MESSAGE_GROUP(InvalidEscape, Case{"Field", R"({"worktree_path":"\x"})", L1("invalid escape", 20)},
              Case{"FieldHex", R"({"worktree_path":"\u12G4"})", L1("invalid escape", 24)},
              Case{"Unknown", R"({"x":"\q"})", L1("invalid escape", 8)},
              Case{"Key", R"({"\a":1})", L1("invalid escape", 4)},
              Case{"UnknownHexTakesFourChars", R"({"x":"\u12"}  )", L1("invalid escape", 12)},
              Case{"SecondHexOfPair", R"({"worktree_path":"\uD800\uZZZZ"})",
                   L1("invalid escape", 30)});

MESSAGE_GROUP(
    ControlCharacter,
    Case{"FieldLineFeed", "{\"worktree_path\":\"a\nb\"}",
         "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
    Case{"FieldTab", "{\"worktree_path\":\"a\tb\"}",
         L1("control character (\\u0000-\\u001F) found while parsing a string", 20)},
    Case{"FieldNul", std::string("{\"git_dir\":\"\0\"}", 15),
         L1("control character (\\u0000-\\u001F) found while parsing a string", 13)},
    Case{"UnknownTabBefore", "{\"x\":\"a\tb\"}",
         L1("control character (\\u0000-\\u001F) found while parsing a string", 7)},
    Case{"UnknownLineFeedBefore", "{\"x\":\"a\nb\"}",
         L1("control character (\\u0000-\\u001F) found while parsing a string", 7)},
    Case{"UnknownNestedKey", "{\"x\":{\"\x1f\":1}}",
         L1("control character (\\u0000-\\u001F) found while parsing a string", 7)},
    Case{"Key", "{\"a\x01\":1}",
         L1("control character (\\u0000-\\u001F) found while parsing a string", 4)},
    Case{"TopLevelString", "\"\x01\"",
         L1("control character (\\u0000-\\u001F) found while parsing a string", 2)});

MESSAGE_GROUP(LoneSurrogate,
              Case{"Trailing", R"({"worktree_path":"\uDC00"})",
                   L1("lone leading surrogate in hex escape", 24)},
              Case{"LeadingThenBmp", R"({"worktree_path":"\uD800\u0041"})",
                   L1("lone leading surrogate in hex escape", 30)},
              Case{"LeadingThenLeading", R"({"worktree_path":"\uD800\uD800"})",
                   L1("lone leading surrogate in hex escape", 30)},
              Case{"Key", R"({"\uDC00":1})", L1("lone leading surrogate in hex escape", 8)},
              Case{"ListElement", R"({"allowed_domains":["\udfff"]})",
                   L1("lone leading surrogate in hex escape", 27)});

MESSAGE_GROUP(
    UnexpectedEndOfHex,
    Case{"Letter", R"({"worktree_path":"\uD800x"})", L1("unexpected end of hex escape", 25)},
    Case{"OtherEscape", R"({"worktree_path":"\uD800\n"})", L1("unexpected end of hex escape", 26)},
    Case{"Quote", R"({"worktree_path":"\uD800"})", L1("unexpected end of hex escape", 25)});

MESSAGE_GROUP(
    InvalidTypeDocument,
    Case{"Null", "null", L1("invalid type: null, expected struct SandboxProfile", 4)},
    Case{"Integer", "5", L1("invalid type: integer `5`, expected struct SandboxProfile", 1)},
    Case{"Negative", " -17 ", L1("invalid type: integer `-17`, expected struct SandboxProfile", 4)},
    Case{"True", "true", L1("invalid type: boolean `true`, expected struct SandboxProfile", 4)},
    Case{"False", "false", L1("invalid type: boolean `false`, expected struct SandboxProfile", 5)},
    Case{"Float", "1.5",
         L1("invalid type: floating point `1.5`, expected struct SandboxProfile", 3)},
    Case{"String", R"("a\"b")",
         L1(R"(invalid type: string "a\"b", expected struct SandboxProfile)", 6)},
    Case{"StringQuoting", R"("a\tb\n\r\u0000\\\u0007\u007f é\/")",
         L1(R"(invalid type: string "a\tb\n\r\0\\\u{7}\u{7f} é/", expected struct SandboxProfile)",
            35)},
    Case{"StringHiddenCodePoints", "\"\\u0085\\u00ad\\ufeff\\u2028\xc3\xa9\xf0\x9f\x98\x80\"",
         L1("invalid type: string \"\\u{85}\\u{ad}\\u{feff}\\u{2028}\xc3\xa9\xf0\x9f\x98\x80\", "
            "expected struct SandboxProfile",
            32)},
    // Not UTF-8 (only from direct callers): one U+FFFD per maximal invalid
    // subpart (a bad lead byte, a cut sequence, an encoded surrogate, an
    // overlong form, a code point above U+10FFFF).
    Case{"StringNotUtf8", "\"a\xff\xe2\x82|\xed\xa0\x80|\xc0\xaf|\xf4\x90\x80\x80\"",
         L1("invalid type: string \"a\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD|"
            "\uFFFD\uFFFD\uFFFD\uFFFD\", expected struct SandboxProfile",
            18)},
    Case{"StringThenJunk", R"("a" x)",
         L1(R"(invalid type: string "a", expected struct SandboxProfile)", 3)});

MESSAGE_GROUP(
    InvalidTypeField,
    Case{"PathInteger", R"({"worktree_path":1})",
         L1("invalid type: integer `1`, expected path string", 18)},
    Case{"PathNull", R"({"git_dir":null})", L1("invalid type: null, expected path string", 15)},
    Case{"PathArrayBefore", R"({"worktree_path": []})",
         L1("invalid type: sequence, expected path string", 18)},
    Case{"PathObjectBefore", R"({"worktree_path":{})",
         L1("invalid type: map, expected path string", 17)},
    Case{"PathArrayNextLine", "{\"git_dir\":\n[]}",
         "invalid type: sequence, expected path string at line 2 column 0"},
    Case{"PathElementNull", R"({"user_allowed_paths":[null]})",
         L1("invalid type: null, expected path string", 27)},
    Case{"PathElementArray", R"({"tool_dirs":["a",[]]})",
         L1("invalid type: sequence, expected path string", 18)},
    Case{"SequenceString", R"({"tool_dirs":"a"})",
         L1(R"(invalid type: string "a", expected a sequence)", 16)},
    Case{"SequenceNull", R"({"agent_config_dirs":null})",
         L1("invalid type: null, expected a sequence", 25)},
    Case{"SequenceMap", R"({"allowed_domains":{}})",
         L1("invalid type: map, expected a sequence", 19)},
    Case{"StringInteger", R"({"allowed_domains":[1]})",
         L1("invalid type: integer `1`, expected a string", 21)},
    Case{"StringSequence", R"({"env_passthrough":[[]]})",
         L1("invalid type: sequence, expected a string", 20)},
    Case{"StringBool", R"({"env_passthrough":[false]})",
         L1("invalid type: boolean `false`, expected a string", 25)},
    Case{"ArrayFormElement", R"([1])", L1("invalid type: integer `1`, expected path string", 2)},
    Case{"ArrayFormList", R"(["a","b","c"])",
         L1(R"(invalid type: string "c", expected a sequence)", 12)},
    Case{"PortTrue", R"({"proxy_port":true})",
         L1("invalid type: boolean `true`, expected u16", 18)},
    Case{"PortString", R"({"proxy_port":"8080"})",
         L1(R"(invalid type: string "8080", expected u16)", 20)},
    Case{"PortArray", R"({"proxy_port":[]})", L1("invalid type: sequence, expected u16", 14)},
    Case{"PortMap", R"({"proxy_port":{}})", L1("invalid type: map, expected u16", 14)});

MESSAGE_GROUP(InvalidTypeFloat,
              Case{"Point", R"({"proxy_port":8080.0})",
                   L1("invalid type: floating point `8080.0`, expected u16", 20)},
              Case{"Half", R"({"proxy_port":8080.5})",
                   L1("invalid type: floating point `8080.5`, expected u16", 20)},
              Case{"Exponent", R"({"proxy_port":1e3})",
                   L1("invalid type: floating point `1000.0`, expected u16", 17)},
              Case{"NegativeZero", R"({"proxy_port":-0})",
                   L1("invalid type: floating point `-0.0`, expected u16", 16)},
              Case{"Zero", R"({"proxy_port":0.0})",
                   L1("invalid type: floating point `0.0`, expected u16", 17)},
              Case{"Small", R"({"proxy_port":1e-5})",
                   L1("invalid type: floating point `0.00001`, expected u16", 18)},
              Case{"Smaller", R"({"proxy_port":1.5e-7})",
                   L1("invalid type: floating point `1.5e-7`, expected u16", 20)},
              Case{"Fixed15", R"({"proxy_port":1e15})",
                   L1("invalid type: floating point `1000000000000000.0`, expected u16", 18)},
              Case{"Exp16", R"({"proxy_port":1e16})",
                   L1("invalid type: floating point `1e+16`, expected u16", 18)},
              Case{"AboveU64", R"({"proxy_port":18446744073709551616})",
                   L1("invalid type: floating point `1.8446744073709552e+19`, expected u16", 34)},
              Case{"BelowI64", R"({"proxy_port":-9223372036854775809})",
                   L1("invalid type: floating point `-9.223372036854776e+18`, expected u16", 34)},
              Case{"Max", R"({"proxy_port":1.7976931348623158e308})",
                   L1("invalid type: floating point `1.7976931348623157e+308`, expected u16", 36)},
              Case{"Underflow", R"({"proxy_port":-1e-400})",
                   L1("invalid type: floating point `-0.0`, expected u16", 21)},
              Case{"ZeroHugeExponent", R"({"proxy_port":0e99999999999})",
                   L1("invalid type: floating point `0.0`, expected u16", 27)},
              Case{"NegativeHugeExponent", R"({"proxy_port":1e-99999999999})",
                   L1("invalid type: floating point `0.0`, expected u16", 28)},
              Case{"Denormal", R"({"proxy_port":5e-324})",
                   L1("invalid type: floating point `5e-324`, expected u16", 20)},
              Case{"Rounded", R"({"proxy_port":0.30000000000000001})",
                   L1("invalid type: floating point `0.3`, expected u16", 33)});

MESSAGE_GROUP(InvalidValue,
              Case{"Above", R"({"proxy_port":65536})",
                   L1("invalid value: integer `65536`, expected u16", 19)},
              Case{"Column20", R"({"proxy_port": 70000})",
                   L1("invalid value: integer `70000`, expected u16", 20)},
              Case{"MinusOne", R"({"proxy_port":-1})",
                   L1("invalid value: integer `-1`, expected u16", 16)},
              Case{"U64Max", R"({"proxy_port":18446744073709551615})",
                   L1("invalid value: integer `18446744073709551615`, expected u16", 34)},
              Case{"I64Min", R"({"proxy_port":-9223372036854775808})",
                   L1("invalid value: integer `-9223372036854775808`, expected u16", 34)},
              Case{"ArrayForm", kArray7 + ",70000]",
                   L1("invalid value: integer `70000`, expected u16", 31)});

MESSAGE_GROUP(InvalidLength,
              Case{"Empty", "[]",
                   L1("invalid length 0, expected struct SandboxProfile with 8 elements", 2)},
              Case{"One", R"(["a"] )",
                   L1("invalid length 1, expected struct SandboxProfile with 8 elements", 5)},
              Case{"Six", R"(["a","b",[],[],[],[]])",
                   L1("invalid length 6, expected struct SandboxProfile with 8 elements", 21)});

MESSAGE_GROUP(
    MissingField, Case{"Empty", "{}", L1("missing field `worktree_path`", 2)},
    Case{"EmptyWithSpace", " {\n }", "missing field `worktree_path` at line 2 column 2"},
    Case{"CapitalIsUnknown", R"({"Worktree_path":"a"})", L1("missing field `worktree_path`", 21)},
    Case{
        "ToolDirsFirst",
        R"({"worktree_path":"/w","git_dir":"/g","agent_config_dirs":[],"user_allowed_paths":[],"allowed_domains":[]})",
        L1("missing field `tool_dirs`", 105)},
    Case{"AfterDeepUnknown", R"({"x":[{"a":[[],{}]},-1.5e3,"s",true,null]})",
         L1("missing field `worktree_path`", 42)},
    Case{"UnknownValuesUnchecked", R"({"x":1e400,"y":"\uDC00"})",
         L1("missing field `worktree_path`", 24)});

MESSAGE_GROUP(DuplicateField,
              Case{"Compact", R"({"git_dir":"a","git_dir")", L1("duplicate field `git_dir`", 24)},
              Case{"IgnoresWhatFollows", R"({"git_dir":"a","git_dir":[)",
                   L1("duplicate field `git_dir`", 24)},
              Case{"PastWhitespace", R"({"git_dir":"a","git_dir"  :1})",
                   L1("duplicate field `git_dir`", 26)},
              Case{"PastBrace", R"({"git_dir":"a","git_dir"  })",
                   L1("duplicate field `git_dir`", 27)},
              Case{"PastBraceNextLine", "{\"git_dir\":\"a\",\"git_dir\"\n}",
                   "duplicate field `git_dir` at line 2 column 1"},
              Case{"NullPortFillsSlot", R"({"proxy_port":null,"x":1,"proxy_port":1})",
                   L1("duplicate field `proxy_port`", 37)},
              Case{"EscapedName", R"({"git_dir":"a","git\u005Fdir":"b"})",
                   L1("duplicate field `git_dir`", 29)},
              Case{"BeforeMissing", R"({"tool_dirs":[],"tool_dirs":[]})",
                   L1("duplicate field `tool_dirs`", 27)});

MESSAGE_GROUP(Columns,
              Case{"TwoByteCharacter", R"({"worktree_path":"é",})", L1("trailing comma", 23)},
              Case{"ThreeByteCharacters", R"({"x":"日本","worktree_path":1})",
                   L1("invalid type: integer `1`, expected path string", 31)},
              Case{"CarriageReturnIsAByte", "{\r\n\"x\"\r\n1}", "expected `:` at line 3 column 1"},
              Case{"AfterSeveralLines", "{\n\n  \"x\": [1,\n   2,,]}",
                   "expected value at line 4 column 6"});

// ---- accepted documents ------------------------------------------------------

SandboxProfile parse_ok(std::string_view text) {
    auto result = parse_profile(text);
    EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().to_string());
    return result ? *result : SandboxProfile{};
}

TEST(Accepted, FullObjectGivesRecord) {
    const auto p = parse_ok(R"( {"worktree_path":"/home/u/w","git_dir":"/home/u/w/.git",
        "agent_config_dirs":["/a","/a"],"tool_dirs":["/usr/local/bin"],"user_allowed_paths":["rel",""],
        "allowed_domains":["example.org"],"env_passthrough":["PATH"],"proxy_port":3128} )"
                            "\n\t\r\n");
    SandboxProfile expected;
    expected.worktree_path = "/home/u/w";
    expected.git_dir = "/home/u/w/.git";
    expected.agent_config_dirs = {"/a", "/a"};
    expected.tool_dirs = {"/usr/local/bin"};
    expected.user_allowed_paths = {"rel", ""};
    expected.allowed_domains = {"example.org"};
    expected.env_passthrough = {"PATH"};
    expected.proxy_port = 3128;
    EXPECT_EQ(p, expected);
}

TEST(Accepted, SecurityKeys) {
    const SandboxProfile defaults = parse_ok(kFull);
    EXPECT_FALSE(defaults.allow_udp);
    EXPECT_FALSE(defaults.keep_capabilities);
    EXPECT_EQ(defaults.minimum_landlock_abi, std::nullopt);
    EXPECT_FALSE(defaults.log_denials);
    const SandboxProfile set =
        parse_ok(kHead + R"("allow_udp":true,"keep_capabilities":true,)"
                         R"("minimum_landlock_abi":4294967295,"log_denials":true})");
    EXPECT_TRUE(set.allow_udp);
    EXPECT_TRUE(set.keep_capabilities);
    EXPECT_EQ(set.minimum_landlock_abi, std::optional<std::uint32_t>(4294967295U));
    EXPECT_TRUE(set.log_denials);
    const SandboxProfile cleared =
        parse_ok(kHead + R"("allow_udp":false,"minimum_landlock_abi":null})");
    EXPECT_FALSE(cleared.allow_udp);
    EXPECT_EQ(cleared.minimum_landlock_abi, std::nullopt);
    EXPECT_EQ(parse_ok(kHead + R"("minimum_landlock_abi":1})").minimum_landlock_abi,
              std::optional<std::uint32_t>(1));
    EXPECT_EQ(defaults.run_as, std::nullopt);
    EXPECT_FALSE(defaults.isolate_network);
    const SandboxProfile ids = parse_ok(
        kHead + R"("run_as":{"gid":4294967294,"uid":1000},"isolate_network":true,"proxy_port":1})");
    EXPECT_EQ(ids.run_as, (RunAs{1000, 4294967294U}));
    EXPECT_TRUE(ids.isolate_network);
    EXPECT_EQ(parse_ok(kHead + R"("run_as":{"uid":0,"gid":0}})").run_as, (RunAs{0, 0}));
    EXPECT_EQ(parse_ok(kHead + R"("run_as":null,"isolate_network":true})").run_as, std::nullopt);
}

TEST(Accepted, ArrayForms) {
    SandboxProfile base;
    base.worktree_path = "/w";
    base.git_dir = "/g";
    EXPECT_EQ(parse_ok(kArray7 + "]"), base);
    EXPECT_EQ(parse_ok(kArray7 + ", null ]"), base);
    SandboxProfile with_port = base;
    with_port.proxy_port = 8080;
    EXPECT_EQ(parse_ok(kArray7 + ",8080]"), with_port);
}

TEST(Accepted, ProxyPortValues) {
    EXPECT_EQ(parse_ok(kFull).proxy_port, std::nullopt);
    EXPECT_EQ(parse_ok(kHead + R"("proxy_port":null})").proxy_port, std::nullopt);
    EXPECT_EQ(parse_ok(kHead + R"("proxy_port":0})").proxy_port, std::optional<std::uint16_t>(0));
    EXPECT_EQ(parse_ok(kHead + R"("proxy_port":65535})").proxy_port,
              std::optional<std::uint16_t>(65535));
}

TEST(Accepted, EscapesDecodeAndNulIsKept) {
    const auto p = parse_ok(
        R"({"x":0,"agent_config_dirs":[],"tool_dirs":[],"user_allowed_paths":[],"allowed_domains":[],"env_passthrough":[],"worktree_path":"a\/\b\f\n\r\t\"\\\u00e9\u20AC\ud83d\ude00z","git_dir":"a\u0000b"})");
    EXPECT_EQ(p.worktree_path, "a/\b\f\n\r\t\"\\\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
    EXPECT_EQ(p.git_dir, std::string("a\0b", 3));
}

TEST(Accepted, UnknownKeysAnyDepthAndEscapedFieldName) {
    std::vector<std::string> unknown;
    const auto p = parse_profile(
        R"({"Worktree_path":1,"worktree_path":"w","x":{"a":[1,-0,2.5e-3,1E400,true,false,null,"\uDC00\"",{}],"b":{"c":[[]]}},)"
        R"("git\u005fdir":"g","x":[],"agent_config_dirs":[],"tool_dirs":[],"user_allowed_paths":[],)"
        R"("allowed_domains":[],"env_passthrough":[],"log\u005fdenial":true})",
        &unknown);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->worktree_path, "w");
    EXPECT_EQ(p->git_dir, "g");
    // The top-level keys dropped, decoded; none from inside their values.
    EXPECT_EQ(unknown, (std::vector<std::string>{"Worktree_path", "x", "x", "log_denial"}));
}

// ---- deep nesting ---------------------------------------------------------------

TEST(DeepNesting, TenMillionLevelsInUnknownValue) {
    constexpr std::size_t kDepth = 10'000'000;
    std::string text = R"({"x":)";
    text.append(kDepth, '[');
    text.append(kDepth, ']');
    text += "}";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(display(text), L1("missing field `worktree_path`", static_cast<int>(text.size())));
    text.resize(text.size() - 1 - kDepth / 2); // cut off inside the closing brackets
    EXPECT_EQ(display(text), L1("EOF while parsing a list", static_cast<int>(text.size())));
    std::string objects = R"({"x":)";
    for (std::size_t i = 0; i < kDepth / 10; ++i)
        objects += R"({"a":[)";
    objects += "1}";
    EXPECT_EQ(display(objects), L1("expected `,` or `]`", static_cast<int>(objects.size())));
    // Not a timing assertion, only a guard against a quadratic path.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(DeepNesting, FieldValuesDoNotNest) {
    EXPECT_EQ(display(R"({"tool_dirs":[[[[)"),
              L1("invalid type: sequence, expected path string", 14));
}

} // namespace
} // namespace morvik::profile

namespace morvik::profile {
namespace {

TEST(UnknownValues, ErrorDeepInsideALargeValueKeepsItsPosition) {
    std::string text = R"({"x":[)";
    for (int i = 0; i < 200; ++i)
        text += R"({"k":"v\n","n":[1.5,true]},)";
    text += R"("bad\x"]})";
    const auto result = parse_profile(text);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().to_string(),
              "invalid escape at line 1 column " + std::to_string(text.size() - 3));
}

} // namespace
} // namespace morvik::profile

namespace morvik::profile {
namespace {

// Unknown values with long digit runs and string bodies (the word- and
// block-wise scans), and words and strings cut short.
TEST(UnknownValues, LongRunsAndCutOffWords) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"x": [123456789012345678901234567890]})",
         "missing field `worktree_path` at line 1 column 39"},
        {R"({"x": "abcdefghijklmnopqrstuvwxyz0123456789"})",
         "missing field `worktree_path` at line 1 column 45"},
        {R"({"x": "abc)", "EOF while parsing a string at line 1 column 10"},
        {R"({"x": nul})", "expected ident at line 1 column 10"},
        {R"({"x": tru})", "expected ident at line 1 column 10"},
        {R"({"x": fals)", "EOF while parsing a value at line 1 column 10"},
    };
    for (const auto& [text, expected] : cases) {
        const auto result = parse_profile(text);
        ASSERT_FALSE(result) << text;
        EXPECT_EQ(result.error().to_string(), expected) << text;
    }
}

} // namespace
} // namespace morvik::profile
