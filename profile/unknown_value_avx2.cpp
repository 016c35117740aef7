// The fast acceptance path for unknown-key values, built for AVX2 (with BMI1,
// BMI2 and PCLMULQDQ) and called only on CPUs that have them.
//
// The text is read in 64-byte blocks, in two passes per block:
//
// 1. Classification (`classify`) turns the block into bit masks, one bit per
//    byte: quotes, backslashes, control bytes, whitespace, structural
//    characters, digits, signs, dots, exponent letters, hex digits, bytes
//    that may follow a backslash, `u`. From these `scan` derives, with no branch per byte: the bytes escaped by a
//    backslash, the quotes that open or close strings, the bytes inside
//    strings, the runs of bytes outside strings that form numbers and
//    literals, and a mask of every lexical error found: raw control bytes
//    and bad escapes in strings, `\u` without four hex digits, and every break
//    of the number grammar (signs, leading zeros, dots, exponents, letters
//    after digits). Rules that look at neighbouring bytes carry the last
//    block's masks across the boundary. Runs that start with a letter are
//    compared with the three literals as one 8-byte word each.
// 2. Grammar. A walk over the token positions (structural characters,
//    opening quotes, first bytes of runs) runs a state machine whose step is
//    one shift of a word per token, with a byte per open bracket for its
//    kind. The walk stops at the bracket that closes the value, and only
//    errors up to it count.
//
// Anything wrong, unusual, cut off or nested too deeply returns nullptr, and
// the caller runs the exact checker, which produces the message and position.
//
// Only <immintrin.h>, fixed-width types and this file's own internal-linkage
// code are used: no inline function shared with other files is compiled here
// for an instruction set the CPU may lack.
#include "profile/unknown_value_avx2.hpp"

#if defined(__x86_64__) && defined(__AVX2__) && defined(__BMI__) && defined(__BMI2__) && defined(__PCLMUL__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace morvik::profile::detail {
namespace {

using u64 = std::uint64_t;
using uchar = unsigned char;

constexpr u64 kEvenBits = 0x5555555555555555ULL;

struct Masks {
    u64 quote, backslash, control, space, structural;
    u64 digit, zero, minus, plus, dot, exp, hex, bad_escape, u;
};

// Lookup tables indexed by a byte's low nibble (vpshufb gives 0 for bytes
// with the high bit set).
//  - whitespace: the whitespace byte with that low nibble, and 0xFF (never
//    equal to an ASCII byte) elsewhere;
//  - structural: `:` `{` `,` `}` by low nibble, compared with the byte with
//    bit 5 set, which folds `[` `]` onto `{` `}`; this also matches 0x0C and
//    0x1A, which are removed as control bytes;
//  - escape letters `"` `\` `/` b f n r t u: one bit per high nibble (2, 5,
//    6, 7) in the low-nibble table, and that bit in the high-nibble table.
constexpr char kSpaceTable[16] = {' ', -1, -1, -1, -1, -1, -1, -1, -1, '\t', '\n', -1, -1, '\r', -1, -1};
constexpr char kStructuralTable[16] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, ':', '{', ',', '}', -1, -1};
constexpr char kEscapeLow[16] = {0, 0, 1 | 4 | 8, 0, 8, 8, 4, 0, 0, 0, 0, 0, 2, 0, 4, 1};
constexpr char kEscapeHigh[16] = {0, 0, 1, 0, 0, 2, 4, 8, 0, 0, 0, 0, 0, 0, 0, 0};

// ---- classification ----------------------------------------------------------

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

// Token classes of the walk.
enum : std::uint8_t {
    kOpenObject,
    kOpenArray,
    kCloseObject,
    kCloseArray,
    kComma,
    kColon,
    kQuote,
    kNumber,   // `-` or a digit
    kLiteral,  // `t`, `f` or `n`
    kBad,      // anything else that starts a run outside strings
    kClasses,
};

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
    kStates,
};

