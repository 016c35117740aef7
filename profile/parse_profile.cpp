// The strict, single-pass profile reader. See docs/profile-reader.md.
//
// One forward pass over the text in memory. Field values are decoded; values
// of unknown keys are only checked, iteratively, with one bit per open
// bracket. Errors carry a byte offset; line and column are derived from it
// only when an error is returned.
#include "profile/parse_profile.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "profile/value_text.hpp"

namespace morvik::profile {
namespace {

using uchar = unsigned char;

// The first eight fields are also the array form's elements, in order; the
// rest are accepted in the object form only.
constexpr std::array<std::string_view, 14> kFieldNames = {
    "worktree_path",
    "git_dir",
    "agent_config_dirs",
    "tool_dirs",
    "user_allowed_paths",
    "allowed_domains",
    "env_passthrough",
    "proxy_port",
    "allow_udp",
    "keep_capabilities",
    "minimum_landlock_abi",
    "log_denials",
    "run_as",
    "isolate_network",
};
constexpr int kProxyPort = 7;
constexpr int kArrayElements = 8;

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";
constexpr std::string_view kKeyMustBeString = "key must be a string";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedCommaObject = "expected `,` or `}`";
constexpr std::string_view kExpectedCommaList = "expected `,` or `]`";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kUnexpectedEndHex = "unexpected end of hex escape";

constexpr std::string_view kExpectStruct = "struct SandboxProfile";
constexpr std::string_view kExpectPath = "path string";
constexpr std::string_view kExpectSequence = "a sequence";
constexpr std::string_view kExpectString = "a string";
constexpr std::string_view kExpectU16 = "u16";
constexpr std::string_view kExpectBool = "a boolean";
constexpr std::string_view kExpectAbi = "a nonzero u32";
constexpr std::string_view kExpectRunAs = "struct RunAs";
constexpr std::string_view kExpectId = "u32";
// 4294967295 is the kernel's "leave unchanged" in the set*id calls.
constexpr std::uint64_t kUnchangedId = 4294967295;

inline bool is_ws(uchar c) noexcept {
    // space, tab, line feed, carriage return
    return c <= ' ' && ((0x100002600ULL >> c) & 1);
}
constexpr bool is_digit(uchar c) noexcept {
    return static_cast<uchar>(c - '0') < 10;
}

constexpr int hex_value_slow(uchar c) noexcept {
    if (is_digit(c)) return c - '0';
    const uchar l = c | 0x20;
    if (l >= 'a' && l <= 'f') return l - 'a' + 10;
    return -1;
}

constexpr std::array<std::int8_t, 256> kHexValue = [] {
    std::array<std::int8_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[static_cast<std::size_t>(c)] =
            static_cast<std::int8_t>(hex_value_slow(static_cast<uchar>(c)));
    return t;
}();

// Decodes four hexadecimal digits; -1 when any is not one.
inline std::int32_t hex4(const uchar* p) noexcept {
    const int a = kHexValue[p[0]], b = kHexValue[p[1]], c = kHexValue[p[2]], d = kHexValue[p[3]];
    if ((a | b | c | d) < 0) return -1;
    return (a << 12) | (b << 8) | (c << 4) | d;
}

// First byte in [p, e) that is `"`, `\` or below 0x20; e when there is none.
inline const uchar* scan_string(const uchar* p, const uchar* e) noexcept {
    while (p < e && *p != '"' && *p != '\\' && *p >= 0x20)
        ++p;
    return p;
}

inline const uchar* skip_ws(const uchar* p, const uchar* e) noexcept {
    while (p < e && is_ws(*p))
        ++p;
    return p;
}

inline const uchar* skip_digits(const uchar* p, const uchar* e) noexcept {
    while (p < e && is_digit(*p))
        ++p;
    return p;
}

void push_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A number read for its value.
struct Number {
    enum class Kind { Unsigned, Signed, Float } kind = Kind::Unsigned;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double d = 0.0;

    [[nodiscard]] std::string describe() const {
        switch (kind) {
        case Kind::Unsigned:
            return detail::describe_unsigned(u);
        case Kind::Signed:
            return detail::describe_signed(i);
        case Kind::Float:
            break;
        }
        return detail::describe_float(d);
    }
};

class Reader {
  public:
    explicit Reader(std::string_view text) noexcept
        : b_(reinterpret_cast<const uchar*>(text.data())), p_(b_), e_(b_ + text.size()) {}

