// Home directory lookup: HOME, else the password database entry of a uid.
#pragma once

#include <optional>
#include <string>

#include "sandbox/kernel.hpp"

namespace morvik::sandbox {

// HOME when set and non-empty; else the pw_dir of `uid`'s password entry,
// from one getpwuid_r with a buffer of sysconf(_SC_GETPW_R_SIZE_MAX) bytes
// (512 when that is negative). None on any failure, ERANGE included, and for
// an empty pw_dir. Bytes are returned unchanged.
std::optional<std::string> home_dir(Kernel& kernel, uid_t uid);

} // namespace morvik::sandbox
