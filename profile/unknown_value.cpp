// Offers the fast acceptance path for unknown-key values (built for AVX2 in
// unknown_value_avx2.cpp) only on CPUs that can run it.
//
// The CPU is asked directly, and only when a profile has an unknown-key array
// or object: the compiler's feature builtins would link a start-up
// constructor that queries the CPU in every run of every program, which costs
// each launch time under a hypervisor, where CPUID traps.
#include "profile/unknown_value.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace morvik::profile::detail {

#if defined(__x86_64__)

AcceptFn fast_path() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    // PCLMULQDQ, AVX, and the OS saving YMM state (XSAVE enabled, and XCR0
    // with the SSE and AVX bits).
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return nullptr;
    if ((c & bit_PCLMUL) == 0 || (c & bit_AVX) == 0 || (c & bit_OSXSAVE) == 0) return nullptr;
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 6) != 6) return nullptr;
    // AVX2, BMI1, BMI2.
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return nullptr;
    if ((b & bit_AVX2) == 0 || (b & bit_BMI) == 0 || (b & bit_BMI2) == 0) return nullptr;
    return accept_container_avx2;
}

#else

AcceptFn fast_path() noexcept { return nullptr; }

#endif

} // namespace morvik::profile::detail
