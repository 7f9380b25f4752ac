#include "codec/base64.hpp"

#include <array>

#include <simdutf.h>

namespace brisquel::codec {
namespace {

constexpr std::uint32_t kBad = 0xFFFFFFFFu;

// One table per position in a group of four, each holding the symbol's six bits
// already shifted into place, so a group costs four loads and three ORs. An
// invalid character has all bits set, which no valid group can produce in the
// top byte: one test per group finds it.
consteval std::array<std::array<std::uint32_t, 256>, 4> make_tables() {
  std::array<std::array<std::uint32_t, 256>, 4> t{};
  for (auto& row : t) row.fill(kBad);
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::uint32_t i = 0; i < 64; ++i) {
    auto c = static_cast<unsigned char>(alphabet[i]);
    t[0][c] = i << 18;
    t[1][c] = i << 12;
    t[2][c] = i << 6;
    t[3][c] = i;
  }
  return t;
}

constexpr auto kTables = make_tables();

inline std::uint32_t group(const unsigned char* s) {
  return kTables[0][s[0]] | kTables[1][s[1]] | kTables[2][s[2]] | kTables[3][s[3]];
}

// Table-driven, for short texts (most event payloads), where it beats the
// vectorised library call's fixed cost.
std::optional<std::size_t> decode_scalar(std::string_view text, std::uint8_t* out) {
  const std::size_t n = text.size();
  if (n % 4 != 0) return std::nullopt;
  if (n == 0) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::uint8_t* o = out;
  const std::size_t full = n - 4;  // the last group may carry padding
  for (std::size_t i = 0; i < full; i += 4) {
    const std::uint32_t v = group(s + i);
    if (v & 0xFF000000u) return std::nullopt;
    o[0] = static_cast<std::uint8_t>(v >> 16);
    o[1] = static_cast<std::uint8_t>(v >> 8);
    o[2] = static_cast<std::uint8_t>(v);
    o += 3;
  }
  const unsigned char* last = s + full;
  if (last[3] != '=') {
    const std::uint32_t v = group(last);
    if (v & 0xFF000000u) return std::nullopt;
    o[0] = static_cast<std::uint8_t>(v >> 16);
    o[1] = static_cast<std::uint8_t>(v >> 8);
    o[2] = static_cast<std::uint8_t>(v);
    return full / 4 * 3 + 3;
  }
  if (last[2] == '=') {  // "xx==": one byte, the low 4 bits of the second symbol unused
    const std::uint32_t v = kTables[0][last[0]] | kTables[1][last[1]];
    if ((v & 0xFF000000u) || (v & 0x0FFFFu)) return std::nullopt;
    o[0] = static_cast<std::uint8_t>(v >> 16);
    return full / 4 * 3 + 1;
  }
  // "xxx=": two bytes, the low 2 bits of the third symbol unused
  const std::uint32_t v = kTables[0][last[0]] | kTables[1][last[1]] | kTables[2][last[2]];
  if ((v & 0xFF000000u) || (v & 0xFFu)) return std::nullopt;
  o[0] = static_cast<std::uint8_t>(v >> 16);
  o[1] = static_cast<std::uint8_t>(v >> 8);
  return full / 4 * 3 + 2;
}

}  // namespace

std::optional<std::size_t> decode_base64_strict(std::string_view text, std::uint8_t* out) {
  const std::size_t n = text.size();
  if (n % 4 != 0) return std::nullopt;
  if (n < kScalarBelow) return decode_scalar(text, out);
  // Strict: padding required, and the unused bits of the last symbol zero.
  const simdutf::result r = simdutf::base64_to_binary(text.data(), n, reinterpret_cast<char*>(out),
                                                      simdutf::base64_default,
                                                      simdutf::last_chunk_handling_options::strict);
  if (r.error != simdutf::error_code::SUCCESS) return std::nullopt;
  // The library skips ASCII white space, which a payload must not hold. Each
  // skipped character shortens the output, and "=" counts at most as much as
  // the ones ending the text, so the full length holds only without any.
  const std::size_t pad = (text[n - 1] == '=') + (text[n - 2] == '=');
  if (r.count != n / 4 * 3 - pad) return std::nullopt;
  return r.count;
}

}  // namespace brisquel::codec
