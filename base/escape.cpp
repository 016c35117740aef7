#include "base/escape.hpp"

#include "base/utf8.hpp"

namespace morvik {
namespace {

void append_hex(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

} // namespace

std::string escape_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const Utf8Step step = decode_utf8(name, i);
        const char32_t c = step.code_point;
        if (!step.valid || c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            // Control characters by name where they have a short one, every
            // other control character and every invalid byte as its bytes.
            if (c == '\n') {
                out += "\\n";
            } else if (c == '\t') {
                out += "\\t";
            } else {
                for (std::size_t k = 0; k < step.length; ++k)
                    append_hex(out, static_cast<unsigned char>(name[i + k]));
            }
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out.append(name.substr(i, step.length));
        }
        i += step.length;
    }
    return out;
}

void append_json_string(std::string& out, std::string_view text) {
    std::string valid;
    append_utf8_lossy(valid, text);
    out += '"';
    for (const char c : valid) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

} // namespace morvik
