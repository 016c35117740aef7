// Fast acceptance of unknown-key values that are arrays or objects.
//
// The text is read in 64-byte blocks. Each block is first classified with
// SSE2 into bit masks (one bit per byte): backslashes, quotes, structural
// characters, whitespace, control bytes. From these come, without a branch
// per byte: the bytes escaped by a backslash, the quotes that open or close
// strings, the bytes inside strings, and the start of every token outside
// strings. Errors found inside strings (raw control bytes, bad escapes, `\u`
// without four hex digits) are kept as a mask. A walk over the token
// positions then checks the grammar with a table-driven state machine and a
// byte per open bracket, and validates each number or literal. The walk
// stops at the bracket that closes the value; only errors before it count.
//
// Anything wrong or unusual returns nullptr, and the caller runs the exact
// checker, which produces the error message and position.
#include "profile/unknown_value.hpp"

#include <emmintrin.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace morvik::profile::detail {
namespace {

using uchar = unsigned char;

constexpr std::uint64_t kEvenBits = 0x5555555555555555ULL;

// Token classes of the walk.
enum : std::uint8_t { kOpenObject, kOpenArray, kCloseObject, kCloseArray, kComma, kColon, kQuote, kScalar };

// States of the walk: what may come next. The walk starts in kArrayComma
// (a value is expected), with the value's opening bracket as first token.
enum : std::uint8_t {
    kArrayFirst,   // after `[`: a value or `]`
    kObjectFirst,  // after `{`: a key or `}`
    kAfterKey,     // `:`
    kAfterColon,   // a value
    kObjectNext,   // after a member's value: `,` or `}`
    kArrayNext,    // after an element: `,` or `]`
    kObjectComma,  // a key
    kArrayComma,   // a value
    kError,        // absorbing
    kPop,          // a closing bracket matched: the next state depends on the parent
};

constexpr std::array<std::uint8_t, 256> kClass = [] {
    std::array<std::uint8_t, 256> t{};
    t.fill(kScalar);
    t['{'] = kOpenObject;
    t['['] = kOpenArray;
    t['}'] = kCloseObject;
    t[']'] = kCloseArray;
    t[','] = kComma;
    t[':'] = kColon;
    t['"'] = kQuote;
    return t;
}();

// The transition table, one 64-bit word per token class with a 6-bit field
// per state. The walk keeps the state as its field's shift (6 * state), so a
// step is a shift and a mask of a word that does not depend on the state:
// the chain from one token to the next stays in registers.
constexpr unsigned kField = 6;
constexpr std::array<std::uint64_t, 8> kTransitions = [] {
    std::array<std::uint8_t, 8 * kPop> next{};  // next[class * kPop + state]
    for (auto& n : next) n = kError;
    const auto set = [&next](std::uint8_t state, std::uint8_t cls, std::uint8_t to) { next[cls * kPop + state] = to; };
    // A value: brackets open a container; a string or scalar completes the
    // value in the current container.
    const auto value = [&set](std::uint8_t state, std::uint8_t after) {
        set(state, kOpenObject, kObjectFirst);
        set(state, kOpenArray, kArrayFirst);
        set(state, kQuote, after);
        set(state, kScalar, after);
    };
    value(kArrayFirst, kArrayNext);
    set(kArrayFirst, kCloseArray, kPop);
    set(kObjectFirst, kQuote, kAfterKey);
    set(kObjectFirst, kCloseObject, kPop);
    set(kAfterKey, kColon, kAfterColon);
    value(kAfterColon, kObjectNext);
    set(kObjectNext, kComma, kObjectComma);
    set(kObjectNext, kCloseObject, kPop);
    set(kArrayNext, kComma, kArrayComma);
    set(kArrayNext, kCloseArray, kPop);
    set(kObjectComma, kQuote, kAfterKey);
    value(kArrayComma, kArrayNext);
    std::array<std::uint64_t, 8> t{};
    for (unsigned cls = 0; cls < 8; ++cls) {
        for (unsigned state = 0; state < kPop; ++state) {
            t[cls] |= std::uint64_t{next[cls * kPop + state] * kField} << (state * kField);
        }
    }
    return t;
}();

constexpr std::array<std::int8_t, 8> kDepthChange = {1, 1, -1, -1, 0, 0, 0, 0};

// Bytes that may follow a number or literal directly.
constexpr std::array<std::uint8_t, 256> kDelimiter = [] {
    std::array<std::uint8_t, 256> t{};
    for (const char c : std::string_view(" \t\n\r{}[],:\"")) t[static_cast<uchar>(c)] = 1;
    return t;
}();

constexpr bool is_digit(uchar c) noexcept { return static_cast<uchar>(c - '0') < 10; }

inline const uchar* skip_digits(const uchar* p, const uchar* e) noexcept {
    while (e - p >= 8) {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        const std::uint64_t y = x ^ 0x3030303030303030ULL;
        // High bit set in every byte that is not a digit (carries only run
        // from a non-digit byte upwards, so the lowest flag is exact).
        const std::uint64_t non_digit = ((y + 0x7676767676767676ULL) | y) & 0x8080808080808080ULL;
        if (non_digit != 0) return p + (__builtin_ctzll(non_digit) >> 3);
        p += 8;
    }
    while (p < e && is_digit(*p)) ++p;
    return p;
}

// Whether the run of non-delimiter bytes at p (outside strings) is exactly
// one number or literal.
inline bool scalar_ok(const uchar* p, const uchar* e) noexcept {
    const uchar c = *p;
    if (c >= 'a') {
        const std::string_view word = c == 't' ? "true" : c == 'f' ? "false" : "null";
        if (static_cast<std::size_t>(e - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0) return false;
        p += word.size();
        return p == e || kDelimiter[*p] != 0;
    }
    if (c == '-') {
        ++p;
        if (p == e) return false;
    }
    if (*p == '0') {
        ++p;
    } else if (is_digit(*p)) {
        p = skip_digits(p + 1, e);
    } else {
        return false;
    }
    if (p < e && *p == '.') {
        ++p;
        if (p == e || !is_digit(*p)) return false;
        p = skip_digits(p + 1, e);
    }
    if (p < e && (*p | 0x20) == 'e') {
        ++p;
        if (p < e && (*p == '+' || *p == '-')) ++p;
        if (p == e || !is_digit(*p)) return false;
        p = skip_digits(p + 1, e);
    }
    return p == e || kDelimiter[*p] != 0;
}

// The first `n` bytes of `s` as a little-endian word.
constexpr std::uint64_t word(std::string_view s) noexcept {
    std::uint64_t w = 0;
    for (std::size_t i = s.size(); i-- > 0;) w = (w << 8) | static_cast<uchar>(s[i]);
    return w;
}

inline __m128i in_range(__m128i v, char lo, char hi) noexcept;
inline __m128i eq(__m128i v, char c) noexcept;

// scalar_ok() for a run with at least 16 readable bytes at p, with few
// branches: the bytes are classified with SSE2 and the number grammar is
// checked on the resulting bit masks. Runs of 16 or more number characters
// go to scalar_ok().
inline bool scalar_ok_wide(const uchar* p, const uchar* e) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    // Conditions are combined as 0/1 integers, without branches.
    const auto u = [](bool b) { return static_cast<unsigned>(b); };
    const std::uint64_t x4 = x & 0xFFFFFFFFULL;
    const unsigned literal = (u(x4 == word("true")) | u(x4 == word("null"))) & kDelimiter[p[4]];
    const unsigned literal5 = u((x & 0xFFFFFFFFFFULL) == word("false")) & kDelimiter[p[5]];

    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto mask = [](__m128i m) { return static_cast<unsigned>(_mm_movemask_epi8(m)); };
    const unsigned digit = mask(in_range(v, '0', '9'));
    const unsigned minus = mask(eq(v, '-'));
    const unsigned sign = minus | mask(eq(v, '+'));
    const unsigned dot = mask(eq(v, '.'));
    const unsigned exp = mask(eq(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'e'));
    const unsigned zero = mask(eq(v, '0'));
    const unsigned len = static_cast<unsigned>(__builtin_ctz(~(digit | sign | dot | exp)));  // < 32
    if (len >= 16) [[unlikely]] return scalar_ok(p, e);
    const unsigned in = (1u << len) - 1;
    const unsigned d = digit & in, s = sign & in, dt = dot & in, ex = exp & in;
    const unsigned first = minus & 1;  // index of the first digit
    const unsigned exp_sign = s & (ex << 1);
    const unsigned number = u(len > first) & ((d >> first) & 1)                    // a digit first
                            & ~((zero >> first) & (d >> (first + 1)))              // no leading zero
                            & u((dt & (dt - 1)) == 0) & u((ex & (ex - 1)) == 0)    // one `.`, one `e` at most
                            & (u(dt == 0) | u(ex == 0) | u(dt < ex))               // `.` before `e`
                            & u((((dt >> 1) | (dt << 1) | (ex >> 1)) & ~d) == 0)   // digits around `.`, before `e`
                            & u(((ex << 1) & ~(d | s)) == 0)                       // after `e`: digit or sign
                            & u((s & ~first & ~exp_sign) == 0)                     // signs only there
                            & u(((exp_sign << 1) & ~d) == 0)                       // a digit after that sign
                            & kDelimiter[p[len]];
    const uchar c = p[0];
    return (c >= 'a' ? literal | (literal5 & u(c == 'f')) : number) != 0;
}

// Bit i set when x[i] == 1 for x in the previous positions, inclusive.
inline std::uint64_t prefix_xor(std::uint64_t x) noexcept {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

inline __m128i in_range(__m128i v, char lo, char hi) noexcept {
    const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8(lo));
    return _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(static_cast<char>(hi - lo))), d);
}

