// Texts that describe JSON values inside profile error messages. Internal to the profile reader;
// exposed for its tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morvik::profile::detail {

// A double as the messages show it: the shortest round-trip digits, in fixed
// notation with at least one digit after the point when the decimal exponent
// E of the first significant digit is in -5..15 (8080.0, 0.00001), otherwise
// d[.ddd]e±X (1e+16, 1.5e-7). Zero is 0.0, negative zero -0.0.
[[nodiscard]] std::string format_float(double value);

// `text` in double quotes: `"` and `\` get a backslash; tab, line feed,
// carriage return and NUL show as \t \n \r \0; other non-printable code
// points as \u{hex}. Bytes that are not valid UTF-8 (impossible for the
// launcher, which refuses such files, but possible for direct callers) show
// as U+FFFD, one per maximal invalid subpart.
[[nodiscard]] std::string quote_string(std::string_view text);

// The descriptions of values in "invalid type" and "invalid value" messages.
[[nodiscard]] std::string describe_unsigned(std::uint64_t value); // integer `5`
[[nodiscard]] std::string describe_signed(std::int64_t value);    // integer `-1`
[[nodiscard]] std::string describe_float(double value);           // floating point `1.5`
[[nodiscard]] std::string describe_string(std::string_view text); // string "abc"

} // namespace morvik::profile::detail
