// The builds of the fast acceptance path for unknown-key values, one per
// instruction set. Each file is compiled for its instruction set; call its
// entry only on a CPU that has it (detail::accept_container() chooses). This
// header includes nothing that could pull shared inline code into those files.
#pragma once

#include <cstddef>

namespace morvik::profile::detail {

// Nesting depth up to which the fast path answers; see accept_container().
inline constexpr std::size_t kFastMaxDepth = 1024;

// AVX2, BMI1, BMI2 and PCLMULQDQ.
const unsigned char* accept_container_avx2(const unsigned char* p, const unsigned char* e) noexcept;
// The above and AVX-512 F and BW.
const unsigned char* accept_container_avx512(const unsigned char* p, const unsigned char* e) noexcept;

} // namespace morvik::profile::detail
