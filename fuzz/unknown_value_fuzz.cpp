// Differential libFuzzer target for the check of unknown-key values: the
// fast acceptance path against the exact checker.
//
// The first byte picks the input: the remaining bytes as they are, or a
// well-formed value generated from them (every value form, escapes, deep
// nesting, values spread over 64-byte blocks) with a few byte edits driven by
// the input. Checked for every input:
//   - the reader's check (fast path first) gives exactly the exact checker's
//     result: accept/reject, end or error offset, message;
//   - when the fast path accepts, the exact checker accepts with the same end;
//   - when the exact checker accepts an array or object no deeper than the
//     fast path's limit, the fast path accepts it too.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "profile/unknown_value.hpp"

namespace {

using morvik::profile::detail::AcceptFn;
using morvik::profile::detail::fast_path;
using morvik::profile::detail::check_unknown_value;
using morvik::profile::detail::kFastMaxDepth;

// Reports the broken invariant with the text it broke on.
[[noreturn]] void die(const char* what, std::string_view text) {
    std::fprintf(stderr, "invariant violated: %s\ntext (%zu bytes): ", what, text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') std::fputc(b, stderr);
        else std::fprintf(stderr, "\\x%02x", b);
    }
    std::fputc('\n', stderr);
    std::abort();
}

// Reads choices from the fuzzer's bytes; zeros once they run out.
struct Source {
    const std::uint8_t* p;
    const std::uint8_t* e;
    unsigned next(unsigned n) { return p < e ? *p++ % n : 0; }
};

void gen_string(Source& s, std::string& out) {
    out += '"';
    const unsigned len = s.next(12);
    for (unsigned i = 0; i < len; ++i) {
        switch (s.next(12)) {
        case 0: out += "\\\""; break;
        case 1: out += "\\\\"; break;
        case 2: out += "\\u00e9"; break;
        case 3: out += "\\n"; break;
        case 4: out += "\\/"; break;
        case 5: out += "\xC3\xA9"; break;
        case 6: out += "{[,:]}"; break;
        default: out += static_cast<char>('a' + s.next(26)); break;
        }
    }
    out += '"';
}

void gen_ws(Source& s, std::string& out) {
    static const char* const kWs[] = {"", "", "", " ", "\n", "\t", "\r\n  ", "                                "};
    out += kWs[s.next(8)];
}

void gen_value(Source& s, std::string& out, unsigned depth) {
    static const char* const kScalars[] = {"0", "-0", "1", "-12", "3.25", "1e5", "-2.5E-10", "0.0e+0",
                                           "12345678901234567890", "1.000000000000000001", "10", "0e0",
                                           "-0.5e-07", "7E+3", "true", "false", "null"};
    const unsigned k = s.next(depth > 40 ? 3 : 6);
    if (k == 0) {
        gen_string(s, out);
    } else if (k == 1) {
        out += kScalars[s.next(17)];
    } else if (k == 2) {
        out += kScalars[s.next(14)];
    } else if (k == 3 && depth > 8 && s.next(2) == 0) {
        // A long chain of brackets, to cross the bit stack's words.
        const unsigned n = 1 + s.next(200);
        for (unsigned i = 0; i < n; ++i) out += '[';
        gen_value(s, out, depth + n);
        for (unsigned i = 0; i < n; ++i) out += ']';
    } else if (k == 3 || k == 4) {
        out += '[';
        const unsigned n = s.next(5);
        for (unsigned i = 0; i < n; ++i) {
            if (i) out += ',';
            gen_ws(s, out);
            gen_value(s, out, depth + 1);
            gen_ws(s, out);
        }
        out += ']';
    } else {
        out += '{';
        const unsigned n = s.next(5);
        for (unsigned i = 0; i < n; ++i) {
            if (i) out += ',';
            gen_ws(s, out);
            gen_string(s, out);
            gen_ws(s, out);
            out += ':';
            gen_ws(s, out);
            gen_value(s, out, depth + 1);
        }
        out += '}';
    }
}

// Edits that make well-formed text slightly wrong, or wrong at a distance.
void mutate(Source& s, std::string& text) {
    static const char kBytes[] = {'"', '\\', '[', ']', '{', '}', ',', ':', ' ', '0', '1', '.', 'e', 'E', '-', '+', 'u',
                                  'x', 't', 'f', 'n', 'l', 's', 'a', '/', '\x01', '\t', '\x0c', '\x1a', '\x7f', '\xc3'};
    const unsigned edits = s.next(4);
    for (unsigned i = 0; i < edits && !text.empty(); ++i) {
        const std::size_t at = (s.next(256) * 256u + s.next(256)) % text.size();
        const char c = kBytes[s.next(sizeof kBytes)];
        switch (s.next(4)) {
        case 0: text[at] = c; break;
        case 1: text.insert(at, 1, c); break;
        case 2: text.erase(at, 1); break;
        default: text.resize(at); break;
        }
    }
}

// Maximum bracket depth of a well-formed value.
std::size_t max_depth(std::string_view v) {
    std::size_t depth = 0, most = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            most = std::max(most, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return most;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::string text;
    if (data[0] & 1) {
        text.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
        Source s{data + 1, data + size};
        gen_ws(s, text);
        const unsigned values = 1 + s.next(3);
        text += '[';
        for (unsigned i = 0; i < values; ++i) {
            if (i) text += ',';
            gen_value(s, text, 1);
        }
        text += ']';
        if (data[0] & 2) mutate(s, text);
    }

    const auto exact = check_unknown_value(text, 0, false);
    if (!(check_unknown_value(text, 0, true) == exact)) die("fast path changes the result", text);

    std::size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t' || text[start] == '\n' || text[start] == '\r')) ++start;
    if (start == text.size() || (text[start] != '[' && text[start] != '{')) return 0;
    const auto* b = reinterpret_cast<const unsigned char*>(text.data());
    const AcceptFn accept = fast_path();
    if (accept == nullptr) return 0;
    const unsigned char* end = accept(b + start, b + text.size());
    if (end != nullptr) {
        if (!exact.ok) die("fast path accepts what the exact checker rejects", text);
        if (static_cast<std::size_t>(end - b) != exact.offset) die("fast path ends elsewhere", text);
    } else if (exact.ok && max_depth(std::string_view(text).substr(start, exact.offset - start)) <= kFastMaxDepth) {
        die("fast path declines a well-formed value", text);
    }
    return 0;
}
