#include "codec/log_line.hpp"

#include <cstddef>

namespace brisquel::codec {
namespace {

inline unsigned char byte(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

inline bool ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Length of the white-space code point at the start of `s`, or 0.
std::size_t leading_space(std::string_view s) {
  const unsigned char c = byte(s, 0);
  if (c < 0x80) return ascii_space(c) ? 1 : 0;
  if (c == 0xC2) return s.size() >= 2 && (byte(s, 1) == 0x85 || byte(s, 1) == 0xA0) ? 2 : 0;
  if (s.size() < 3) return 0;
  const unsigned char b1 = byte(s, 1), b2 = byte(s, 2);
  if (c == 0xE1) return b1 == 0x9A && b2 == 0x80 ? 3 : 0;                          // U+1680
  if (c == 0xE3) return b1 == 0x80 && b2 == 0x80 ? 3 : 0;                          // U+3000
  if (c != 0xE2) return 0;
  if (b1 == 0x80) {
    return (b2 <= 0x8A && b2 >= 0x80) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;  // U+2000..200A, 2028, 2029, 202F
  }
  return b1 == 0x81 && b2 == 0x9F ? 3 : 0;                                         // U+205F
}

// Length of the white-space code point at the end of `s`, or 0. In UTF-8 a
// sequence's lead byte is never a continuation byte, so matching the last two
// or three bytes is unambiguous.
std::size_t trailing_space(std::string_view s) {
  const std::size_t n = s.size();
  const unsigned char c = byte(s, n - 1);
  if (c < 0x80) return ascii_space(c) ? 1 : 0;
  if (n >= 2 && byte(s, n - 2) == 0xC2) return c == 0x85 || c == 0xA0 ? 2 : 0;
  if (n >= 3 && leading_space(s.substr(n - 3)) == 3) return 3;
  return 0;
}

}  // namespace

std::string_view trim_unicode_whitespace_slow(std::string_view text) {
  while (!text.empty()) {
    const std::size_t k = leading_space(text);
    if (k == 0) break;
    text.remove_prefix(k);
  }
  while (!text.empty()) {
    const std::size_t k = trailing_space(text);
    if (k == 0) break;
    text.remove_suffix(k);
  }
  return text;
}

}  // namespace brisquel::codec