    Expected<SandboxProfile, ProfileError> run() {
        SandboxProfile profile;
        if (!document(profile)) return Unexpected(make_error());
        return profile;
    }

  private:
    const uchar* const b_;
    const uchar* p_;
    const uchar* const e_;
    std::string message_;
    std::size_t offset_ = 0;
    std::string scratch_;
    std::vector<std::uint64_t> stack_; // one bit per open bracket: 1 = object

    // ---- errors -------------------------------------------------------
    bool fail(std::string_view message, const uchar* at) {
        message_.assign(message);
        offset_ = static_cast<std::size_t>(at - b_);
        return false;
    }
    bool fail(std::string&& message, const uchar* at) {
        message_ = std::move(message);
        offset_ = static_cast<std::size_t>(at - b_);
        return false;
    }
    // Error at the character at p_ (offset + 1), or at the end.
    bool fail_peek(std::string_view message) { return fail(message, p_ < e_ ? p_ + 1 : e_); }

    ProfileError make_error() const {
        const char* begin = reinterpret_cast<const char*>(b_);
        const std::size_t lines =
            static_cast<std::size_t>(std::count(begin, begin + offset_, '\n'));
        std::size_t column = offset_;
        if (lines != 0) {
            const void* last = memrchr(begin, '\n', offset_);
            column = offset_ - static_cast<std::size_t>(static_cast<const char*>(last) - begin) - 1;
        }
        return ProfileError{message_, lines + 1, column};
    }

    void ws() noexcept { p_ = skip_ws(p_, e_); }

    // ---- scalars read for their value ----------------------------------
    // The rest of `null`, `true` or `false` after its first character.
    bool ident(std::string_view rest) {
        for (char expected : rest) {
            if (p_ == e_) return fail(kEofValue, p_);
            const uchar c = *p_++;
            if (c != static_cast<uchar>(expected)) return fail(kExpectedIdent, p_);
        }
        return true;
    }

    bool hex_escape(std::uint32_t& value) {
        if (e_ - p_ < 4) {
            p_ = e_;
            return fail(kEofString, e_);
        }
        const std::int32_t v = hex4(p_);
        p_ += 4;
        if (v < 0) return fail(kInvalidEscape, p_);
        value = static_cast<std::uint32_t>(v);
        return true;
    }

