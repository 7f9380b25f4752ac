#include "src/codec/base58.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

namespace brisquel::codec {
namespace {

constexpr char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// The key is read as 11 limbs of 24 bits (the top one 16 bits) and converted
// to 9 limbs of base 58^5 by one table product: each output limb is a sum of
// 11 products below 2^24 * 58^5 < 2^54, so the sums cannot overflow, and only
// the final carry pass divides. 58^45 > 2^256, so nine limbs hold any key.
constexpr std::uint64_t kLimbBase = 58ull * 58 * 58 * 58 * 58;
constexpr int kInLimbs = 11;
constexpr int kOutLimbs = 9;
constexpr int kDigitsPerLimb = 5;

// kPowers[k][j]: limb j (least significant first) of 2^(24k) in base 58^5.
consteval std::array<std::array<std::uint32_t, kOutLimbs>, kInLimbs> make_powers() {
  std::array<std::array<std::uint32_t, kOutLimbs>, kInLimbs> t{};
  std::array<std::uint64_t, kOutLimbs> v{};
  v[0] = 1;
  for (int k = 0; k < kInLimbs; ++k) {
    for (int j = 0; j < kOutLimbs; ++j) t[k][j] = static_cast<std::uint32_t>(v[j]);
    std::uint64_t carry = 0;
    for (int j = 0; j < kOutLimbs; ++j) {
      const std::uint64_t x = (v[j] << 24) + carry;
      v[j] = x % kLimbBase;
      carry = x / kLimbBase;
    }
  }
  return t;
}

constexpr auto kPowers = make_powers();

// Two base58 digits for each value below 58^2, so a limb takes two divisions.
consteval std::array<std::array<char, 2>, 58 * 58> make_pairs() {
  std::array<std::array<char, 2>, 58 * 58> t{};
  for (int i = 0; i < 58 * 58; ++i) t[i] = {kAlphabet[i / 58], kAlphabet[i % 58]};
  return t;
}

constexpr auto kPairs = make_pairs();

}  // namespace

std::string_view encode_base58_pubkey(std::span<const std::uint8_t, 32> key, Base58Buffer& buffer) {
  std::size_t zeros = 0;
  while (zeros < 32 && key[zeros] == 0) ++zeros;

  // 24-bit limbs, least significant first: bytes 29..31 form limb 0. Each is
  // the low three bytes of one big-endian word load.
  std::uint32_t in[kInLimbs];
  for (int k = 0; k < kInLimbs - 1; ++k) {
    const std::size_t b = 29 - 3 * static_cast<std::size_t>(k);
    std::uint32_t word;
    std::memcpy(&word, key.data() + b - 1, 4);
    in[k] = std::byteswap(word) & 0xFFFFFFu;
  }
  in[kInLimbs - 1] = (std::uint32_t{key[0]} << 8) | key[1];

  // Fully unrolled, the table's many zero entries (small powers have few
  // limbs) drop out and the rest become immediate operands.
  std::uint64_t acc[kOutLimbs] = {};
#pragma GCC unroll 16
  for (int k = 0; k < kInLimbs; ++k) {
#pragma GCC unroll 16
    for (int j = 0; j < kOutLimbs; ++j) acc[j] += std::uint64_t{in[k]} * kPowers[k][j];
  }
  for (int j = 0; j + 1 < kOutLimbs; ++j) {
    acc[j + 1] += acc[j] / kLimbBase;
    acc[j] %= kLimbBase;
  }

  // All 45 digits, most significant first.
  char* digits = buffer.digits;
  for (int j = 0; j < kOutLimbs; ++j) {
    const auto v = static_cast<std::uint32_t>(acc[j]);  // below 58^5
    char* d = digits + (kOutLimbs - 1 - j) * kDigitsPerLimb;
    const std::uint32_t high = v / (58 * 58);           // below 58^3
    std::memcpy(d + 3, kPairs[v % (58 * 58)].data(), 2);
    std::memcpy(d + 1, kPairs[high % (58 * 58)].data(), 2);
    d[0] = kAlphabet[high / (58 * 58)];
  }
  // The text is the number's digits after one "1" per leading zero byte. The
  // 45-digit form always starts with at least that many "1"s (zero digits),
  // so the text is a suffix of it.
  std::size_t skip = 0;
  while (skip < sizeof buffer.digits && digits[skip] == '1') ++skip;
  const std::size_t start = skip - zeros;
  return std::string_view(digits + start, sizeof buffer.digits - start);
}

}  // namespace brisquel::codec
