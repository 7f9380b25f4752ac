#include "core/json/text_scan.hpp"

#include <algorithm>

namespace brisquel::json {

bool leaves_value_open(std::string_view text) {
  long depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"': in_string = true; break;
      case '{': case '[': ++depth; break;
      case '}': case ']': --depth; break;
      default: break;
    }
  }
  return in_string || depth > 0;
}

TextPosition locate(std::string_view text, std::size_t offset, std::size_t first_line) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t newlines = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t line_start = newlines == 0 ? 0 : before.rfind('\n') + 1;
  return {first_line + newlines, offset - line_start + 1};
}

bool is_blank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

std::string_view utf8_prefix(std::string_view text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;  // a continuation byte
  return text.substr(0, end);
}

}  // namespace brisquel::json
