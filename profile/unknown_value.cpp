// Offers the fast acceptance path for unknown-key values (built for AVX2 in
// unknown_value_avx2.cpp) only on CPUs that can run it.
#include "profile/unknown_value.hpp"

namespace morvik::profile::detail {

#if defined(__x86_64__)

AcceptFn fast_path() noexcept {
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
        __builtin_cpu_supports("pclmul")) {
        return accept_container_avx2;
    }
    return nullptr;
}

#else

AcceptFn fast_path() noexcept { return nullptr; }

#endif

} // namespace morvik::profile::detail
