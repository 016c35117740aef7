// Chooses the build of the fast acceptance path for unknown-key values by
// what the CPU can run; the builds are unknown_value_avx2.cpp and
// unknown_value_avx512.cpp.
#include "profile/unknown_value.hpp"

namespace morvik::profile::detail {

#if defined(__x86_64__)

AcceptFn fast_path(bool allow_avx512) noexcept {
    if (!(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
          __builtin_cpu_supports("pclmul"))) {
        return nullptr;
    }
    if (allow_avx512 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
        return accept_container_avx512;
    }
    return accept_container_avx2;
}

#else

AcceptFn fast_path(bool) noexcept { return nullptr; }

#endif

const unsigned char* accept_container(const unsigned char* p, const unsigned char* e) noexcept {
    const AcceptFn accept = fast_path();
    return accept != nullptr ? accept(p, e) : nullptr;
}

} // namespace morvik::profile::detail
