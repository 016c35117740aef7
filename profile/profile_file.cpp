#include "profile/profile_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
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

// Where the next read starts: the descriptor's own position (a stream), or
// an offset that pread(2) advances (a regular file, read from its start
// without moving the position others may share).
struct Cursor {
    int fd;
    bool positioned;
    off_t offset = 0;
};

// read(2) or pread(2), repeated when interrupted; an inherited non-blocking
// pipe that is empty for now is waited on.
ssize_t read_some(Cursor& at, char* buf, std::size_t size) {
    for (;;) {
        const ssize_t n =
            at.positioned ? ::pread(at.fd, buf, size, at.offset) : ::read(at.fd, buf, size);
        if (n > 0 && at.positioned) at.offset += n;
        if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return n;
        pollfd ready{at.fd, POLLIN, 0};
        if (errno != EINTR && ::poll(&ready, 1, -1) < 0 && errno != EINTR) return -1;
    }
}

// Reads to the end into `text`, sized first to `hint` bytes (a regular
// file's size, so that one allocation holds it). A file that turns out
// larger than the hint, and every stream, grows by doubling up to the bound.
Expected<void, ReadError> read_all(Cursor& at, std::size_t hint, std::string& text) {
    text.resize(hint);
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) {
            // Full: one byte more tells the end from a larger file.
            char extra;
            const ssize_t n = read_some(at, &extra, 1);
            if (n < 0) return Unexpected(ReadError::os(errno));
            if (n == 0) break;
            if (text.size() >= kMaxProfileSize) return Unexpected(ReadError::too_large());
            text.resize(std::min(text.size() * 2, kMaxProfileSize));
            text[used++] = extra;
            continue;
        }
        const ssize_t n = read_some(at, text.data() + used, text.size() - used);
        if (n < 0) return Unexpected(ReadError::os(errno));
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    text.resize(used);
    return {};
}

// Reads `fd` whole: a regular file from offset 0, anything else from where
// it stands.
Expected<std::string, ReadError> read_descriptor(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Unexpected(ReadError::os(errno));
    std::size_t hint = 64 * 1024;
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        if (static_cast<std::uint64_t>(st.st_size) > kMaxProfileSize) {
            return Unexpected(ReadError::too_large());
        }
        hint = static_cast<std::size_t>(st.st_size);
    }
    Cursor at{fd, S_ISREG(st.st_mode)};
    std::string text;
    try {
        if (auto r = read_all(at, hint, text); !r) return Unexpected(r.error());
    } catch (const std::bad_alloc&) {
        return Unexpected(ReadError::os(ENOMEM));
    }
    if (!is_valid_utf8(text)) return Unexpected(ReadError::invalid_utf8());
    return text;
}

} // namespace

Expected<std::string, ReadError> read_profile_fd(int fd) {
    return read_descriptor(fd);
}

std::optional<int> inherited_descriptor(const char* path) {
    constexpr std::string_view kPrefix = "/dev/fd/";
    const std::string_view name(path);
    if (!name.starts_with(kPrefix)) return std::nullopt;
    const std::string_view digits = name.substr(kPrefix.size());
    if (digits.empty() || digits[0] < '0' || digits[0] > '9') return std::nullopt;
    if (digits[0] == '0' && digits.size() > 1) return std::nullopt;
    int fd = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return fd;
}

Expected<std::string, ReadError> read_profile_file(const char* path) {
    if (const auto fd = inherited_descriptor(path)) return read_profile_fd(*fd);
    UniqueFd fd;
    {
        int raw;
        do {
            raw = ::open(path, O_RDONLY | O_CLOEXEC);
        } while (raw == -1 && errno == EINTR);
        if (raw == -1) return Unexpected(ReadError::os(errno));
        fd.reset(raw);
    }
    return read_descriptor(fd.get());
}

} // namespace morvik::profile