inline __m128i eq(__m128i v, char c) noexcept { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }

// One bit per byte of the 64-byte block for which `f` gives a true lane.
template <class F>
inline std::uint64_t bits(const __m128i (&v)[4], F f) noexcept {
    std::uint64_t m = 0;
    for (int i = 0; i < 4; ++i) {
        m |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(f(v[i])))) << (16 * i);
    }
    return m;
}

} // namespace

const uchar* accept_container(const uchar* const start, const uchar* const e) noexcept {
    // Kind of the container open at each depth (1 = object); index 0 is
    // outside the value. One block can open 64 more than the checked limit.
    std::uint8_t kinds[kFastMaxDepth + 66];
    kinds[0] = 0;
    std::size_t depth = 0;
    unsigned state = kArrayComma * kField;

    // Carried from one block to the next.
    std::uint64_t escaped_carry = 0;  // bit 0: the first byte is escaped
    std::uint64_t string_carry = 0;   // all ones: the block starts inside a string
    std::uint64_t scalar_carry = 0;   // bit 0: the previous byte belongs to a scalar
    std::uint64_t hex_carry = 0;      // bytes that must be hex digits (a `\u` before)

    alignas(16) uchar tail[64];
    for (const uchar* base = start;; base += 64) {
        const uchar* block = base;
        if (e - base < 64) {
            if (base >= e) return nullptr;  // the value is not closed
            const auto n = static_cast<std::size_t>(e - base);
            std::memcpy(tail, base, n);
            std::memset(tail + n, ' ', 64 - n);
            block = tail;
        }
        __m128i v[4];
        for (int i = 0; i < 4; ++i) v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));

        const std::uint64_t backslash = bits(v, [](__m128i x) { return eq(x, '\\'); });
        const std::uint64_t quote = bits(v, [](__m128i x) { return eq(x, '"'); });
        const std::uint64_t control = bits(v, [](__m128i x) {
            const __m128i ctl = _mm_set1_epi8(0x1F);
            return _mm_cmpeq_epi8(_mm_max_epu8(x, ctl), ctl);
        });
        const std::uint64_t structural = bits(v, [](__m128i x) {
            const __m128i folded = _mm_or_si128(x, _mm_set1_epi8(0x20));  // [ ] -> { }
            return _mm_or_si128(_mm_or_si128(eq(folded, '{'), eq(folded, '}')),
                                _mm_or_si128(eq(x, ','), eq(x, ':')));
        });
        const std::uint64_t space = bits(v, [](__m128i x) {
            return _mm_or_si128(_mm_or_si128(eq(x, ' '), eq(x, '\t')), _mm_or_si128(eq(x, '\n'), eq(x, '\r')));
        });

        // Backslashes that escape the next byte: in each run of backslashes
        // (not counting a first one that is itself escaped), those at an
        // even distance from the run's start. Adding the run's start bit to
        // the mask clears exactly the runs that start at an even position.
        const std::uint64_t b = backslash & ~escaped_carry;
        const std::uint64_t run_starts = b & ~(b << 1);
        const std::uint64_t even_runs = b & ~(b + (run_starts & kEvenBits));
        const std::uint64_t odd_runs = b & ~even_runs;
        const std::uint64_t escapers = (even_runs & kEvenBits) | (odd_runs & ~kEvenBits);
        const std::uint64_t escaped = (escapers << 1) | escaped_carry;
        escaped_carry = escapers >> 63;

        // Unescaped quotes; `inside` covers each string from its opening
        // quote up to, not including, its closing quote.
        const std::uint64_t quotes = quote & ~escaped;
        const std::uint64_t inside = prefix_xor(quotes) ^ string_carry;
        string_carry = static_cast<std::uint64_t>(static_cast<std::int64_t>(inside) >> 63);

        std::uint64_t errors = control & inside;
        if ((escaped | hex_carry) != 0) {
            const std::uint64_t escape_ok = bits(v, [](__m128i x) {
                return _mm_or_si128(
                    _mm_or_si128(_mm_or_si128(eq(x, '"'), eq(x, '\\')), _mm_or_si128(eq(x, '/'), eq(x, 'b'))),
                    _mm_or_si128(_mm_or_si128(eq(x, 'f'), eq(x, 'n')),
                                 _mm_or_si128(eq(x, 'r'), in_range(x, 't', 'u'))));
            });
            const std::uint64_t hex = bits(v, [](__m128i x) {
                return _mm_or_si128(in_range(x, '0', '9'),
                                    in_range(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'f'));
            });
            const std::uint64_t u = escaped & bits(v, [](__m128i x) { return eq(x, 'u'); });
            // The four bytes after each `u`, in this block and the next.
            const std::uint64_t need = (u << 1) | (u << 2) | (u << 3) | (u << 4);
            errors |= (escaped & ~escape_ok) | ((need | hex_carry) & ~hex);
            hex_carry = (u >> 63) | (u >> 62) | (u >> 61) | (u >> 60);
        }

        // Tokens: structural characters and opening quotes outside strings,
        // and the first byte of every other run outside strings.
        const std::uint64_t outside = ~(inside | quotes);
        const std::uint64_t scalar = outside & ~(structural | space);
        const std::uint64_t scalar_starts = scalar & ~((scalar << 1) | scalar_carry);
        scalar_carry = scalar >> 63;
        std::uint64_t tokens = (structural & outside) | (quotes & inside) | scalar_starts;

        for (std::uint64_t s = scalar_starts; s != 0; s &= s - 1) {
            const unsigned i = static_cast<unsigned>(__builtin_ctzll(s));
            const uchar* const q = base + i;
            if (!(e - q >= 16 ? scalar_ok_wide(q, e) : scalar_ok(q, e))) errors |= std::uint64_t{1} << i;
        }

        while (tokens != 0) {
            const unsigned i = static_cast<unsigned>(__builtin_ctzll(tokens));
            tokens &= tokens - 1;
            const std::uint8_t cls = kClass[block[i]];
            const unsigned next = static_cast<unsigned>(kTransitions[cls] >> state) & 63;
            kinds[depth + 1] = cls == kOpenObject;
            depth += static_cast<std::size_t>(static_cast<std::ptrdiff_t>(kDepthChange[cls]));
            const unsigned after = kinds[depth] ? kObjectNext * kField : kArrayNext * kField;
            // Selected with a mask: a branch here would be mispredicted on
            // irregular input.
            const unsigned pop = 0u - static_cast<unsigned>(next == kPop * kField);
            state = next ^ ((next ^ after) & pop);
            if (depth == 0) [[unlikely]] {
                // The value's closing bracket, or an error that closed one
                // bracket too many.
                if (next != kPop * kField || (errors & ((std::uint64_t{1} << i) - 1)) != 0) return nullptr;
                return base + i + 1;
            }
        }
        if (state == kError * kField || errors != 0 || depth > kFastMaxDepth) return nullptr;
    }
}

} // namespace morvik::profile::detail
