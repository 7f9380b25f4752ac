// Strict UTF-8 checking with the error position and length that decoded
// `string` values report, and a lossy repair for texts of unknown origin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brisquel::codec {

struct Utf8Error {
  std::size_t valid_up_to = 0;  // length of the valid prefix
  std::uint8_t error_len = 0;   // 1 to 3: the maximal ill-formed subpart; 0: input ends mid-sequence
  bool operator==(const Utf8Error&) const = default;
};

bool is_ascii(std::string_view bytes);

// Whether all of `bytes` is strict UTF-8: the one validator of the tree.
bool is_valid_utf8(std::string_view bytes);

// The length of the well-formed sequence at bytes[i] and its code point in
// `code_point`, or 0 when no well-formed sequence starts there.
std::size_t next_code_point(std::string_view bytes, std::size_t i, char32_t& code_point);

// The first error of `bytes` as strict UTF-8 (no surrogates, no overlong forms,
// nothing above U+10FFFF), or nullopt when all of it is valid.
std::optional<Utf8Error> check_utf8(std::string_view bytes);

// "invalid utf-8 sequence of {k} bytes from index {i}" or
// "incomplete utf-8 byte sequence from index {i}".
std::string describe(const Utf8Error& error);

// `bytes` with each maximal ill-formed subpart replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace brisquel::codec
