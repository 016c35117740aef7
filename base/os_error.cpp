#include "base/os_error.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/utf8.hpp"

// The XSI variant of strerror_r. With _GNU_SOURCE (always on under g++) the
// public name resolves to the GNU variant, which returns a pointer instead.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace morvik {
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
