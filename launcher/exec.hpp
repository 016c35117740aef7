// Replacing the process with the command, searching PATH like execvp(3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.hpp"

namespace morvik::exec {

// An error number read from errno right after a failed call. Its text is the
// system's description alone, without the number.
struct Errno {
    std::int32_t value = 0;
    [[nodiscard]] std::string to_string() const;
};

class Error {
  public:
    enum class Kind { BadArgument, Errno };

    static Error bad_argument(std::size_t position, std::string argument) {
        Error e(Kind::BadArgument);
        e.position_ = position;
        e.argument_ = std::move(argument);
        return e;
    }
    static Error from_errno(std::int32_t value) {
        Error e(Kind::Errno);
        e.errno_.value = value;
        return e;
    }

    [[nodiscard]] Kind kind() const noexcept { return kind_; }
    // BadArgument: the zero-based byte position of the first NUL and the
    // string that holds it (which the text does not show).
    [[nodiscard]] std::size_t position() const noexcept { return position_; }
    [[nodiscard]] const std::string& argument() const noexcept { return argument_; }
    [[nodiscard]] exec::Errno errno_value() const noexcept { return errno_; }

    // "bad argument to exec: nul byte found in provided data at position: {}"
    // or "couldn't exec process: {description}".
    [[nodiscard]] std::string to_string() const;

  private:
    explicit Error(Kind kind) : kind_(kind) {}
    Kind kind_;
    std::size_t position_ = 0;
    std::string argument_;
    exec::Errno errno_;
};

// The program and its argv as C strings, copied ahead of the exec so that
// nothing is left to allocate between the last report and the exec.
class Command {
  public:
    // Copies `program` and `args`; a zero byte in either is a BadArgument.
    static Expected<Command, Error> prepare(std::string_view program,
                                            std::span<const std::string_view> args);

    // Executes the program (looked up on PATH unless it holds a slash) with
    // the argv, element 0 included, and the current environment. Returns only
    // on failure. A non-negative return from the platform, which never
    // happens, ends the process with status 101.
    [[nodiscard]] Error execvp();

  private:
    Command() = default;
    std::string file_;
    std::vector<std::string> copies_;
    std::vector<char*> argv_; // into copies_, whose elements stay put when it moves
};

// Command::prepare, then Command::execvp.
[[nodiscard]] Error execvp(std::string_view program, std::span<const std::string_view> args);

} // namespace morvik::exec
