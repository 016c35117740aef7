#include "base/escape.hpp"

#include "base/os_error.hpp"

namespace morvik {
namespace {

void append_hex(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

// The length of the well-formed UTF-8 sequence that starts `s`, or 0.
std::size_t sequence_length(std::string_view s) {
    const auto lead = static_cast<unsigned char>(s.front());
    const std::size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (n == 0 || n > s.size() || !is_valid_utf8(s.substr(0, n))) return 0;
    return n;
}

} // namespace

std::string escape_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    while (!name.empty()) {
        const auto c = static_cast<unsigned char>(name.front());
        std::size_t used = 1;
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            append_hex(out, c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const std::size_t n = sequence_length(name); n == 0) {
            append_hex(out, c);
        } else if (c == 0xC2 && static_cast<unsigned char>(name[1]) < 0xA0) {
            append_hex(out, c); // U+0080 to U+009F
            append_hex(out, static_cast<unsigned char>(name[1]));
            used = 2;
        } else {
            out.append(name.substr(0, n));
            used = n;
        }
        name.remove_prefix(used);
    }
    return out;
}

} // namespace morvik