// The transitions of a token: a 64-bit word with a 6-bit field per state,
// holding the next state times 6. The walk keeps as its state the whole word
// of the last step and shifts the next token's word by it: a shift uses only
// the low 6 bits of its count, which are the new state's field offset. So a
// step is one shift, and the walk's chain from token to token is one
// instruction long.
constexpr unsigned kField = 6;

// One entry per byte that starts a token: its transitions when the
// container it leaves the walk in (after a closing bracket: the parent) is
// an array or an object, the change of depth, and whether it opens an
// object.
struct Token {
    u64 in_array;
    u64 in_object;
    std::int8_t depth_change;
    std::uint8_t opens_object;
};

struct TokenTable {
    Token of[256];
};

constexpr std::uint8_t class_of(uchar c) {
    switch (c) {
    case '{': return kOpenObject;
    case '[': return kOpenArray;
    case '}': return kCloseObject;
    case ']': return kCloseArray;
    case ',': return kComma;
    case ':': return kColon;
    case '"': return kQuote;
    case 't': case 'f': case 'n': return kLiteral;
    default: return c == '-' || (c >= '0' && c <= '9') ? kNumber : kBad;
    }
}

struct NextStates {
    std::uint8_t of[kClasses][kStates];
};

// The next state for each token class and state; a closing bracket that
// matches returns to `parent_next`, the state after a value in the parent.
constexpr NextStates next_states(std::uint8_t parent_next) {
    NextStates n{};
    for (auto& row : n.of) {
        for (auto& x : row) x = kError;
    }
    const auto value = [&n](std::uint8_t state, std::uint8_t after) {
        n.of[kOpenObject][state] = kObjectFirst;
        n.of[kOpenArray][state] = kArrayFirst;
        n.of[kQuote][state] = after;
        n.of[kNumber][state] = after;
        n.of[kLiteral][state] = after;
    };
    value(kArrayFirst, kArrayNext);
    n.of[kCloseArray][kArrayFirst] = parent_next;
    n.of[kQuote][kObjectFirst] = kAfterKey;
    n.of[kCloseObject][kObjectFirst] = parent_next;
    n.of[kColon][kAfterKey] = kAfterColon;
    value(kAfterColon, kObjectNext);
    n.of[kComma][kObjectNext] = kObjectComma;
    n.of[kCloseObject][kObjectNext] = parent_next;
    n.of[kComma][kArrayNext] = kArrayComma;
    n.of[kCloseArray][kArrayNext] = parent_next;
    n.of[kQuote][kObjectComma] = kAfterKey;
    value(kArrayComma, kArrayNext);
    return n;
}

constexpr u64 transitions(const NextStates& n, std::uint8_t cls) {
    u64 word = 0;
    for (unsigned state = 0; state < kStates; ++state) word |= u64{n.of[cls][state] * kField} << (state * kField);
    return word;
}

constexpr TokenTable make_tokens() {
    constexpr NextStates in_array = next_states(kArrayNext);
    constexpr NextStates in_object = next_states(kObjectNext);
    TokenTable t{};
    for (unsigned c = 0; c < 256; ++c) {
        const std::uint8_t cls = class_of(static_cast<uchar>(c));
        t.of[c] = Token{transitions(in_array, cls), transitions(in_object, cls),
                        static_cast<std::int8_t>(cls <= kOpenArray ? 1 : cls <= kCloseArray ? -1 : 0),
                        static_cast<std::uint8_t>(cls == kOpenObject)};
    }
    return t;
}
constexpr TokenTable kTokens = make_tokens();

// Literals by first byte: the bytes to compare (as a little-endian word
// under a mask) and the length, after which no byte of a run may follow.
struct Literal {
    u64 mask;
    u64 word;
    std::uint8_t length;
    std::uint8_t is_literal;
};

struct ByteTable {
    std::uint8_t of[256];
};

struct LiteralTable {
    Literal of[256];
};

