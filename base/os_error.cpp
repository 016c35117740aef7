#include "base/os_error.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

// The XSI variant of strerror_r. With _GNU_SOURCE (always on under g++) the
// public name resolves to the GNU variant, which returns a pointer instead.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace morvik {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when the bytes
// there do not start one. On 0, `bad` is set to the length of the maximal
// invalid subpart to skip (at least 1).
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::size_t& bad) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    bad = 1;
    if (b0 < 0x80) return 1;
    std::size_t need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size()) {
            bad = k;
            return 0;
        }
        const unsigned char b = byte(i + k);
        const unsigned char l = (k == 1) ? lo : 0x80;
        const unsigned char h = (k == 1) ? hi : 0xBF;
        if (b < l || b > h) {
            bad = k;
            return 0;
        }
    }
    return need + 1;
}

} // namespace

bool is_valid_utf8(std::string_view text) noexcept {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        // Skip ASCII eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        std::size_t bad = 0;
        const std::size_t len = utf8_sequence(text, i, bad);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

void append_utf8_lossy(std::string& out, std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t bad = 0;
        const std::size_t len = utf8_sequence(text, i, bad);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            i += bad;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
}

std::string errno_description(int code) {
    char buf[1024] = {};
    const int rc = __xpg_strerror_r(code, buf, sizeof buf);
    if (rc < 0) {
        const int err = errno;
        if (err != ERANGE) {
            return "OS error " + std::to_string(code) + " (strerror_r returned error " +
                   std::to_string(err) + ")";
        }
    }
    std::string out;
    append_utf8_lossy(out, std::string_view(buf, ::strnlen(buf, sizeof buf)));
    return out;
}

std::string OsError::to_string() const {
    return errno_description(code) + " (os error " + std::to_string(code) + ")";
}

} // namespace morvik
