#include "codec/base58.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

namespace brisquel::codec {
namespace {

constexpr char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// The key is read as 8 big-endian words of 32 bits and converted to 11 limbs
// of base 58^4 by one table product: each output limb is a sum of at most 8
// products below 2^32 * 58^4 < 2^55.5, so the sums cannot overflow, and only
// the final carry pass divides. 58^44 > 2^256, so eleven limbs hold any key,
// and a limb below 58^4 is two table pairs of digits.
constexpr std::uint64_t kLimbBase = 58ull * 58 * 58 * 58;
constexpr int kInLimbs = 8;
constexpr int kOutLimbs = 11;
constexpr int kDigitsPerLimb = 4;
static_assert(sizeof(Base58Buffer::digits) == kOutLimbs * kDigitsPerLimb);

// kPowers[k][j]: limb j (least significant first) of 2^(32k) in base 58^4.
consteval std::array<std::array<std::uint32_t, kOutLimbs>, kInLimbs> make_powers() {
  std::array<std::array<std::uint32_t, kOutLimbs>, kInLimbs> t{};
  std::array<std::uint64_t, kOutLimbs> v{};
  v[0] = 1;
  for (int k = 0; k < kInLimbs; ++k) {
    for (int j = 0; j < kOutLimbs; ++j) t[k][j] = static_cast<std::uint32_t>(v[j]);
    std::uint64_t carry = 0;
    for (int j = 0; j < kOutLimbs; ++j) {
      const std::uint64_t x = (v[j] << 32) + carry;
      v[j] = x % kLimbBase;
      carry = x / kLimbBase;
    }
  }
  return t;
}

constexpr auto kPowers = make_powers();

// Two base58 digits for each value below 58^2.
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

  // Words least significant first: bytes 28..31 form word 0.
  std::uint32_t in[kInLimbs];
  for (int k = 0; k < kInLimbs; ++k) {
    std::uint32_t word;
    std::memcpy(&word, key.data() + 28 - 4 * k, 4);
    in[k] = std::byteswap(word);
  }

  // Fully unrolled, the table's many zero entries (small powers have few
  // limbs) drop out and the rest become immediate operands.
  std::uint64_t acc[kOutLimbs] = {};
#pragma GCC unroll 16
  for (int k = 0; k < kInLimbs; ++k) {
#pragma GCC unroll 16
    for (int j = 0; j < kOutLimbs; ++j) acc[j] += std::uint64_t{in[k]} * kPowers[k][j];
  }
#pragma GCC unroll 16
  for (int j = 0; j + 1 < kOutLimbs; ++j) {
    acc[j + 1] += acc[j] / kLimbBase;
    acc[j] %= kLimbBase;
  }

  // All 44 digits, most significant first.
  char* digits = buffer.digits;
#pragma GCC unroll 16
  for (int j = 0; j < kOutLimbs; ++j) {
    const auto v = static_cast<std::uint32_t>(acc[j]);  // below 58^4
    char* d = digits + (kOutLimbs - 1 - j) * kDigitsPerLimb;
    std::memcpy(d, kPairs[v / (58 * 58)].data(), 2);
    std::memcpy(d + 2, kPairs[v % (58 * 58)].data(), 2);
  }
  // The text is the number's digits after one "1" per leading zero byte. The
  // 44-digit form always starts with at least that many "1"s (zero digits),
  // so the text is a suffix of it.
  std::size_t skip = 0;
  while (skip < sizeof buffer.digits && digits[skip] == '1') ++skip;
  const std::size_t start = skip - zeros;
  return std::string_view(digits + start, sizeof buffer.digits - start);
}

}  // namespace brisquel::codec
