// Writing text to a descriptor in full.
#pragma once

#include <string_view>

namespace morvik {

// Writes all of `text` to `fd`, continuing after partial writes and EINTR.
// Returns 0, or the errno of the write that failed.
[[nodiscard]] int write_all(int fd, std::string_view text) noexcept;

// Writes `line` and a line feed to standard error. A failure is not
// reported: there is nowhere left to report it.
void write_stderr_line(std::string_view line);

} // namespace morvik
