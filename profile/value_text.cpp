#include "profile/value_text.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "base/utf8.hpp"

namespace morvik::profile::detail {

std::string format_float(double value) {
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e±XX.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
    std::string out;
    if (!sci.empty() && sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    std::string_view exp_text = sci.substr(e_pos + 1);
    if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    if (exponent >= -5 && exponent <= 15) {
        if (exponent >= 0) {
            const auto int_len = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= int_len) {
                out += digits;
                out.append(int_len - digits.size(), '0');
                out += ".0";
            } else {
                out.append(digits, 0, int_len);
                out += '.';
                out.append(digits, int_len);
            }
        } else {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        }
        return out;
    }
    out += digits[0];
    if (digits.size() > 1) {
        out += '.';
        out.append(digits, 1);
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    out += std::to_string(std::abs(exponent));
    return out;
}

namespace {

// Non-printable beyond the control characters: a small set of invisible
// format and separator characters (a choice of this reader).
bool is_non_printable(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;
    switch (cp) {
    case 0x00AD:
    case 0x061C:
    case 0x180E:
    case 0xFEFF:
        return true;
    default:
        break;
    }
    if (cp >= 0x200B && cp <= 0x200F) return true;
    if (cp >= 0x2028 && cp <= 0x202E) return true;
    if (cp >= 0x2060 && cp <= 0x206F) return true;
    if (cp >= 0xFFF9 && cp <= 0xFFFB) return true;
    if ((cp & 0xFFFE) == 0xFFFE) return true;        // noncharacters U+xxFFFE/F
    if (cp >= 0xE0000 && cp <= 0xE0FFF) return true; // tags, variation selectors supplement
    return false;
}

} // namespace

std::string quote_string(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const Utf8Step step = decode_utf8(text, i);
        const std::size_t len = step.length;
        if (!step.valid) {
            out += "\xEF\xBF\xBD";
            i += len;
            continue;
        }
        const char32_t cp = step.code_point;
        switch (cp) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case 0:
            out += "\\0";
            break;
        default:
            if (is_non_printable(cp)) {
                char buf[16];
                const int n = std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
                out.append(buf, static_cast<std::size_t>(n));
            } else {
                out.append(text.substr(i, len));
            }
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string describe_unsigned(std::uint64_t value) {
    return "integer `" + std::to_string(value) + "`";
}
std::string describe_signed(std::int64_t value) {
    return "integer `" + std::to_string(value) + "`";
}
std::string describe_float(double value) {
    return "floating point `" + format_float(value) + "`";
}
std::string describe_string(std::string_view text) {
    return "string " + quote_string(text);
}

} // namespace morvik::profile::detail
