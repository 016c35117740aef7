// The profile reader: one JSON grammar, read in one forward pass over the
// text in memory, feeding the fields of a SandboxProfile.
//
// Every value is read in one of two modes:
//   typed    a value the profile uses (a field, the document itself, the
//            members of run_as): strings are decoded and surrogate escapes
//            must pair up; numbers get their value (out of the double range:
//            "number out of range"); a number or word cut off by the end is
//            "EOF while parsing a value"; after a comma, a closing bracket is
//            "trailing comma" and the end "EOF while parsing a value".
//   checked  the value of an unknown key, dropped after reading: surrogates
//            are not paired, numbers only follow the grammar (cut off:
//            "invalid number"), and after a comma a closing bracket is not a
//            value ("expected value") or not a key ("key must be a string").
//            It may nest to any depth: its open brackets are kept on a bit
//            stack, not on the call stack.
// A value of the wrong type is described after a scalar is read in full; an
// array or object is described at its bracket without being read.
//
// Errors carry a byte offset i, from which line (1 + line feeds before i) and
// column (bytes since the last of them) are derived. i is one of:
//   at      a character that does not fit: its offset + 1 (at the end of the
//           text, the text's length);
//   end     the text ended where more was due: the text's length;
//   past    just past what was read: a key's closing quote, a scalar, a
//           closing bracket (a duplicate key also takes whitespace and a `}`
//           after it);
//   before  a character looked at but not read: the bracket of an array or
//           object of the wrong type, and a raw control character in a
//           checked string (in a typed one it is "at").
#include "profile/parse_profile.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "base/utf8.hpp"

namespace morvik::profile {

std::string ProfileError::to_string() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

using uchar = unsigned char;

constexpr std::array<std::string_view, 2> kIds = {"uid", "gid"};
// The set*id calls read this id as "leave unchanged".
constexpr std::uint64_t kUnchangedId = 4294967295;

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr const char* kEndOfHex = "unexpected end of hex escape";
constexpr const char* kPath = "path string";
constexpr const char* kString = "a string";

bool is_digit(uchar c) {
    return c >= '0' && c <= '9';
}

// Shortest round-trip digits; fixed notation with at least one decimal when
// the first significant digit's exponent is -5 to 15 (8080.0, 0.00001),
// otherwise d[.ddd]e±X (1e+16, 1.5e-7).
std::string format_float(double value) {
    char buf[64];
    char* end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific).ptr;
    char* mark = std::find(buf, end, 'e'); // e+XX or e-XX
    int exponent = 0;
    std::from_chars(mark + 1 + (mark[1] == '+'), end, exponent);
    if (exponent < -5 || exponent > 15) {
        char* digits = mark + 2;
        while (digits + 1 < end && *digits == '0')
            ++digits;
        return std::string(buf, mark + 2) + std::string(digits, end);
    }
    end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed).ptr;
    std::string out(buf, end);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

// Code points shown as \u{hex} in quoted text besides the named escapes:
// controls and invisible format, separator and noncharacter code points.
bool is_hidden(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || cp == 0x61C || cp == 0x180E ||
           cp == 0xFEFF || (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
           (cp >= 0x2060 && cp <= 0x206F) || (cp >= 0xFFF9 && cp <= 0xFFFB) ||
           (cp & 0xFFFE) == 0xFFFE || (cp >= 0xE0000 && cp <= 0xE0FFF);
}

// `text` escaped for a one-line message (without quotes): `"` and `\` get a
// backslash, tab, line feed, carriage return and NUL show as \t \n \r \0,
// hidden code points as \u{hex}, bytes that are not UTF-8 as U+FFFD.
std::string escape_text(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Step step = decode_utf8(text, i);
        const char32_t cp = step.code_point;
        const std::string_view named = cp == '"'    ? "\\\""
                                       : cp == '\\' ? "\\\\"
                                       : cp == '\t' ? "\\t"
                                       : cp == '\n' ? "\\n"
                                       : cp == '\r' ? "\\r"
                                       : cp == 0    ? "\\0"
                                                    : "";
        if (!step.valid) {
            out += "\xEF\xBF\xBD";
        } else if (!named.empty()) {
            out += named;
        } else if (is_hidden(cp)) {
            char buf[16];
            out.append(buf, static_cast<std::size_t>(std::snprintf(buf, sizeof buf, "\\u{%x}",
                                                                   static_cast<unsigned>(cp))));
        } else {
            out.append(text.substr(i, step.length));
        }
        i += step.length;
    }
    return out;
}

