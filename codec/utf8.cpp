#include "codec/utf8.hpp"

#include <cstring>
#include <format>

#include <simdutf.h>

namespace brisquel::codec {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

inline bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Validates the sequence that starts at s[i] (a byte >= 0x80) and returns its
// length, or an error whose `error_len` counts only the bytes that still fit a
// well-formed sequence (0 when the input ends before the sequence could fail).
struct Step {
  std::size_t len;  // > 0: a valid sequence of this length
  std::uint8_t error_len;
};

Step step(const unsigned char* s, std::size_t i, std::size_t n) {
  const unsigned char first = s[i];
  int width;
  if (first >= 0xC2 && first <= 0xDF) width = 2;
  else if (first >= 0xE0 && first <= 0xEF) width = 3;
  else if (first >= 0xF0 && first <= 0xF4) width = 4;
  else return {0, 1};

  if (i + 1 >= n) return {0, 0};
  const unsigned char second = s[i + 1];
  // The second byte's range depends on the first: it is where overlong forms,
  // surrogates and code points above U+10FFFF are refused.
  unsigned char lo = 0x80, hi = 0xBF;
  if (first == 0xE0) lo = 0xA0;
  else if (first == 0xED) hi = 0x9F;
  else if (first == 0xF0) lo = 0x90;
  else if (first == 0xF4) hi = 0x8F;
  if (second < lo || second > hi) return {0, 1};
  if (width == 2) return {2, 0};

  if (i + 2 >= n) return {0, 0};
  if (!is_continuation(s[i + 2])) return {0, 2};
  if (width == 3) return {3, 0};

  if (i + 3 >= n) return {0, 0};
  if (!is_continuation(s[i + 3])) return {0, 3};
  return {4, 0};
}

}  // namespace

bool is_ascii(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint64_t acc = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    acc |= w;
  }
  for (; n > 0; ++p, --n) acc |= static_cast<unsigned char>(*p);
  return (acc & kHighBits) == 0;
}

bool is_valid_utf8(std::string_view bytes) { return simdutf::validate_utf8(bytes.data(), bytes.size()); }

std::size_t next_code_point(std::string_view bytes, std::size_t i, char32_t& code_point) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  if (s[i] < 0x80) {
    code_point = s[i];
    return 1;
  }
  const Step st = step(s, i, bytes.size());
  if (st.len == 0) return 0;
  char32_t value = s[i] & (0x7F >> st.len);
  for (std::size_t k = 1; k < st.len; ++k) value = (value << 6) | (s[i + k] & 0x3F);
  code_point = value;
  return st.len;
}

std::optional<Utf8Error> check_utf8(std::string_view bytes) {
  // The vectorised check clears almost every text; only a faulty one is walked
  // for the position and length of its first fault.
  if (is_valid_utf8(bytes)) return std::nullopt;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      // Skip ASCII a word at a time.
      while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, s + i, 8);
        if (w & kHighBits) break;
        i += 8;
      }
      while (i < n && s[i] < 0x80) ++i;
      continue;
    }
    const Step st = step(s, i, n);
    if (st.len == 0) return Utf8Error{i, st.error_len};
    i += st.len;
  }
  return std::nullopt;
}

std::string describe(const Utf8Error& error) {
  if (error.error_len == 0) {
    return std::format("incomplete utf-8 byte sequence from index {}", error.valid_up_to);
  }
  return std::format("invalid utf-8 sequence of {} bytes from index {}", error.error_len,
                     error.valid_up_to);
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const auto error = check_utf8(bytes);
    if (!error) {
      out.append(bytes);
      break;
    }
    out.append(bytes.substr(0, error->valid_up_to));
    out.append("\xEF\xBF\xBD");
    // An incomplete tail is one ill-formed subpart: all of it goes.
    const std::size_t bad = error->error_len == 0 ? bytes.size() - error->valid_up_to : error->error_len;
    bytes.remove_prefix(error->valid_up_to + bad);
  }
  return out;
}

}  // namespace brisquel::codec
