// Plain scans of JSON text that the reader needs around simdjson: whether a
// value is left open at some point (to tell JSON lines from one multi-line
// value, and a text cut short from a malformed one), and line and column of a
// byte offset for error messages.
#pragma once

#include <cstddef>
#include <string_view>

namespace brisquel::json {

// Whether `text`, read from the start, leaves a string, array or object open at
// its end. Brackets are only counted, not matched: enough to see a cut.
bool leaves_value_open(std::string_view text);

struct TextPosition {
  std::size_t line = 1;    // 1-based
  std::size_t column = 1;  // 1-based, in bytes
};

// The position of `offset` in `text`, counting lines from `first_line`.
TextPosition locate(std::string_view text, std::size_t offset, std::size_t first_line = 1);

// Whether `text` holds only JSON white space (space, tab, CR, LF).
bool is_blank(std::string_view text);

// At most `max` bytes of UTF-8 `text`, cut before a character, not inside one:
// excerpts in error messages stay UTF-8.
std::string_view utf8_prefix(std::string_view text, std::size_t max);

}  // namespace brisquel::json