    // After the backslash; decodes into scratch_, checking surrogates.
    bool escape() {
        if (p_ == e_) return fail(kEofString, e_);
        const uchar c = *p_++;
        switch (c) {
        case '"':
            scratch_ += '"';
            return true;
        case '\\':
            scratch_ += '\\';
            return true;
        case '/':
            scratch_ += '/';
            return true;
        case 'b':
            scratch_ += '\b';
            return true;
        case 'f':
            scratch_ += '\f';
            return true;
        case 'n':
            scratch_ += '\n';
            return true;
        case 'r':
            scratch_ += '\r';
            return true;
        case 't':
            scratch_ += '\t';
            return true;
        case 'u':
            break;
        default:
            return fail(kInvalidEscape, p_);
        }
        std::uint32_t n = 0;
        if (!hex_escape(n)) return false;
        if (n >= 0xDC00 && n <= 0xDFFF) return fail(kLoneSurrogate, p_);
        if (n < 0xD800 || n > 0xDBFF) {
            push_utf8(scratch_, n);
            return true;
        }
        if (p_ == e_) return fail(kEofString, e_);
        if (*p_++ != '\\') return fail(kUnexpectedEndHex, p_);
        if (p_ == e_) return fail(kEofString, e_);
        if (*p_++ != 'u') return fail(kUnexpectedEndHex, p_);
        std::uint32_t n2 = 0;
        if (!hex_escape(n2)) return false;
        if (n2 < 0xDC00 || n2 > 0xDFFF) return fail(kLoneSurrogate, p_);
        push_utf8(scratch_, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
        return true;
    }

    // p_ just past the opening quote. `out` views the input or scratch_.
    bool string(std::string_view& out) {
        const uchar* start = p_;
        bool copied = false;
        scratch_.clear();
        for (;;) {
            p_ = scan_string(p_, e_);
            if (p_ == e_) return fail(kEofString, e_);
            const uchar c = *p_;
            if (c == '"') {
                if (copied) {
                    scratch_.append(reinterpret_cast<const char*>(start),
                                    static_cast<std::size_t>(p_ - start));
                    out = scratch_;
                } else {
                    out = std::string_view(reinterpret_cast<const char*>(start),
                                           static_cast<std::size_t>(p_ - start));
                }
                ++p_;
                return true;
            }
            if (c == '\\') {
                scratch_.append(reinterpret_cast<const char*>(start),
                                static_cast<std::size_t>(p_ - start));
                copied = true;
                ++p_;
                if (!escape()) return false;
                start = p_;
                continue;
            }
            ++p_;
            return fail(kControlCharacter, p_);
        }
    }

    // p_ at the first digit (past a minus sign when `negative`).
    bool number(bool negative, Number& out) {
        const uchar* const start = negative ? p_ - 1 : p_;
        if (p_ == e_) return fail(kEofValue, p_);
        const uchar first = *p_++;
        std::uint64_t significand = 0;
        bool is_float = false;
        bool nonzero = false;
        if (first == '0') {
            if (p_ < e_ && is_digit(*p_)) return fail_peek(kInvalidNumber);
        } else if (first >= '1' && first <= '9') {
            nonzero = true;
            significand = first - '0';
            while (p_ < e_ && is_digit(*p_)) {
                const unsigned digit = *p_ - '0';
                if (significand > (UINT64_MAX - digit) / 10) {
                    is_float = true; // beyond u64: read as a double
                    p_ = skip_digits(p_, e_);
                    break;
                }
                significand = significand * 10 + digit;
                ++p_;
            }
        } else {
            return fail(kInvalidNumber, p_);
        }
        if (p_ < e_ && *p_ == '.') {
            ++p_;
            if (p_ == e_ || !is_digit(*p_)) return fail_peek(p_ == e_ ? kEofValue : kInvalidNumber);
            const uchar* digits = p_;
            p_ = skip_digits(p_, e_);
            if (!nonzero) nonzero = std::any_of(digits, p_, [](uchar c) { return c != '0'; });
            is_float = true;
        }
        if (p_ < e_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            bool positive_exp = true;
            if (p_ < e_ && (*p_ == '+' || *p_ == '-')) positive_exp = *p_++ == '+';
            if (p_ == e_) return fail(kEofValue, p_);
            const uchar c = *p_++;
            if (!is_digit(c)) return fail(kInvalidNumber, p_);
            std::int32_t exp = c - '0';
            while (p_ < e_ && is_digit(*p_)) {
                const int digit = *p_++ - '0';
                if (exp > (INT32_MAX - digit) / 10) {
                    // Exponent beyond signed 32 bits.
                    if (nonzero && positive_exp) return fail(kOutOfRange, p_);
                    p_ = skip_digits(p_, e_);
                    out.kind = Number::Kind::Float;
                    out.d = negative ? -0.0 : 0.0;
                    return true;
                }
                exp = exp * 10 + digit;
            }
            is_float = true;
        }
        if (!is_float) {
            if (!negative) {
                out.kind = Number::Kind::Unsigned;
                out.u = significand;
                return true;
            }
            if (significand != 0 && significand <= (std::uint64_t{1} << 63)) {
                out.kind = Number::Kind::Signed;
                out.i = static_cast<std::int64_t>(0 - significand);
                return true;
            }
        }
        out.kind = Number::Kind::Float;
        return to_double(start, out.d);
    }

    // Correctly rounded conversion of the number text [start, p_).
    bool to_double(const uchar* start, double& value) {
        const char* first = reinterpret_cast<const char*>(start);
        const char* last = reinterpret_cast<const char*>(p_);
        const auto res = std::from_chars(first, last, value);
        if (res.ec == std::errc{}) return true;
        // Out of range: overflow when the first significant digit's decimal
        // exponent is positive, otherwise underflow to zero.
        const bool negative = *first == '-';
        if (negative) ++first;
        std::int64_t int_digits = 0;
        std::int64_t first_nonzero = -1;
        std::int64_t index = 0;
        const char* q = first;
        for (; q < last && *q != 'e' && *q != 'E'; ++q) {
            if (*q == '.') continue;
            if (first_nonzero < 0 && *q != '0') first_nonzero = index;
            ++index;
        }
        for (const char* r = first; r < last && is_digit(static_cast<uchar>(*r)); ++r)
            ++int_digits;
        std::int64_t exp = 0;
        if (q < last) {
            ++q;
            bool neg_exp = false;
            if (*q == '+' || *q == '-') neg_exp = *q++ == '-';
            for (; q < last; ++q)
                exp = exp * 10 + (*q - '0');
            if (neg_exp) exp = -exp;
        }
        if (first_nonzero >= 0 && int_digits - 1 - first_nonzero + exp > 0)
            return fail(kOutOfRange, p_);
        value = negative ? -0.0 : 0.0;
        return true;
    }

    // A value of the wrong type at p_ (not at the end): read a scalar in
    // full, then report it; an array or object is reported before its bracket.
    bool invalid_type(std::string_view expected) {
        std::string description;
        switch (*p_) {
        case 'n':
            ++p_;
            if (!ident("ull")) return false;
            description = "null";
            break;
        case 't':
            ++p_;
            if (!ident("rue")) return false;
            description = "boolean `true`";
            break;
        case 'f':
            ++p_;
            if (!ident("alse")) return false;
            description = "boolean `false`";
            break;
        case '-':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': {
            const bool negative = *p_ == '-';
            if (negative) ++p_;
            Number n;
            if (!number(negative, n)) return false;
            description = n.describe();
            break;
        }
        case '"': {
            ++p_;
            std::string_view s;
            if (!string(s)) return false;
            description = detail::describe_string(s);
            break;
        }
        case '[':
            description = "sequence";
            break;
        case '{':
            description = "map";
            break;
        default:
            return fail_peek(kExpectedValue);
        }
        std::string message = "invalid type: ";
        message += description;
        message += ", expected ";
        message += expected;
        return fail(std::move(message), p_);
    }

