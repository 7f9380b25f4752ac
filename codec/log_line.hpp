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
std::string_view trim_unicode_whitespace_slow(std::string_view text);

inline std::string_view trim_unicode_whitespace(std::string_view text) {
  // Most texts start and end with a printable ASCII byte, which no white
  // space is nor ends: they are returned without a call.
  if (!text.empty()) {
    const auto first = static_cast<unsigned char>(text.front());
    const auto last = static_cast<unsigned char>(text.back());
    if (first > 0x20 && first < 0x80 && last > 0x20 && last < 0x80) return text;
  }
  return trim_unicode_whitespace_slow(text);
}

// The trimmed text after "Program data: " or "Program log: " at the very start
// of `line`, or nullopt for a line with neither prefix. Inline: it is asked of
// every line of a batch, and most lines have neither.
inline std::optional<std::string_view> event_payload_text(std::string_view line) {
  if (line.starts_with(kDataPrefix)) return trim_unicode_whitespace(line.substr(kDataPrefix.size()));
  if (line.starts_with(kLogPrefix)) return trim_unicode_whitespace(line.substr(kLogPrefix.size()));
  return std::nullopt;
}

}  // namespace brisquel::codec
