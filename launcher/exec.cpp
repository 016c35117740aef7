#include "launcher/exec.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "base/os_error.hpp"
#include "base/write_all.hpp"

namespace morvik::exec {

std::string Errno::to_string() const {
    return errno_description(value);
}

std::string Error::to_string() const {
    if (kind_ == Kind::BadArgument) {
        return "bad argument to exec: nul byte found in provided data at position: " +
               std::to_string(position_);
    }
    return "couldn't exec process: " + errno_.to_string();
}

Expected<Command, Error> Command::prepare(std::string_view program,
                                          std::span<const std::string_view> args) {
    // std::string keeps a terminating zero after its bytes, so each copy is
    // directly usable as a C string once it is known to hold no inner NUL.
    if (const auto nul = program.find('\0'); nul != std::string_view::npos) {
        return Unexpected(Error::bad_argument(nul, std::string(program)));
    }
    Command command;
    command.file_ = program;
    command.copies_.reserve(args.size());
    for (const std::string_view arg : args) {
        if (const auto nul = arg.find('\0'); nul != std::string_view::npos) {
            return Unexpected(Error::bad_argument(nul, std::string(arg)));
        }
        command.copies_.emplace_back(arg);
    }
    command.argv_.reserve(command.copies_.size() + 1);
    for (std::string& copy : command.copies_)
        command.argv_.push_back(copy.data());
    command.argv_.push_back(nullptr);
    return command;
}

Error Command::execvp() {
    const int rc = ::execvp(file_.c_str(), argv_.data());
    const int err = errno;
    if (rc >= 0) {
        write_stderr_line("internal error: execvp returned unexpectedly");
        std::_Exit(101);
    }
    return Error::from_errno(err);
}

Error execvp(std::string_view program, std::span<const std::string_view> args) {
    auto command = Command::prepare(program, args);
    return command ? command->execvp() : std::move(command).error();
}

} // namespace morvik::exec