void push_utf8(std::string& out, std::uint32_t cp) {
    static constexpr std::array<std::uint32_t, 4> kLead = {0, 0xC0, 0xE0, 0xF0};
    const int tail = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[static_cast<std::size_t>(tail)] | (cp >> (6 * tail)));
    for (int i = tail - 1; i >= 0; --i)
        out += static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F));
}

// A scalar read in full, or an array or object not yet entered.
struct Value {
    enum class Kind { Null, Bool, Unsigned, Signed, Float, String, Array, Object } kind{};
    bool boolean = false;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double d = 0;
    std::string_view text; // String: the input, or the reader's scratch buffer

    [[nodiscard]] std::string describe() const {
        switch (kind) {
        case Kind::Null:
            return "null";
        case Kind::Bool:
            return boolean ? "boolean `true`" : "boolean `false`";
        case Kind::Unsigned:
            return "integer `" + std::to_string(u) + "`";
        case Kind::Signed:
            return "integer `" + std::to_string(i) + "`";
        case Kind::Float:
            return "floating point `" + format_float(d) + "`";
        case Kind::String:
            return "string \"" + escape_text(text) + "\"";
        case Kind::Array:
            return "sequence";
        case Kind::Object:
            break;
        }
        return "map";
    }
};

class Reader {
  public:
    Reader(std::string_view text, std::vector<std::string>* unknown_keys)
        : b_(reinterpret_cast<const uchar*>(text.data())), p_(b_), e_(b_ + text.size()),
          unknown_keys_(unknown_keys) {}

    Expected<SandboxProfile, ProfileError> run() {
        SandboxProfile profile;
        if (document(profile)) return profile;
        const auto lines = static_cast<std::size_t>(std::count(b_, b_ + offset_, '\n'));
        const uchar* line = b_ + offset_;
        while (line > b_ && line[-1] != '\n')
            --line;
        return Unexpected(
            ProfileError{message_, lines + 1, static_cast<std::size_t>(b_ + offset_ - line)});
    }

  private:
    const uchar* const b_;
    const uchar* p_;
    const uchar* const e_;
    std::string message_;
    std::size_t offset_ = 0;
    std::string scratch_;
    std::vector<bool> open_;                 // a checked value's open brackets: true = object
    std::vector<std::string>* unknown_keys_; // the document's dropped keys, when asked for

