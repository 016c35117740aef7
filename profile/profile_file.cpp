#include "profile/profile_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/utf8.hpp"

#include "base/unique_fd.hpp"

namespace morvik::profile {

std::string ReadError::to_string() const {
    if (is_invalid_utf8()) return "stream did not contain valid UTF-8";
    return OsError{code_}.to_string();
}

Expected<std::string, ReadError> read_profile_file(const char* path) {
    UniqueFd fd;
    {
        int raw;
        do {
            raw = ::open(path, O_RDONLY | O_CLOEXEC);
        } while (raw == -1 && errno == EINTR);
        if (raw == -1) return Unexpected(ReadError::os(errno));
        fd.reset(raw);
    }

    // The size is only a hint for the first allocation: the file may change
    // while it is read, and pipes report no size at all.
    std::string text;
    struct stat st {};
    std::size_t capacity = 4096;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        capacity = static_cast<std::size_t>(st.st_size) + 1;
    }
    std::size_t used = 0;
    text.resize(capacity);
    for (;;) {
        if (used == text.size()) text.resize(text.size() * 2);
        const ssize_t n = ::read(fd.get(), text.data() + used, text.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Unexpected(ReadError::os(errno));
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    text.resize(used);
    if (!is_valid_utf8(text)) return Unexpected(ReadError::invalid_utf8());
    return text;
}

} // namespace morvik::profile
