#include "codec/json_text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace brisquel::codec {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// For each byte, the letter after the backslash of its escape ('u' for
// \u00xx), or 0 when it is copied as is.
consteval std::array<char, 256> make_escapes() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['\b'] = 'b';
  t['\f'] = 'f';
  t['\n'] = 'n';
  t['\r'] = 'r';
  t['\t'] = 't';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}

constexpr auto kEscapes = make_escapes();

// Whether any of the 8 bytes of `word` needs an escape. Each test is the usual
// "some byte below n" bit trick, exact about whether there is one, which is
// all that is asked: the bytes of a flagged word are then looked at one by one.
inline bool needs_escape(std::uint64_t word) {
  constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
  const auto has_below = [](std::uint64_t x, std::uint64_t n) { return (x - ones * n) & ~x & highs; };
  return (has_below(word, 0x20) | has_below(word ^ (ones * '"'), 1) | has_below(word ^ (ones * '\\'), 1)) != 0;
}

consteval std::array<char, 512> make_hex_pairs() {
  std::array<char, 512> t{};
  for (int i = 0; i < 256; ++i) {
    t[2 * i] = kHexDigits[i >> 4];
    t[2 * i + 1] = kHexDigits[i & 15];
  }
  return t;
}

constexpr auto kHexPairs = make_hex_pairs();

}  // namespace

void append_json_string(std::string& out, std::string_view utf8) {
  out += '"';
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  const char* run = p;  // start of the bytes not copied yet
  for (;;) {
    std::uint64_t word;
    while (end - p >= 8 && (std::memcpy(&word, p, 8), !needs_escape(word))) p += 8;
    const char* const stop = end - p >= 8 ? p + 8 : end;
    while (p != stop && kEscapes[static_cast<unsigned char>(*p)] == 0) ++p;
    if (p == end) break;
    if (p == stop) continue;
    out.append(run, static_cast<std::size_t>(p - run));
    const auto c = static_cast<unsigned char>(*p);
    if (const char e = kEscapes[c]; e != 'u') {
      const char escape[2] = {'\\', e};
      out.append(escape, 2);
    } else {
      const char escape[6] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 15]};
      out.append(escape, 6);
    }
    run = ++p;
  }
  out.append(run, static_cast<std::size_t>(end - run));
  out += '"';
}

std::size_t write_float_repr(char* out, double value) {
  char* p = out;
  if (std::isnan(value)) {
    std::memcpy(p, "nan", 3);
    return 3;
  }
  if (std::signbit(value)) {
    *p++ = '-';
    value = -value;
  }
  if (std::isinf(value) || value == 0) {
    std::memcpy(p, value == 0 ? "0.0" : "inf", 3);
    return static_cast<std::size_t>(p + 3 - out);
  }

  // The library's shortest round-trip form, d[.ddd]e±XX, taken apart into the
  // digits and the decimal exponent of the first one.
  char scientific[32];
  const char* const scientific_end =
      std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
  char digits[32];
  int n = 0;
  const char* q = scientific;
  for (; *q != 'e'; ++q) {
    if (*q != '.') digits[n++] = *q;
  }
  ++q;
  const bool negative_exponent = *q++ == '-';
  int exponent = 0;
  for (; q != scientific_end; ++q) exponent = exponent * 10 + (*q - '0');
  if (negative_exponent) exponent = -exponent;

  const auto put = [&p](const char* from, int count) {
    std::memcpy(p, from, static_cast<std::size_t>(count));
    p += count;
  };
  if (exponent < -4 || exponent >= 16) {  // 1e+16, 1.5e-05
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      put(digits + 1, n - 1);
    }
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude >= 100) *p++ = static_cast<char>('0' + magnitude / 100);
    *p++ = static_cast<char>('0' + magnitude / 10 % 10);
    *p++ = static_cast<char>('0' + magnitude % 10);
  } else if (exponent < 0) {  // 0.00015
    put("0.000", 1 - exponent);
    put(digits, n);
  } else if (n > exponent + 1) {  // 12.5
    put(digits, exponent + 1);
    *p++ = '.';
    put(digits + exponent + 1, n - exponent - 1);
  } else {  // 1200.0
    put(digits, n);
    std::memset(p, '0', static_cast<std::size_t>(exponent + 1 - n));
    p += exponent + 1 - n;
    put(".0", 2);
  }
  return static_cast<std::size_t>(p - out);
}

void append_json_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "\"NaN\"";
  } else if (std::isinf(value)) {
    out += value > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  } else {
    char buffer[kFloatReprMax];
    out.append(buffer, write_float_repr(buffer, value));
  }
}

void write_hex(char* out, std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t b : bytes) {
    std::memcpy(out, kHexPairs.data() + 2 * b, 2);
    out += 2;
  }
}

void append_hex(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + 2 * bytes.size() + 2, [&](char* data, std::size_t size) {
    data[start] = '"';
    write_hex(data + start + 1, bytes);
    data[size - 1] = '"';
    return size;
  });
}

}  // namespace brisquel::codec