    // ---- field values ---------------------------------------------------
    // A JSON string where a path or string is due; `out` views the input or
    // scratch_ until the next string is read.
    bool string_view_value(std::string_view& out, std::string_view expected) {
        ws();
        if (p_ == e_) return fail_peek(kEofValue);
        if (*p_ != '"') return invalid_type(expected);
        ++p_;
        return string(out);
    }

    bool string_value(std::string& out, std::string_view expected) {
        std::string_view s;
        if (!string_view_value(s, expected)) return false;
        out.assign(s);
        return true;
    }

    bool list_value(std::vector<std::string>& out, std::string_view element_expected) {
        ws();
        if (p_ == e_) return fail_peek(kEofValue);
        if (*p_ != '[') return invalid_type(kExpectSequence);
        ++p_;
        for (bool first = true;; first = false) {
            ws();
            if (p_ == e_) return fail_peek(kEofList);
            if (*p_ == ']') {
                ++p_;
                return true;
            }
            if (!first) {
                if (*p_ != ',') return fail_peek(kExpectedCommaList);
                ++p_;
                ws();
                if (p_ == e_) return fail_peek(kEofValue);
                if (*p_ == ']') return fail_peek(kTrailingComma);
            }
            std::string_view element;
            if (!string_view_value(element, element_expected)) return false;
            out.emplace_back(element);
        }
    }

    // An unsigned integer in [min, max], or null (none) when `nullable`.
    // `expected` names the type in errors ("u16", "a nonzero u32").
    bool bounded_value(std::optional<std::uint64_t>& out, std::uint64_t min, std::uint64_t max,
                       std::string_view expected, bool nullable = true) {
        ws();
        if (p_ == e_) return fail_peek(kEofValue);
        const uchar c = *p_;
        if (c == 'n' && nullable) {
            ++p_;
            if (!ident("ull")) return false;
            out.reset();
            return true;
        }
        if (c != '-' && !is_digit(c)) return invalid_type(expected);
        const bool negative = c == '-';
        if (negative) ++p_;
        Number n;
        if (!number(negative, n)) return false;
        if (n.kind == Number::Kind::Float) {
            return fail("invalid type: " + n.describe() + ", expected " + std::string(expected),
                        p_);
        }
        if (n.kind == Number::Kind::Unsigned && n.u >= min && n.u <= max) {
            out = n.u;
            return true;
        }
        return fail("invalid value: " + n.describe() + ", expected " + std::string(expected), p_);
    }

