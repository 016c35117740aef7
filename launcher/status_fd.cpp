#include "launcher/status_fd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>

#include "base/escape.hpp"
#include "base/os_error.hpp"

namespace morvik::launcher {
namespace {

std::string_view stage_name(Stage stage) noexcept {
    switch (stage) {
    case Stage::Read:
        return "read";
    case Stage::Parse:
        return "parse";
    case Stage::Confine:
        return "confine";
    case Stage::Exec:
        break;
    }
    return "exec";
}

} // namespace

std::string DescriptorError::line() const {
    std::string out = "Invalid " + std::string(option) + " value `" + escape_name(value) + "`: ";
    const std::string_view mode = use == FdUse::Read ? "reading" : "writing";
    switch (kind) {
    case Kind::NotNumber:
        return out + "not a descriptor number";
    case Kind::TooLarge:
        return out + "larger than " + std::to_string(INT_MAX);
    case Kind::Standard:
        return out + "standard descriptors 0, 1 and 2 cannot be used";
    case Kind::NotOpen:
        return out + "descriptor not open";
    case Kind::WrongMode:
        return out + "descriptor not open for " + std::string(mode);
    case Kind::SameAsProfile:
        return out + "the profile is read from this descriptor";
    case Kind::Os:
        break;
    }
    return out + OsError{error}.to_string();
}

Expected<int, DescriptorError> check_descriptor(std::string_view option, const char* value,
                                                FdUse use, int profile_fd) {
    const std::string_view text(value);
    const auto refuse = [&](DescriptorError::Kind kind, int error = 0) {
        return Unexpected(DescriptorError{option, std::string(text), kind, use, error});
    };
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return refuse(DescriptorError::Kind::NotNumber);
    }
    int fd = 0;
    if (std::from_chars(text.data(), text.data() + text.size(), fd).ec != std::errc()) {
        return refuse(DescriptorError::Kind::TooLarge);
    }
    if (fd <= 2) return refuse(DescriptorError::Kind::Standard);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1) {
        return refuse(errno == EBADF ? DescriptorError::Kind::NotOpen : DescriptorError::Kind::Os,
                      errno);
    }
    const int mode = flags & O_ACCMODE;
    const bool fits = use == FdUse::Read ? mode == O_RDONLY || mode == O_RDWR
                                         : mode == O_WRONLY || mode == O_RDWR;
    if (!fits || (flags & O_PATH) != 0) return refuse(DescriptorError::Kind::WrongMode);
    if (fd == profile_fd) return refuse(DescriptorError::Kind::SameAsProfile);
    return fd;
}

std::string confined_record(const ConfinedStatus& status) {
    std::string out = R"({"status":"confined","landlock_abi":)" +
                      std::to_string(status.landlock_abi) + R"(,"enforcement":)";
    append_json_string(out, status.enforcement);
    out += R"(,"protections":[)";
    for (std::size_t i = 0; i < status.protections.size(); ++i) {
        if (i > 0) out += ',';
        append_json_string(out, status.protections[i]);
    }
    return out + "]}\n";
}

std::string failed_record(Stage stage, std::string_view message) {
    std::string out =
        R"({"status":"failed","stage":")" + std::string(stage_name(stage)) + R"(","message":)";
    append_json_string(out, message);
    return out + "}\n";
}

int write_record(int fd, std::string_view record) noexcept {
    while (!record.empty()) {
        const ssize_t n = ::write(fd, record.data(), record.size());
        if (n >= 0) {
            record.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        // A non-blocking descriptor that is full: wait until the reader
        // makes room (or goes away, which the next write reports).
        pollfd ready{fd, POLLOUT, 0};
        if (::poll(&ready, 1, -1) == -1 && errno != EINTR) return errno;
    }
    return 0;
}

StatusFd::StatusFd(int fd) noexcept : fd_(fd) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

int StatusFd::confined(const ConfinedStatus& status) const {
    return fd_ ? write_record(fd_.get(), confined_record(status)) : 0;
}

int StatusFd::failed(Stage stage, std::string_view message) const {
    return fd_ ? write_record(fd_.get(), failed_record(stage, message)) : 0;
}

} // namespace morvik::launcher
