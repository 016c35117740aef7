#include "profile/profile_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

#include "base/utf8.hpp"

#include "base/unique_fd.hpp"

namespace morvik::profile {

std::string ReadError::to_string() const {
    if (is_invalid_utf8()) return "stream did not contain valid UTF-8";
    if (is_too_large()) return "larger than 64 MiB";
    return OsError{code_}.to_string();
}

namespace {

// read(2), repeated when interrupted.
ssize_t read_some(int fd, char* buf, std::size_t size) {
    ssize_t n;
    do {
        n = ::read(fd, buf, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Reads to the end into `text`, sized first to `hint` bytes (a regular
// file's size, so that one allocation holds it). A file that turns out
// larger than the hint, and every stream, grows by doubling up to the bound.
Expected<void, ReadError> read_all(int fd, std::size_t hint, std::string& text) {
    text.resize(hint);
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) {
            // Full: one byte more tells the end from a larger file.
            char extra;
            const ssize_t n = read_some(fd, &extra, 1);
            if (n < 0) return Unexpected(ReadError::os(errno));
            if (n == 0) break;
            if (text.size() >= kMaxProfileSize) return Unexpected(ReadError::too_large());
            text.resize(std::min(text.size() * 2, kMaxProfileSize));
            text[used++] = extra;
            continue;
        }
        const ssize_t n = read_some(fd, text.data() + used, text.size() - used);
        if (n < 0) return Unexpected(ReadError::os(errno));
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    text.resize(used);
    return {};
}

} // namespace

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
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Unexpected(ReadError::os(errno));
    std::size_t hint = 64 * 1024;
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        if (static_cast<std::uint64_t>(st.st_size) > kMaxProfileSize) {
            return Unexpected(ReadError::too_large());
        }
        hint = static_cast<std::size_t>(st.st_size);
    }
    std::string text;
    try {
        if (auto r = read_all(fd.get(), hint, text); !r) return Unexpected(r.error());
    } catch (const std::bad_alloc&) {
        return Unexpected(ReadError::os(ENOMEM));
    }
    if (!is_valid_utf8(text)) return Unexpected(ReadError::invalid_utf8());
    return text;
}

} // namespace morvik::profile
