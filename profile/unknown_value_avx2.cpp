// The fast acceptance path for unknown-key values, built for AVX2 (with BMI1,
// BMI2 and PCLMULQDQ). Called only on CPUs that have them; see
// unknown_value_scan.hpp for how the path works.
//
// Only <immintrin.h>, fixed-width types and the path's own internal-linkage
// code are included: no inline function shared with other files is compiled
// here for an instruction set the CPU may lack.
#include "profile/unknown_value_simd.hpp"

#if defined(__x86_64__) && defined(__AVX2__) && defined(__BMI__) && defined(__BMI2__) && defined(__PCLMUL__)

#include <immintrin.h>

#include "profile/unknown_value_scan.hpp"

namespace morvik::profile::detail {
namespace {

inline __m256i eq(__m256i v, char c) noexcept { return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c)); }

inline __m256i in_range(__m256i v, char lo, char hi) noexcept {
    const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8(lo));
    return _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(static_cast<char>(hi - lo))), d);
}

inline __m256i table16(const char (&t)[16]) noexcept {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
    return _mm256_broadcastsi128_si256(x);
}

inline u64 join(__m256i lo, __m256i hi) noexcept {
    return static_cast<u64>(static_cast<std::uint32_t>(_mm256_movemask_epi8(lo))) |
           (static_cast<u64>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))) << 32);
}

// The 64 bytes of a block as two vectors, each kind of byte turned into a
// mask at once, so that few vectors are live at a time.
struct Bytes {
    __m256i lo, hi;
};

template <class F>
inline u64 mask(const Bytes& b, F f) noexcept {
    return join(f(b.lo), f(b.hi));
}

[[gnu::always_inline]] inline Masks classify(const uchar* block) noexcept {
    const Bytes v{_mm256_loadu_si256(reinterpret_cast<const __m256i*>(block)),
                  _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32))};
    const __m256i bit5 = _mm256_set1_epi8(0x20);
    Masks m;
    m.quote = mask(v, [](__m256i x) { return eq(x, '"'); });
    m.backslash = mask(v, [](__m256i x) { return eq(x, '\\'); });
    m.control = mask(v, [](__m256i x) {
        const __m256i ctl = _mm256_set1_epi8(0x1F);
        return _mm256_cmpeq_epi8(_mm256_max_epu8(x, ctl), ctl);
    });
    m.space = mask(v, [](__m256i x) { return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table16(kSpaceTable), x), x); });
    m.structural = mask(v, [bit5](__m256i x) {
        return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table16(kStructuralTable), x), _mm256_or_si256(x, bit5));
    }) & ~m.control;
    m.digit = mask(v, [](__m256i x) { return in_range(x, '0', '9'); });
    m.zero = mask(v, [](__m256i x) { return eq(x, '0'); });
    m.minus = mask(v, [](__m256i x) { return eq(x, '-'); });
    m.plus = mask(v, [](__m256i x) { return eq(x, '+'); });
    m.dot = mask(v, [](__m256i x) { return eq(x, '.'); });
    m.exp = mask(v, [bit5](__m256i x) { return eq(_mm256_or_si256(x, bit5), 'e'); });
    m.hex = m.digit | mask(v, [bit5](__m256i x) { return in_range(_mm256_or_si256(x, bit5), 'a', 'f'); });
    m.bad_escape = mask(v, [](__m256i x) {
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), _mm256_set1_epi8(0x0F));
        const __m256i bits = _mm256_and_si256(_mm256_shuffle_epi8(table16(kEscapeLow), x),
                                              _mm256_shuffle_epi8(table16(kEscapeHigh), high));
        return _mm256_cmpeq_epi8(bits, _mm256_setzero_si256());
    });
    m.u = mask(v, [](__m256i x) { return eq(x, 'u'); });
    return m;
}

} // namespace

const unsigned char* accept_container_avx2(const unsigned char* p, const unsigned char* e) noexcept {
    return accept<classify>(p, e);
}

} // namespace morvik::profile::detail

#else

namespace morvik::profile::detail {
// Not built for AVX2: never called (fast_path() gives no such path).
const unsigned char* accept_container_avx2(const unsigned char*, const unsigned char*) noexcept { return nullptr; }
} // namespace morvik::profile::detail

#endif
