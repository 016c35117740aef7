// Reading the profile file whole, as UTF-8 text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/expected.hpp"
#include "base/os_error.hpp"

namespace morvik::profile {

// No profile is larger; reading stops there.
inline constexpr std::size_t kMaxProfileSize = std::size_t{64} << 20;

class ReadError {
  public:
    static ReadError os(int code) { return ReadError(code); }
    static ReadError invalid_utf8() { return ReadError(0); }
    static ReadError too_large() { return ReadError(kTooLarge); }

    [[nodiscard]] bool is_invalid_utf8() const noexcept { return code_ == 0; }
    [[nodiscard]] bool is_too_large() const noexcept { return code_ == kTooLarge; }
    [[nodiscard]] int os_code() const noexcept { return code_; }

    // "{description} (os error {n})", "stream did not contain valid UTF-8" or
    // "larger than 64 MiB".
    [[nodiscard]] std::string to_string() const;

  private:
    static constexpr int kTooLarge = -1;
    explicit ReadError(int code) : code_(code) {}
    int code_; // errno, 0 for invalid UTF-8, kTooLarge
};

// Reads the file at `path` (following symbolic links; pipes, FIFOs and
// devices are read to their end, a FIFO once it has a writer) and checks
// that it is valid UTF-8. A regular file takes one allocation of its size;
// more than kMaxProfileSize bytes are refused after reading at most that
// many and one more, and a text that cannot be held in memory gives ENOMEM.
// The descriptor is close-on-exec and closed before returning. A path that
// names an inherited descriptor ("/dev/fd/N") is not opened: descriptor N is
// read as `read_profile_fd` reads it, and left open.
[[nodiscard]] Expected<std::string, ReadError> read_profile_file(const char* path);

// Reads the profile from the open descriptor `fd`, with the same checks: a
// regular file whole from offset 0 (its file position is left alone), any
// other file from where it stands to its end. `fd` stays open.
[[nodiscard]] Expected<std::string, ReadError> read_profile_fd(int fd);

// N when `path` is "/dev/fd/N" with N written as the kernel writes it
// (decimal, no leading zero) and at most INT_MAX.
[[nodiscard]] std::optional<int> inherited_descriptor(const char* path);

} // namespace morvik::profile
