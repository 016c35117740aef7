// Checking the values of unknown keys: a fast acceptance path, and an entry
// point that runs the reader's check on one value (for tests and fuzzing).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "profile/unknown_value_avx2.hpp"

namespace morvik::profile::detail {

// The fast acceptance path. `p` points at `[` or `{` (p < e). Returns the
// position just past the matching closing bracket when the value is
// well-formed, with the same rules as the exact checker (strings: escapes
// checked, `\u` needs four hex digits, no raw control characters; numbers
// and literals by their grammar; bytes after the value are not looked at for
// the answer). Returns nullptr otherwise: malformed, cut off by the end of
// the text, or nested deeper than kFastMaxDepth; for a well-formed value
// within that depth it always returns its end. Never accepts what the exact
// checker rejects; on nullptr the caller runs the exact checker from `p`.
using AcceptFn = const unsigned char* (*)(const unsigned char* p, const unsigned char* e) noexcept;

// The fast path when this CPU runs it (x86-64 with AVX2, BMI1, BMI2 and
// PCLMULQDQ), else nullptr.
AcceptFn fast_path() noexcept;

// Result of checking one unknown-key value: on success `offset` is the end
// of the value; on failure it is the error's byte offset (the reader's
// position rule applied) and `message` its text.
struct ValueCheck {
    bool ok = false;
    std::size_t offset = 0;
    std::string message;

    bool operator==(const ValueCheck&) const = default;
};

// Checks the value starting at `start` (leading whitespace allowed) exactly
// as parse_profile() checks an unknown key's value. With `fast` false only
// the exact checker runs.
ValueCheck check_unknown_value(std::string_view text, std::size_t start, bool fast);

} // namespace morvik::profile::detail
