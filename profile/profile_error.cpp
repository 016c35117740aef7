#include "profile/profile_error.hpp"
