// The fast acceptance path for unknown-key values, built for AVX2. Its file
// is compiled for AVX2, BMI1, BMI2 and PCLMULQDQ; call it only on a CPU that
// has them (detail::fast_path() checks). This header includes nothing that
// could pull shared inline code into that file.
#pragma once

#include <cstddef>

namespace morvik::profile::detail {

// Nesting depth up to which the fast path answers; see detail::AcceptFn.
inline constexpr std::size_t kFastMaxDepth = 1024;

const unsigned char* accept_container_avx2(const unsigned char* p, const unsigned char* e) noexcept;

} // namespace morvik::profile::detail