constexpr u64 word_of(const char* s, unsigned n) {
    u64 w = 0;
    for (unsigned i = n; i-- > 0;) w = (w << 8) | static_cast<uchar>(s[i]);
    return w;
}

constexpr LiteralTable make_literals() {
    LiteralTable t{};
    t.of[static_cast<uchar>('t')] = {0xFFFFFFFFULL, word_of("true", 4), 4, 1};
    t.of[static_cast<uchar>('n')] = {0xFFFFFFFFULL, word_of("null", 4), 4, 1};
    t.of[static_cast<uchar>('f')] = {0xFFFFFFFFFFULL, word_of("false", 5), 5, 1};
    return t;
}
constexpr LiteralTable kLiterals = make_literals();

// Bytes that continue a run outside strings (anything but whitespace,
// structural characters and quotes).
constexpr ByteTable make_continues() {
    ByteTable t{};
    for (auto& c : t.of) c = 1;
    for (const char c : " \t\n\r{}[],:\"") {
        if (c != '\0') t.of[static_cast<uchar>(c)] = 0;
    }
    return t;
}
constexpr ByteTable kContinuesRun = make_continues();

// ---- bit masks ---------------------------------------------------------------

// Bit i set when an odd number of bits of x are set at positions 0..i.
inline u64 prefix_xor(u64 x) noexcept {
    const __m128i r = _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<long long>(x)), _mm_set1_epi8(-1), 0);
    return static_cast<u64>(_mm_cvtsi128_si64(r));
}

// `now` moved k bytes later, with the last block's `before` shifted in.
inline u64 shifted(u64 now, u64 before, unsigned k) noexcept { return (now << k) | (before >> (64 - k)); }

// For each seed, the first byte at or after it that is not in `run`: adding
// a seed at the start of a run carries through the run to the byte after it,
// and a seed outside `run` stays where it is. At most one seed per run, at
// its start. `carry` takes the addition's carry from one block to the next.
inline u64 first_after(u64 seeds, u64 run, unsigned char& carry) noexcept {
    unsigned long long sum;
    carry = _addcarry_u64(carry, run, seeds, &sum);
    return sum & ~run;
}

// State carried from one block to the next: the last block's masks, for the
// rules that look at the byte before.
struct Carry {
    u64 escaped = 0;    // bit 0: the first byte is escaped
    u64 in_string = 0;  // all ones: the block starts inside a string
    u64 run = 0;        // bytes of runs outside strings (numbers, literals)
    u64 number = 0;     // run bytes that may belong to a number
    u64 other = 0;      // run bytes that cannot
    u64 exp = 0;        // exponent letters of numbers
    u64 sign = 0;
    u64 digit = 0;
    u64 dot = 0;
    u64 first_zero = 0;   // a `0` that is a number's first digit
    u64 minus_start = 0;  // a `-` that starts a run
    u64 u = 0;            // escaped `u` in a string
    u64 special = 0;        // `.` and exponent letters of numbers
    unsigned char after_special = 0;  // carries of first_after()
    unsigned char after_exp = 0;
};

struct Block {
    u64 tokens;
    u64 errors;
    u64 words;  // first bytes of runs that start with a letter (or other non-number byte)
};