    template <class T>
    bool bounded_value(std::optional<T>& out, std::uint64_t min, std::string_view expected) {
        std::optional<std::uint64_t> v;
        if (!bounded_value(v, min, std::numeric_limits<T>::max(), expected)) return false;
        out = v ? std::optional<T>(static_cast<T>(*v)) : std::nullopt;
        return true;
    }

    bool bool_value(bool& out) {
        ws();
        if (p_ == e_) return fail_peek(kEofValue);
        const uchar c = *p_;
        if (c == 't' || c == 'f') {
            ++p_;
            if (!ident(c == 't' ? "rue" : "alse")) return false;
            out = c == 't';
            return true;
        }
        return invalid_type(kExpectBool);
    }

    // `{"uid": U, "gid": G}` (both required, each 0 to 4294967294), or null.
    bool run_as_value(std::optional<RunAs>& out) {
        ws();
        if (p_ == e_) return fail_peek(kEofValue);
        if (*p_ == 'n') {
            ++p_;
            if (!ident("ull")) return false;
            out.reset();
            return true;
        }
        if (*p_ != '{') return invalid_type(kExpectRunAs);
        ++p_;
        RunAs ids;
        unsigned filled = 0;
        for (bool first = true;; first = false) {
            ws();
            if (p_ == e_) return fail_peek(kEofObject);
            uchar c = *p_;
            if (c == '}') break;
            if (!first) {
                if (c != ',') return fail_peek(kExpectedCommaObject);
                ++p_;
                ws();
                if (p_ == e_) return fail_peek(kEofValue);
                c = *p_;
                if (c == '}') return fail_peek(kTrailingComma);
            }
            if (c != '"') return fail_peek(kKeyMustBeString);
            ++p_;
            std::string_view key;
            if (!string(key)) return false;
            const int member = key == "uid" ? 0 : key == "gid" ? 1 : -1;
            if (member < 0) {
                const std::string quoted = detail::quote_string(key);
                return fail("unknown field `" + quoted.substr(1, quoted.size() - 2) +
                                "`, expected `uid` or `gid`",
                            p_);
            }
            const char* name = member == 0 ? "uid" : "gid";
            if ((filled & (1u << member)) != 0) {
                ws();
                if (p_ < e_ && *p_ == '}') ++p_;
                return fail("duplicate field `" + std::string(name) + "`", p_);
            }
            ws();
            if (p_ == e_) return fail_peek(kEofObject);
            if (*p_ != ':') return fail_peek(kExpectedColon);
            ++p_;
            std::optional<std::uint64_t> id;
            if (!bounded_value(id, 0, kUnchangedId, kExpectId, false)) return false;
            if (*id == kUnchangedId) {
                return fail(std::string_view("invalid value: integer `4294967295`, "
                                             "expected a u32 below 4294967295"),
                            p_);
            }
            (member == 0 ? ids.uid : ids.gid) = static_cast<std::uint32_t>(*id);
            filled |= 1u << member;
        }
        ++p_; // }
        if ((filled & 1u) == 0) return fail(std::string_view("missing field `uid`"), p_);
        if ((filled & 2u) == 0) return fail(std::string_view("missing field `gid`"), p_);
        if (ids.gid == 0 && ids.uid != 0)
            return fail(std::string_view("`run_as` with gid 0 needs uid 0"), p_);
        out = ids;
        return true;
    }

