// How a name (a path, a command word) appears inside a one-line message.
#pragma once

#include <string>
#include <string_view>

namespace morvik {

// `name` with backslash shown as `\\`, line feed and tab as `\n` and `\t`,
// every other control character (C0, DEL, and C1 as U+0080 to U+009F) and
// every byte that is not part of well-formed UTF-8 as `\xHH` (a C1 character
// as the two bytes of its encoding). Everything else is kept, so the result
// never spans lines and the original bytes can be recovered from it.
[[nodiscard]] std::string escape_name(std::string_view name);

// Appends `text` to `out` as a JSON string (RFC 8259): in double quotes,
// with '"', '\\' and control characters escaped and every byte that is not
// part of well-formed UTF-8 replaced by U+FFFD.
void append_json_string(std::string& out, std::string_view text);

} // namespace morvik
