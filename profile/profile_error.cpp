#include "profile/profile_error.hpp"

namespace morvik::profile {

std::string ProfileError::to_string() const {
    std::string out = message;
    out += " at line ";
    out += std::to_string(line);
    out += " column ";
    out += std::to_string(column);
    return out;
}

} // namespace morvik::profile
