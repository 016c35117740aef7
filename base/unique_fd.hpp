// Owning wrapper for a file descriptor: closes it exactly once, on destruction
// or reset, and is move-only so ownership is always explicit.
#pragma once

#include <unistd.h>

#include <utility>

namespace morvik {

// Something that closes descriptors on a UniqueFd's behalf, so that a seam in
// front of the operating system (and a fake one in tests) sees every close.
class FdCloser {
  public:
    // close(fd); not retried.
    virtual int close(int fd) = 0;

  protected:
    ~FdCloser() = default;
};

class UniqueFd {
  public:
    UniqueFd() noexcept = default;
    // Closes with ::close.
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    // Closes through `closer`, which must outlive the descriptor.
    UniqueFd(FdCloser& closer, int fd) noexcept : closer_(&closer), fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : closer_(other.closer_), fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            closer_ = other.closer_;
            fd_ = other.release();
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    [[nodiscard]] int get() const noexcept { return fd_; }
    [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

    // Closes the held descriptor (if any) and takes `fd`, keeping the closer.
    // close() is not retried on EINTR: on Linux the descriptor is released
    // either way.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old < 0) return;
        if (closer_ != nullptr) {
            closer_->close(old);
        } else {
            ::close(old);
        }
    }

  private:
    FdCloser* closer_ = nullptr;
    int fd_ = -1;
};

} // namespace morvik
