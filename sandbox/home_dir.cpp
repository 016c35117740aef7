#include "sandbox/home_dir.hpp"

#include <unistd.h>

#include <cstring>
#include <vector>

namespace morvik::sandbox {

std::optional<std::string> home_dir(Kernel& kernel, uid_t uid) {
    if (auto home = kernel.getenv("HOME"); home && !home->empty()) return home;

    const long suggested = kernel.sysconf(_SC_GETPW_R_SIZE_MAX);
    const std::size_t size = suggested < 0 ? 512 : static_cast<std::size_t>(suggested);
    std::vector<char> buf(size);
    struct passwd pwd;
    std::memset(&pwd, 0, sizeof pwd);
    struct passwd* result = nullptr;
    const int rc = kernel.getpwuid_r(uid, &pwd, buf.data(), buf.size(), &result);
    if (rc != 0 || result == nullptr || result->pw_dir == nullptr) return std::nullopt;
    std::string dir(result->pw_dir);
    if (dir.empty()) return std::nullopt;
    return dir;
}

} // namespace morvik::sandbox
