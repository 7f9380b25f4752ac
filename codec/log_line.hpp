// Picking the payload text out of a Solana log line.
#pragma once

#include <optional>
#include <string_view>

namespace brisquel::codec {

inline constexpr std::string_view kDataPrefix = "Program data: ";
inline constexpr std::string_view kLogPrefix = "Program log: ";

// `text` without leading and trailing code points of the Unicode White_Space
// property (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000), read as UTF-8.
std::string_view trim_unicode_whitespace(std::string_view text);

// The trimmed text after "Program data: " or "Program log: " at the very start
// of `line`, or nullopt for a line with neither prefix.
std::optional<std::string_view> event_payload_text(std::string_view line);

}  // namespace brisquel::codec
