// The fast acceptance path for unknown-key values, built for AVX-512 F and BW
// (with BMI1, BMI2 and PCLMULQDQ): one 64-byte vector per block, compared
// straight into 64-bit masks. Called only on CPUs that have them; see
// unknown_value_scan.hpp for how the path works and what may be included.
#include "profile/unknown_value_simd.hpp"

#if defined(__x86_64__) && defined(__AVX512F__) && defined(__AVX512BW__) && defined(__BMI__) && \
    defined(__BMI2__) && defined(__PCLMUL__)

#include <immintrin.h>

#include "profile/unknown_value_scan.hpp"

namespace morvik::profile::detail {
namespace {

// A 16-byte lookup table repeated in each 128-bit lane.
struct Table64 {
    alignas(64) char bytes[64];
};

constexpr Table64 repeated(const char (&t)[16]) {
    Table64 r{};
    for (int i = 0; i < 64; ++i) r.bytes[i] = t[i % 16];
    return r;
}

constexpr Table64 kSpace64 = repeated(kSpaceTable);
constexpr Table64 kStructural64 = repeated(kStructuralTable);
constexpr Table64 kEscapeLow64 = repeated(kEscapeLow);
constexpr Table64 kEscapeHigh64 = repeated(kEscapeHigh);

inline __m512i table(const Table64& t) noexcept { return _mm512_load_si512(t.bytes); }

inline u64 eq(__m512i v, char c) noexcept { return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c)); }

inline u64 in_range(__m512i v, char lo, char hi) noexcept {
    return _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, _mm512_set1_epi8(lo)), _mm512_set1_epi8(static_cast<char>(hi - lo)));
}

[[gnu::always_inline]] inline Masks classify(const uchar* block) noexcept {
    const __m512i v = _mm512_loadu_si512(block);
    const __m512i folded = _mm512_or_si512(v, _mm512_set1_epi8(0x20));
    const __m512i high = _mm512_and_si512(_mm512_srli_epi16(v, 4), _mm512_set1_epi8(0x0F));
    Masks m;
    m.quote = eq(v, '"');
    m.backslash = eq(v, '\\');
    m.control = _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x1F));
    m.space = _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(table(kSpace64), v), v);
    m.structural = _mm512_mask_cmpeq_epi8_mask(~m.control, _mm512_shuffle_epi8(table(kStructural64), v), folded);
    m.digit = in_range(v, '0', '9');
    m.zero = eq(v, '0');
    m.minus = eq(v, '-');
    m.plus = eq(v, '+');
    m.dot = eq(v, '.');
    m.exp = eq(folded, 'e');
    m.hex = m.digit | in_range(folded, 'a', 'f');
    m.bad_escape = _mm512_testn_epi8_mask(_mm512_shuffle_epi8(table(kEscapeLow64), v),
                                          _mm512_shuffle_epi8(table(kEscapeHigh64), high));
    m.u = eq(v, 'u');
    return m;
}

} // namespace

const unsigned char* accept_container_avx512(const unsigned char* p, const unsigned char* e) noexcept {
    return accept<classify>(p, e);
}

} // namespace morvik::profile::detail

#else

namespace morvik::profile::detail {
// Not built for AVX-512: never called (fast_path() gives no such path).
const unsigned char* accept_container_avx512(const unsigned char*, const unsigned char*) noexcept { return nullptr; }
} // namespace morvik::profile::detail

#endif
