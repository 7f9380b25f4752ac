#include "codec/base64.hpp"

#include <array>

#include <simdutf.h>

#include "codec/base64_kernels.hpp"
#include "codec/simd_level.hpp"

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

// The last group, which may end in padding; returns the number of bytes it
// writes to `o` (1 to 3), or 0 when it is invalid.
std::size_t decode_last_group(const unsigned char* last, std::uint8_t* o) {
  if (last[3] != '=') {
    const std::uint32_t v = group(last);
    if (v & 0xFF000000u) return 0;
    o[0] = static_cast<std::uint8_t>(v >> 16);
    o[1] = static_cast<std::uint8_t>(v >> 8);
    o[2] = static_cast<std::uint8_t>(v);
    return 3;
  }
  if (last[2] == '=') {  // "xx==": one byte, the low 4 bits of the second symbol unused
    const std::uint32_t v = kTables[0][last[0]] | kTables[1][last[1]];
    if ((v & 0xFF000000u) || (v & 0x0FFFFu)) return 0;
    o[0] = static_cast<std::uint8_t>(v >> 16);
    return 1;
  }
  // "xxx=": two bytes, the low 2 bits of the third symbol unused
  const std::uint32_t v = kTables[0][last[0]] | kTables[1][last[1]] | kTables[2][last[2]];
  if ((v & 0xFF000000u) || (v & 0xFFu)) return 0;
  o[0] = static_cast<std::uint8_t>(v >> 16);
  o[1] = static_cast<std::uint8_t>(v >> 8);
  return 2;
}

// Table-driven, for texts shorter than a vector window, and without AVX2 for
// those where it beats the library call's fixed cost. `n` is a non-zero
// multiple of 4.
std::optional<std::size_t> decode_scalar(const unsigned char* s, std::size_t n, std::uint8_t* out) {
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
  const std::size_t last = decode_last_group(s + full, o);
  if (last == 0) return std::nullopt;
  return full / 4 * 3 + last;
}

// The library, for long texts on CPUs without AVX2.
std::optional<std::size_t> decode_library(std::string_view text, std::uint8_t* out) {
  const std::size_t n = text.size();
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

}  // namespace

std::optional<std::size_t> decode_base64_strict(std::string_view text, std::uint8_t* out, SimdLevel widest) {
  const std::size_t n = text.size();
  if (n % 4 != 0) return std::nullopt;
  if (n == 0) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
#ifdef BRISQUEL_X86_KERNELS
  const SimdLevel level = simd_level(widest);
  if (level != SimdLevel::portable && n >= detail::kAvx2MinText) {
    const bool valid = level == SimdLevel::avx512 && n >= detail::kAvx512MinText
                           ? detail::decode_base64_groups_avx512(s, n, out)
                           : detail::decode_base64_groups_avx2(s, n, out);
    // The kernels leave the last group's bytes to be written here.
    const std::size_t last = valid ? decode_last_group(s + n - 4, out + (n - 4) / 4 * 3) : 0;
    if (last == 0) return std::nullopt;
    return (n - 4) / 4 * 3 + last;
  }
#endif
  if (n < kScalarBelow) return decode_scalar(s, n, out);
  return decode_library(text, out);
}

void encode_base64(std::span<const std::uint8_t> bytes, std::string& out) {
  const std::size_t at = out.size();
  out.resize(at + simdutf::base64_length_from_binary(bytes.size()));
  const std::size_t n = simdutf::binary_to_base64(reinterpret_cast<const char*>(bytes.data()), bytes.size(), out.data() + at);
  out.resize(at + n);
}

}  // namespace brisquel::codec