    bool field_value(int field, SandboxProfile& profile) {
        switch (field) {
        case 0:
            return string_value(profile.worktree_path, kExpectPath);
        case 1:
            return string_value(profile.git_dir, kExpectPath);
        case 2:
            return list_value(profile.agent_config_dirs, kExpectPath);
        case 3:
            return list_value(profile.tool_dirs, kExpectPath);
        case 4:
            return list_value(profile.user_allowed_paths, kExpectPath);
        case 5:
            return list_value(profile.allowed_domains, kExpectString);
        case 6:
            return list_value(profile.env_passthrough, kExpectString);
        case 7:
            return bounded_value(profile.proxy_port, 0, kExpectU16);
        case 8:
            return bool_value(profile.allow_udp);
        case 9:
            return bool_value(profile.keep_capabilities);
        case 10:
            return bounded_value(profile.minimum_landlock_abi, 1, kExpectAbi);
        case 11:
            return bool_value(profile.log_denials);
        case 12:
            return run_as_value(profile.run_as);
        default:
            return bool_value(profile.isolate_network);
        }
    }

    // ---- values of unknown keys: checked, then dropped --------------------
    bool ignore_value();

    // ---- the document -------------------------------------------------------
    bool object_form(SandboxProfile& profile) {
        ++p_; // {
        unsigned filled = 0;
        for (bool first = true;; first = false) {
            ws();
            if (p_ == e_) return fail_peek(kEofObject);
            uchar c = *p_;
            if (c == '}') break;
            if (!first) {
                if (c != ',') return fail_peek(kExpectedCommaObject);
                ++p_;
                ws();
                if (p_ == e_) return fail_peek(kEofValue);
                c = *p_;
                if (c == '}') return fail_peek(kTrailingComma);
            }
            if (c != '"') return fail_peek(kKeyMustBeString);
            ++p_;
            std::string_view key;
            if (!string(key)) return false;
            int field = -1;
            for (int i = 0; i < static_cast<int>(kFieldNames.size()); ++i) {
                if (key == kFieldNames[static_cast<std::size_t>(i)]) {
                    field = i;
                    break;
                }
            }
            if (field >= 0 && (filled & (1u << field)) != 0) {
                ws();
                if (p_ < e_ && *p_ == '}') ++p_;
                return fail("duplicate field `" +
                                std::string(kFieldNames[static_cast<std::size_t>(field)]) + "`",
                            p_);
            }
            ws();
            if (p_ == e_) return fail_peek(kEofObject);
            if (*p_ != ':') return fail_peek(kExpectedColon);
            ++p_;
            if (field < 0) {
                if (!ignore_value()) return false;
                continue;
            }
            if (!field_value(field, profile)) return false;
            filled |= 1u << field;
        }
        ++p_; // }
        for (int i = 0; i < kProxyPort; ++i) {
            if ((filled & (1u << i)) == 0) {
                return fail("missing field `" +
                                std::string(kFieldNames[static_cast<std::size_t>(i)]) + "`",
                            p_);
            }
        }
        // Combinations refused as a whole, at the closing brace.
        if (profile.run_as && profile.keep_capabilities)
            return fail(std::string_view("`run_as` cannot be combined with `keep_capabilities`"),
                        p_);
        if (profile.isolate_network && profile.proxy_port == 0)
            return fail(std::string_view("`isolate_network` needs a `proxy_port` other than 0"),
                        p_);
        return true;
    }

    bool array_form(SandboxProfile& profile) {
        ++p_; // [
        int count = 0;
        for (; count < kArrayElements; ++count) {
            ws();
            if (p_ == e_) return fail_peek(kEofList);
            if (*p_ == ']') break;
            if (count > 0) {
                if (*p_ != ',') return fail_peek(kExpectedCommaList);
                ++p_;
                ws();
                if (p_ == e_) return fail_peek(kEofValue);
                if (*p_ == ']') return fail_peek(kTrailingComma);
            }
            if (!field_value(count, profile)) return false;
        }
        if (count < kProxyPort) {
            ++p_; // ]
            return fail("invalid length " + std::to_string(count) +
                            ", expected struct SandboxProfile with 8 elements",
                        p_);
        }
        ws();
        if (p_ == e_) return fail_peek(kEofList);
        if (*p_ == ']') {
            ++p_;
            return true;
        }
        if (*p_ == ',') {
            ++p_;
            ws();
            return fail_peek(p_ < e_ && *p_ == ']' ? kTrailingComma : kTrailingCharacters);
        }
        return fail_peek(kTrailingCharacters);
    }

