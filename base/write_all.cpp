#include "base/write_all.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace morvik {

int write_all(int fd, std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

void write_stderr_line(std::string_view line) {
    std::string text(line);
    text += '\n';
    (void)write_all(2, text);
}

} // namespace morvik
