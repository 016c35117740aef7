// Chooses the fast acceptance path for unknown-key values by what the CPU
// can run; the path itself is in unknown_value_avx2.cpp.
#include "profile/unknown_value.hpp"

namespace morvik::profile::detail {

#if defined(__x86_64__)

bool fast_path_available() noexcept {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("pclmul");
}

const unsigned char* accept_container(const unsigned char* p, const unsigned char* e) noexcept {
    return fast_path_available() ? accept_container_avx2(p, e) : nullptr;
}

#else

bool fast_path_available() noexcept { return false; }

const unsigned char* accept_container(const unsigned char*, const unsigned char*) noexcept { return nullptr; }

#endif

} // namespace morvik::profile::detail