    bool document(SandboxProfile& profile) {
        ws();
        if (p_ == e_) return fail_peek(kEofValue);
        bool ok = false;
        if (*p_ == '{') {
            ok = object_form(profile);
        } else if (*p_ == '[') {
            ok = array_form(profile);
        } else {
            return invalid_type(kExpectStruct);
        }
        if (!ok) return false;
        ws();
        if (p_ != e_) return fail_peek(kTrailingCharacters);
        return true;
    }
};

// Skips the digits at p; eight at a time while eight bytes remain.
[[gnu::always_inline]] inline const uchar* skip_digits_fast(const uchar* p,
                                                            const uchar* e) noexcept {
    while (e - p >= 8) {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        const std::uint64_t y = x ^ 0x3030303030303030ULL;
        // High bit set in every byte that is not a digit (carries only run
        // from a non-digit byte upwards, so the lowest flag is exact).
        const std::uint64_t non_digit = ((y + 0x7676767676767676ULL) | y) & 0x8080808080808080ULL;
        if (non_digit != 0) return p + (__builtin_ctzll(non_digit) >> 3);
        p += 8;
    }
    return skip_digits(p, e);
}

enum class Skip { Ok, EofString, ControlBefore, InvalidEscapeAt };

// 1: a one-character escape; 2: `u`; 0: no escape.
constexpr std::array<std::uint8_t, 256> kEscapeClass = [] {
    std::array<std::uint8_t, 256> t{};
    for (const char c : std::string_view("\"\\/bfnrt"))
        t[static_cast<uchar>(c)] = 1;
    t['u'] = 2;
    return t;
}();

// A string body after its opening quote, in an unknown key's value: escapes
// are checked (\u needs four hex digits; surrogates are not checked). Returns
// the cursor past the closing quote, or, with `error` set, where the error
// is found.
[[gnu::always_inline]] inline const uchar* skip_string(const uchar* p, const uchar* e,
                                                       Skip& error) noexcept {
    for (;;) {
        p = scan_string(p, e);
        if (p == e) [[unlikely]] {
            error = Skip::EofString;
            return p;
        }
        if (*p == '"') [[likely]]
            return p + 1;
        if (*p != '\\') [[unlikely]] {
            error = Skip::ControlBefore;
            return p;
        }
        if (e - p < 2) [[unlikely]] {
            error = Skip::EofString;
            return e;
        }
        const std::uint8_t kind = kEscapeClass[p[1]];
        if (kind == 1) [[likely]] {
            p += 2;
            continue;
        }
        if (kind == 0) [[unlikely]] {
            error = Skip::InvalidEscapeAt;
            return p + 2;
        }
        if (e - p < 6) [[unlikely]] {
            error = Skip::EofString;
            return e;
        }
        p += 6;
        if (hex4(p - 4) < 0) [[unlikely]] {
            error = Skip::InvalidEscapeAt;
            return p;
        }
    }
}

// The hot loop: values of unknown keys, checked for well-formedness at any
// depth with one bit per open bracket (1 = object), then dropped. Works on a
// local cursor; every exit stores it back into p_.
bool Reader::ignore_value() {
    const uchar* p = p_;
    const uchar* const e = e_;
    std::size_t depth = 0; // open brackets
    bool object = false;   // kind of the innermost open bracket
    std::uint64_t* stack = stack_.data();

    const auto push = [&](bool is_object) {
        const std::size_t word = depth >> 6;
        if (word == stack_.size()) {
            stack_.push_back(0);
            stack = stack_.data();
        }
        const std::uint64_t bit = std::uint64_t{1} << (depth & 63);
        stack[word] = is_object ? (stack[word] | bit) : (stack[word] & ~bit);
        ++depth;
        object = is_object;
    };
    const auto pop = [&] {
        --depth;
        if (depth != 0) object = (stack[(depth - 1) >> 6] >> ((depth - 1) & 63)) & 1;
    };
    const auto at = [&](std::string_view message, const uchar* where) {
        p_ = p;
        return fail(message, where);
    };
    const auto peek = [&](std::string_view message) {
        p_ = p;
        return fail(message, p < e ? p + 1 : e);
    };
    Skip skip = Skip::Ok;

    const auto string_error = [&](Skip s) {
        switch (s) {
        case Skip::EofString:
            return at(kEofString, e);
        case Skip::ControlBefore:
            return at(kControlCharacter, p); // before the character
        default:
            return at(kInvalidEscape, p);
        }
    };

value:
    if (p < e && is_ws(*p)) p = skip_ws(p + 1, e);
    if (p == e) return peek(kEofValue);
    switch (*p) {
    case '"':
        ++p;
        p = skip_string(p, e, skip);
        if (skip != Skip::Ok) [[unlikely]]
            return string_error(skip);
        goto after_value;
    case '[':
        ++p;
        push(false);
        if (p < e && is_ws(*p)) p = skip_ws(p + 1, e);
        if (p == e) return peek(kEofList);
        if (*p == ']') {
            ++p;
            pop();
            goto after_value;
        }
        goto value;
    case '{':
        ++p;
        push(true);
        if (p < e && is_ws(*p)) p = skip_ws(p + 1, e);
        if (p == e) return peek(kEofObject);
        if (*p == '}') {
            ++p;
            pop();
            goto after_value;
        }
        goto key;
    case 'n':
        if (e - p >= 4 && std::memcmp(p, "null", 4) == 0) {
            p += 4;
            goto after_value;
        }
        goto bad_word;
    case 't':
        if (e - p >= 4 && std::memcmp(p, "true", 4) == 0) {
            p += 4;
            goto after_value;
        }
        goto bad_word;
    case 'f':
        if (e - p >= 5 && std::memcmp(p, "false", 5) == 0) {
            p += 5;
            goto after_value;
        }
        goto bad_word;
    case '-':
        ++p;
        if (p == e) return at(kInvalidNumber, p);
        if (!is_digit(*p)) {
            ++p;
            return at(kInvalidNumber, p);
        }
        [[fallthrough]];
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        if (*p++ == '0') {
            if (p < e && is_digit(*p)) return peek(kInvalidNumber);
        } else {
            p = skip_digits_fast(p, e);
        }
        if (p < e && *p == '.') {
            ++p;
            if (p == e || !is_digit(*p)) return peek(kInvalidNumber);
            p = skip_digits_fast(p + 1, e);
        }
        if (p < e && (*p | 0x20) == 'e') {
            ++p;
            if (p < e && (*p == '+' || *p == '-')) ++p;
            if (p == e) return at(kInvalidNumber, p);
            if (!is_digit(*p++)) return at(kInvalidNumber, p);
            p = skip_digits_fast(p, e);
        }
        goto after_value;
    default:
        return peek(kExpectedValue);
    }

bad_word : {
    // A word starting with n, t or f that is not exactly null, true or false.
    const std::string_view word = *p == 'n' ? "null" : *p == 't' ? "true" : "false";
    ++p;
    for (const char expected : word.substr(1)) {
        if (p == e) return at(kEofValue, p);
        if (*p++ != static_cast<uchar>(expected)) return at(kExpectedIdent, p);
    }
    return at(kExpectedIdent, p); // not reached: the full word matched above
}

after_value:
    if (depth == 0) {
        p_ = p;
        return true;
    }
    if (p < e && is_ws(*p)) p = skip_ws(p + 1, e);
    if (p == e) return peek(object ? kEofObject : kEofList);
    if (*p == ',') {
        ++p;
        if (object) goto key;
        goto value;
    }
    if (*p != (object ? '}' : ']')) return peek(object ? kExpectedCommaObject : kExpectedCommaList);
    ++p;
    pop();
    goto after_value;

key:
    if (p < e && is_ws(*p)) p = skip_ws(p + 1, e);
    if (p == e) return peek(kEofObject);
    if (*p != '"') return peek(kKeyMustBeString);
    ++p;
    p = skip_string(p, e, skip);
    if (skip != Skip::Ok) [[unlikely]]
        return string_error(skip);
    if (p < e && is_ws(*p)) p = skip_ws(p + 1, e);
    if (p == e) return peek(kEofObject);
    if (*p != ':') return peek(kExpectedColon);
    ++p;
    goto value;
}

} // namespace

Expected<SandboxProfile, ProfileError> parse_profile(std::string_view text) {
    return Reader(text).run();
}

} // namespace morvik::profile