// Stage 1 for one block, from its masks: its tokens and its lexical errors.
inline Block scan(const Masks& m, Carry& c) noexcept {
    // Backslashes that escape the next byte: in each run of backslashes (not
    // counting a first one that is itself escaped), those at an even
    // distance from the run's start. Adding the run's start bit to the mask
    // clears exactly the runs that start at an even position.
    const u64 b = m.backslash & ~c.escaped;
    const u64 run_starts = b & ~(b << 1);
    const u64 even_runs = b & ~(b + (run_starts & kEvenBits));
    const u64 odd_runs = b & ~even_runs;
    const u64 escapers = (even_runs & kEvenBits) | (odd_runs & ~kEvenBits);
    const u64 escaped = (escapers << 1) | c.escaped;
    c.escaped = escapers >> 63;

    // Unescaped quotes; `inside` covers each string from its opening quote
    // up to, not including, its closing quote.
    const u64 quotes = m.quote & ~escaped;
    const u64 inside = prefix_xor(quotes) ^ c.in_string;
    c.in_string = static_cast<u64>(static_cast<std::int64_t>(inside) >> 63);

    // Strings: no raw control bytes, known escapes, four hex digits after `\u`.
    u64 errors = (m.control | (escaped & m.bad_escape)) & inside;
    const u64 u = escaped & m.u & inside;
    errors |= (shifted(u, c.u, 1) | shifted(u, c.u, 2) | shifted(u, c.u, 3) | shifted(u, c.u, 4)) & ~m.hex;
    c.u = u;

    // Runs outside strings: numbers and literals (or errors).
    const u64 run = ~(inside | quotes | m.structural | m.space);
    const u64 run_start = run & ~shifted(run, c.run, 1);
    c.run = run;
    // A byte that cannot be part of a number may not follow one that can:
    // numbers hold only digits, signs, dots and exponent letters, and the
    // literals' letters never follow one of those (the `e` of true and false
    // comes last). Runs starting with a letter are compared as literals.
    const u64 number = run & (m.digit | m.minus | m.plus | m.dot | m.exp);
    const u64 other = run & ~number;
    errors |= shifted(number, c.number, 1) & other;
    const u64 exp = run & m.exp & ~shifted(other, c.other, 1);  // not the `e` of a literal
    c.number = number;
    c.other = other;

    const u64 minus = run & m.minus;
    const u64 sign = minus | (run & m.plus);
    const u64 digit = run & m.digit;
    const u64 dot = run & m.dot;
    const u64 after_exp1 = shifted(exp, c.exp, 1);
    errors |= minus & ~(run_start | after_exp1);               // `-` first or after an exponent
    errors |= (sign & ~minus) & ~after_exp1;                   // `+` only after an exponent
    errors |= shifted(sign, c.sign, 1) & ~m.digit;             // a digit after a sign
    errors |= (dot | exp) & ~shifted(digit, c.digit, 1);       // a digit before `.` and `e`
    errors |= shifted(dot, c.dot, 1) & ~m.digit;               // a digit after `.`
    errors |= after_exp1 & ~(m.digit | m.minus | m.plus);      // a digit or sign after `e`
    const u64 minus_start = minus & run_start;
    const u64 first_zero = run & m.zero & (run_start | shifted(minus_start, c.minus_start, 1));
    errors |= shifted(first_zero, c.first_zero, 1) & m.digit;  // no leading zero

    // At most one `.` and one exponent per number, the `.` first. Within a
    // number, what separates two of them is digits and signs; so a `.` may
    // not be the first byte other than those after a `.` or an exponent, and
    // nothing may be the first such byte after an exponent.
    const u64 special = dot | exp;
    const u64 between = digit | sign;
    errors |= dot & first_after(shifted(special, c.special, 1), between, c.after_special);
    errors |= special & first_after(after_exp1, between, c.after_exp);
    c.special = special;
    c.exp = exp;
    c.sign = sign;
    c.digit = digit;
    c.dot = dot;
    c.minus_start = minus_start;
    c.first_zero = first_zero;

    return Block{(m.structural & ~inside & ~quotes) | (quotes & inside) | run_start, errors, run_start & other};
}

inline u64 load64(const uchar* p) noexcept {
    u64 x;
    __builtin_memcpy(&x, p, 8);
    return x;
}

