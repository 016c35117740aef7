// Reading the profile file whole, as UTF-8 text.
#pragma once

#include <string>

#include "base/expected.hpp"
#include "base/os_error.hpp"

namespace morvik::profile {

class ReadError {
  public:
    static ReadError os(int code) { return ReadError(code); }
    static ReadError invalid_utf8() { return ReadError(0); }

    [[nodiscard]] bool is_invalid_utf8() const noexcept { return code_ == 0; }
    [[nodiscard]] int os_code() const noexcept { return code_; }

    // "{description} (os error {n})", or "stream did not contain valid UTF-8".
    [[nodiscard]] std::string to_string() const;

  private:
    explicit ReadError(int code) : code_(code) {}
    int code_; // errno, or 0 for invalid UTF-8
};

// Reads the file at `path` (following symbolic links; pipes and FIFOs are
// read to their end) and checks that it is valid UTF-8. The descriptor is
// close-on-exec and closed before returning.
[[nodiscard]] Expected<std::string, ReadError> read_profile_file(const char* path);

} // namespace morvik::profile