    bool fail(std::string message, const uchar* at) {
        message_ = std::move(message);
        offset_ = static_cast<std::size_t>(at - b_);
        return false;
    }
    bool fail_at(std::string message) { return fail(std::move(message), p_ < e_ ? p_ + 1 : e_); }
    bool eof() const { return p_ == e_; }
    // The scans keep their cursor in a local: bytes read through p_ could alias p_.
    void ws() {
        const uchar* p = p_;
        while (p < e_ && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
        p_ = p;
    }
    void digits() {
        const uchar* p = p_;
        while (p < e_ && is_digit(*p))
            ++p;
        p_ = p;
    }

    // ---- the grammar -------------------------------------------------------

    // The rest of `null`, `true` or `false`, p_ on its first letter.
    bool word(std::string_view rest) {
        for (const char c : rest) {
            if (eof()) return fail(kEofValue, e_);
            if (*p_++ != static_cast<uchar>(c)) return fail("expected ident", p_);
        }
        return true;
    }

    // Four hexadecimal digits after `\u`.
    bool hex(std::uint32_t& out) {
        if (e_ - p_ < 4) return fail(kEofString, e_);
        bool valid = true;
        out = 0;
        for (const uchar* end = p_ + 4; p_ < end; ++p_) {
            const uchar lower = *p_ | 0x20;
            valid = valid && (is_digit(*p_) || (lower >= 'a' && lower <= 'f'));
            out = (out << 4) | ((is_digit(*p_) ? *p_ - '0' : lower - 'a' + 10u) & 0xF);
        }
        return valid || fail("invalid escape", p_);
    }

    // An escape after its backslash, decoded into scratch_.
    bool escape(bool typed) {
        if (eof()) return fail(kEofString, e_);
        const uchar c = *p_++;
        const std::size_t named = std::string_view("\"\\/bfnrt").find(static_cast<char>(c));
        if (named != std::string_view::npos) {
            scratch_ += "\"\\/\b\f\n\r\t"[named];
            return true;
        }
        std::uint32_t cp = 0;
        if (c != 'u') return fail("invalid escape", p_);
        if (!hex(cp)) return false;
        if (typed && cp >= 0xD800 && cp <= 0xDFFF) {
            if (cp >= 0xDC00) return fail(kLoneSurrogate, p_);
            for (const char expected : std::string_view("\\u")) {
                if (eof()) return fail(kEofString, e_);
                if (*p_++ != static_cast<uchar>(expected)) return fail(kEndOfHex, p_);
            }
            std::uint32_t low = 0;
            if (!hex(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail(kLoneSurrogate, p_);
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        push_utf8(scratch_, cp);
        return true;
    }

    // A string after its opening quote, decoded into scratch_.
    bool string(bool typed, std::string_view& out) {
        scratch_.clear();
        for (;;) {
            const uchar* p = p_;
            while (p < e_ && *p != '"' && *p != '\\' && *p >= 0x20)
                ++p;
            if (p == e_) return fail(kEofString, e_);
            if (*p < 0x20) {
                return fail("control character (\\u0000-\\u001F) found while parsing a string",
                            typed ? p + 1 : p);
            }
            const std::string_view run(reinterpret_cast<const char*>(p_),
                                       static_cast<std::size_t>(p - p_));
            p_ = p + 1;
            if (*p == '"' && scratch_.empty()) { // no escape: the text itself
                out = run;
                return true;
            }
            scratch_ += run;
            if (*p == '"') {
                out = scratch_;
                return true;
            }
            if (!escape(typed)) return false;
        }
    }

    // A number, p_ on its minus sign or first digit.
    bool number(bool typed, Value& v) {
        const uchar* const start = p_;
        const bool negative = *p_ == '-';
        const char* cut = typed ? kEofValue : kInvalidNumber;
        p_ += negative;
        if (eof()) return fail(cut, e_);
        const uchar* const int_start = p_;
        if (!is_digit(*p_++)) return fail(kInvalidNumber, p_);
        if (*int_start != '0') digits();
        if (*int_start == '0' && p_ < e_ && is_digit(*p_)) return fail_at(kInvalidNumber);
        const uchar* const int_end = p_;
        if (p_ < e_ && *p_ == '.') {
            ++p_;
            if (eof()) return fail(cut, e_);
            if (!is_digit(*p_)) return fail_at(kInvalidNumber);
            digits();
        }
        const uchar* const mantissa_end = p_;
        std::int64_t exponent = 0;
        if (p_ < e_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            const bool negative_exponent = p_ < e_ && *p_ == '-';
            if (p_ < e_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (eof()) return fail(cut, e_);
            if (!is_digit(*p_)) return fail(kInvalidNumber, p_ + 1);
            // An exponent beyond 32 bits makes the number 0 or too large, decided at
            // the digit that takes it there.
            for (; p_ < e_ && is_digit(*p_) && typed; ++p_) {
                exponent = exponent * 10 + (*p_ - '0');
                if (exponent <= INT32_MAX) continue;
                ++p_;
                if (!negative_exponent && std::any_of(int_start, mantissa_end,
                                                      [](uchar c) { return c >= '1' && c <= '9'; }))
                    return fail("number out of range", p_);
                digits();
                v.kind = Value::Kind::Float;
                v.d = negative ? -0.0 : 0.0;
                return true;
            }
            digits();
            if (negative_exponent) exponent = -exponent;
        }
        if (!typed) return true;
        const char* first = reinterpret_cast<const char*>(start);
        const char* last = reinterpret_cast<const char*>(p_);
        if (int_end == p_) {
            std::uint64_t u = 0;
            const bool fits = std::from_chars(first + negative, last, u).ec == std::errc{};
            if (fits && !negative) {
                v.kind = Value::Kind::Unsigned;
                v.u = u;
                return true;
            }
            if (fits && u != 0 && u <= std::uint64_t{1} << 63) {
                v.kind = Value::Kind::Signed;
                v.i = static_cast<std::int64_t>(0 - u);
                return true;
            }
        }
        v.kind = Value::Kind::Float;
        if (std::from_chars(first, last, v.d).ec == std::errc{}) return true;
        // Beyond the double range: too large when the first significant digit
        // stands left of the point, else 0.
        const uchar* lead = int_start;
        while (lead < p_ && (*lead == '0' || *lead == '.'))
            ++lead;
        exponent += *int_start != '0' ? int_end - int_start - 1 : int_start + 1 - lead;
        if (exponent > 0) return fail("number out of range", p_);
        v.d = negative ? -0.0 : 0.0;
        return true;
    }

    // A scalar read in full, p_ on its first character.
    bool scalar(bool typed, Value& v) {
        const uchar c = *p_;
        if (c == '"') {
            ++p_;
            v.kind = Value::Kind::String;
            return string(typed, v.text);
        }
        if (c == '-' || is_digit(c)) return number(typed, v);
        const std::string_view rest = c == 'n' ? "ull" : c == 't' ? "rue" : c == 'f' ? "alse" : "";
        if (rest.empty()) return fail_at("expected value");
        v.kind = c == 'n' ? Value::Kind::Null : Value::Kind::Bool;
        v.boolean = c == 't';
        ++p_;
        return word(rest);
    }

    // A typed value is due: a scalar, or an array or object with p_ on its bracket.
    bool value(Value& v) {
        ws();
        if (eof()) return fail(kEofValue, e_);
        if (*p_ == '[' || *p_ == '{') {
            v.kind = *p_ == '[' ? Value::Kind::Array : Value::Kind::Object;
            return true;
        }
        return scalar(true, v);
    }

    // Before each item of an array or object whose bracket was read: `end` when
    // `close` ends it; otherwise an object's key has been read into `key`.
    bool item(uchar close, bool typed, bool& first, bool& end, std::string_view& key) {
        const bool object = close == '}';
        ws();
        if (eof()) return fail(object ? kEofObject : "EOF while parsing a list", e_);
        end = *p_ == close;
        if (end) {
            ++p_;
            return true;
        }
        if (!first) {
            if (*p_ != ',') return fail_at(object ? "expected `,` or `}`" : "expected `,` or `]`");
            ++p_;
            ws();
            if (typed && eof()) return fail(kEofValue, e_);
            if (typed && *p_ == close) return fail_at("trailing comma");
        }
        first = false;
        if (!object) return true;
        ws();
        if (eof()) return fail(kEofObject, e_);
        if (*p_ != '"') return fail_at("key must be a string");
        ++p_;
        return string(typed, key);
    }

    bool colon() {
        ws();
        if (eof()) return fail(kEofObject, e_);
        if (*p_ != ':') return fail_at("expected `:`");
        ++p_;
        return true;
    }

    // A checked value, dropped.
    bool skip_value() {
        open_.clear();
        bool first = false;
        bool end = false;
        std::string_view key;
        Value v;
        for (;;) {
            ws();
            if (eof()) return fail(kEofValue, e_);
            if (*p_ == '[' || *p_ == '{') {
                open_.push_back(*p_++ == '{');
                first = true;
            } else if (!scalar(false, v)) {
                return false;
            }
            for (;;) {
                if (open_.empty()) return true;
                if (!item(open_.back() ? '}' : ']', false, first, end, key)) return false;
                if (!end) break;
                open_.pop_back();
                first = false;
            }
            if (open_.back() && !colon()) return false;
        }
    }

    // The members of an object whose value is due (at most once each of
    // `names`, the first `required` of them required). An unknown key's value is
    // dropped, or refused when `expected` lists the names.
    template <class ReadField>
    bool members(std::span<const std::string_view> names, std::size_t required,
                 const char* expected, ReadField read) {
        ++p_; // {
        std::uint32_t filled = 0;
        bool first = true;
        bool end = false;
        std::string_view key;
        for (;;) {
            if (!item('}', true, first, end, key)) return false;
            if (end) break;
            const auto i = static_cast<std::size_t>(std::find(names.begin(), names.end(), key) -
                                                    names.begin());
            if (i == names.size() && expected != nullptr)
                return fail("unknown field `" + escape_text(key) + "`, expected " + expected, p_);
            if (i == names.size() && unknown_keys_ != nullptr) unknown_keys_->emplace_back(key);
            if (i < names.size() && (filled >> i & 1) != 0) {
                ws();
                if (p_ < e_ && *p_ == '}') ++p_;
                return fail("duplicate field `" + std::string(names[i]) + "`", p_);
            }
            if (!colon()) return false;
            if (i == names.size() ? !skip_value() : !read(i)) return false;
            filled |= i < names.size() ? 1u << i : 0;
        }
        for (std::size_t i = 0; i < required; ++i) {
            if ((filled >> i & 1) == 0)
                return fail("missing field `" + std::string(names[i]) + "`", p_);
        }
        return true;
    }

    // ---- the profile's values ---------------------------------------------

    bool wrong_type(const Value& v, std::string_view expected) {
        return fail("invalid type: " + v.describe() + ", expected " + std::string(expected), p_);
    }

    bool text(std::string& out, const char* expected) {
        Value v;
        if (!value(v)) return false;
        if (v.kind != Value::Kind::String) return wrong_type(v, expected);
        out = v.text;
        return true;
    }

    bool list(std::vector<std::string>& out, const char* expected) {
        Value v;
        if (!value(v)) return false;
        if (v.kind != Value::Kind::Array) return wrong_type(v, "a sequence");
        ++p_;
        bool first = true;
        bool end = false;
        std::string_view unused;
        for (;;) {
            if (!item(']', true, first, end, unused)) return false;
            if (end) return true;
            if (!text(out.emplace_back(), expected)) return false;
        }
    }

    // An integer from `min` to `max`, or null (none) when `nullable`.
    bool integer(std::optional<std::uint64_t>& out, std::uint64_t min, std::uint64_t max,
                 std::string_view expected, bool nullable = true) {
        Value v;
        if (!value(v)) return false;
        if (v.kind == Value::Kind::Null && nullable) {
            out.reset();
            return true;
        }
        if (v.kind != Value::Kind::Unsigned && v.kind != Value::Kind::Signed)
            return wrong_type(v, expected);
        if (v.kind == Value::Kind::Unsigned && v.u >= min && v.u <= max) {
            out = v.u;
            return true;
        }
        return fail("invalid value: " + v.describe() + ", expected " + std::string(expected), p_);
    }

    template <class T>
    bool integer(std::optional<T>& out, std::uint64_t min, std::string_view expected) {
        std::optional<std::uint64_t> wide;
        if (!integer(wide, min, std::numeric_limits<T>::max(), expected)) return false;
        out = wide ? std::optional<T>(static_cast<T>(*wide)) : std::nullopt;
        return true;
    }

    bool boolean(bool& out) {
        Value v;
        if (!value(v)) return false;
        if (v.kind != Value::Kind::Bool) return wrong_type(v, "a boolean");
        out = v.boolean;
        return true;
    }

    // `{"uid": U, "gid": G}`, each 0 to 4294967294, gid 0 only with uid 0; or null.
    bool run_as(std::optional<RunAs>& out) {
        Value v;
        if (!value(v)) return false;
        if (v.kind == Value::Kind::Null) {
            out.reset();
            return true;
        }
        if (v.kind != Value::Kind::Object) return wrong_type(v, "struct RunAs");
        RunAs ids;
        const auto read_id = [&](std::size_t i) {
            std::optional<std::uint64_t> id;
            if (!integer(id, 0, kUnchangedId, "u32", false)) return false;
            if (*id == kUnchangedId) {
                return fail("invalid value: integer `4294967295`, expected a u32 below 4294967295",
                            p_);
            }
            (i == 0 ? ids.uid : ids.gid) = static_cast<std::uint32_t>(*id);
            return true;
        };
        if (!members(kIds, 2, "`uid` or `gid`", read_id)) return false;
        if (ids.gid == 0 && ids.uid != 0) return fail("`run_as` with gid 0 needs uid 0", p_);
        out = ids;
        return true;
    }

    bool field(std::size_t i, SandboxProfile& p) {
        switch (i) {
        case 0:
            return text(p.worktree_path, kPath);
        case 1:
            return text(p.git_dir, kPath);
        case 2:
            return list(p.agent_config_dirs, kPath);
        case 3:
            return list(p.tool_dirs, kPath);
        case 4:
            return list(p.user_allowed_paths, kPath);
        case 5:
            return list(p.allowed_domains, kString);
        case 6:
            return list(p.env_passthrough, kString);
        case 7:
            return integer(p.proxy_port, 0, "u16");
        case 8:
            return boolean(p.allow_udp);
        case 9:
            return boolean(p.keep_capabilities);
        case 10:
            return integer(p.minimum_landlock_abi, 1, "a nonzero u32");
        case 11:
            return boolean(p.log_denials);
        case 12:
            return run_as(p.run_as);
        default:
            return boolean(p.isolate_network);
        }
    }

    bool object_form(SandboxProfile& p) {
        if (!members(kProfileKeys, 7, nullptr, [&](std::size_t i) { return field(i, p); }))
            return false;
        // Combinations refused as a whole, at the closing brace.
        if (p.run_as && p.keep_capabilities)
            return fail("`run_as` cannot be combined with `keep_capabilities`", p_);
        if (p.isolate_network && p.proxy_port == 0)
            return fail("`isolate_network` needs a `proxy_port` other than 0", p_);
        return true;
    }

    // The first seven or eight fields by position.
    bool array_form(SandboxProfile& p) {
        ++p_; // [
        bool first = true;
        bool end = false;
        std::string_view unused;
        std::size_t count = 0;
        for (; count < 8; ++count) {
            if (!item(']', true, first, end, unused)) return false;
            if (end) break;
            if (!field(count, p)) return false;
        }
        if (end && count < 7) {
            return fail("invalid length " + std::to_string(count) +
                            ", expected struct SandboxProfile with 8 elements",
                        p_);
        }
        if (end) return true;
        // After the eighth element only `]` may follow.
        ws();
        if (eof()) return fail("EOF while parsing a list", e_);
        if (*p_ == ']') {
            ++p_;
            return true;
        }
        if (*p_ == ',') {
            ++p_;
            ws();
            return fail_at(p_ < e_ && *p_ == ']' ? "trailing comma" : "trailing characters");
        }
        return fail_at("trailing characters");
    }

    bool document(SandboxProfile& p) {
        Value v;
        if (!value(v)) return false;
        const bool read = v.kind == Value::Kind::Object  ? object_form(p)
                          : v.kind == Value::Kind::Array ? array_form(p)
                                                         : wrong_type(v, "struct SandboxProfile");
        if (!read) return false;
        ws();
        return eof() || fail_at("trailing characters");
    }
};

} // namespace

Expected<SandboxProfile, ProfileError> parse_profile(std::string_view text,
                                                     std::vector<std::string>* unknown_keys) {
    return Reader(text, unknown_keys).run();
}

} // namespace morvik::profile