// The first byte of a run that starts with a letter must begin exactly
// `true`, `false` or `null`, and the run must end there. Returns the bits of
// those that do not.
[[gnu::always_inline]] inline u64 word_error(const uchar* block, u64 words) noexcept {
    // With no word left, i is 64 (still inside the block's readable bytes)
    // and the bit is 0.
    const unsigned i = static_cast<unsigned>(_tzcnt_u64(words));
    const Literal& literal = kLiterals.of[block[i]];
    const u64 wrong = ((load64(block + i) & literal.mask) ^ literal.word) |
                      (kContinuesRun.of[block[i + literal.length]] & literal.is_literal);
    return wrong != 0 ? words & (0 - words) : 0;
}

inline u64 word_errors(const uchar* block, u64 words) noexcept {
    // The first two without a branch: most blocks hold no more.
    u64 errors = word_error(block, words);
    words &= words - 1;
    errors |= word_error(block, words);
    words &= words - 1;
    for (; words != 0; words &= words - 1) errors |= word_error(block, words);
    return errors;
}

// The whole check.
const uchar* accept(const uchar* const start, const uchar* const e) noexcept {
    // Whether the container open at depth d (from 1) is an object, at
    // object[d + 1]; the first two entries stay 0, the others are written
    // before they are read. One block can open 64 more than the checked
    // limit.
    std::uint8_t object[kFastMaxDepth + 67];
    object[0] = 0;
    object[1] = 0;
    std::size_t depth = 0;
    u64 state = kArrayComma * kField;  // the low 6 bits count
    Carry carry;

    // Blocks are read in place while 72 bytes remain (a literal's word and
    // the byte after it may reach 8 bytes past a block); the rest of the text
    // is copied, padded with spaces.
    alignas(64) uchar tail[144];
    const uchar* tail_base = nullptr;
    for (const uchar* base = start;; base += 64) {
        const uchar* block = base;
        if (e - base < 72) {
            if (base >= e) return nullptr;  // the value is not closed
            if (tail_base == nullptr) {
                const auto n = static_cast<std::size_t>(e - base);
                __builtin_memcpy(tail, base, n);
                __builtin_memset(tail + n, ' ', sizeof tail - n);
                tail_base = base;
            }
            block = tail + (base - tail_base);
        }
        // The hardware prefetcher alone falls behind on long values that are
        // not in cache; asking 16 blocks ahead keeps the time per byte the
        // same for 10 MB and 100 MB. A prefetch never faults, so the address
        // may lie past the text.
        _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(base) + 1024), _MM_HINT_T0);
        const Block scanned = scan(classify(block), carry);
        const u64 errors = scanned.errors | word_errors(block, scanned.words);
        for (u64 tokens = scanned.tokens; tokens != 0; tokens &= tokens - 1) {
            const unsigned i = static_cast<unsigned>(__builtin_ctzll(tokens));
            const Token& token = kTokens.of[block[i]];
            // A closing bracket returns to the container one level up. The
            // other tokens have the same word either way, so the kind is
            // read before the store below and never waits for it.
            const u64 word = object[depth] != 0 ? token.in_object : token.in_array;
            object[depth + 2] = token.opens_object;
            depth += static_cast<std::size_t>(static_cast<std::ptrdiff_t>(token.depth_change));
            state = word >> (state & 63);
            if (depth == 0) [[unlikely]] {
                // The value's closing bracket, or an error that closed one
                // bracket too many. Errors after the bracket do not count.
                const u64 upto = i == 63 ? ~u64{0} : (u64{2} << i) - 1;
                if ((state & 63) == kError * kField || (errors & upto) != 0) return nullptr;
                return base + i + 1;
            }
        }
        if ((state & 63) == kError * kField || errors != 0 || depth > kFastMaxDepth) return nullptr;
    }
}

} // namespace

const unsigned char* accept_container_avx2(const unsigned char* p, const unsigned char* e) noexcept {
    return accept(p, e);
}

} // namespace morvik::profile::detail

#else

namespace morvik::profile::detail {
// Not built for AVX2: never called (fast_path() gives no path).
const unsigned char* accept_container_avx2(const unsigned char*, const unsigned char*) noexcept { return nullptr; }
} // namespace morvik::profile::detail

#endif
