#include "src/codec/base58.hpp"

#include <cstring>

namespace brisquel::codec {
namespace {

constexpr char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// The number is carried in limbs of base 58^5 (< 2^30), so that shifting one
// 32-bit input word in costs one 64-bit multiply-add and one division by a
// constant per limb. 58^45 > 2^256, so nine limbs hold any key.
constexpr std::uint64_t kLimbBase = 58ull * 58 * 58 * 58 * 58;
constexpr int kLimbs = 9;
constexpr int kDigitsPerLimb = 5;

}  // namespace

std::size_t encode_base58_pubkey(std::span<const std::uint8_t, 32> key, char* out) {
  std::size_t zeros = 0;
  while (zeros < 32 && key[zeros] == 0) ++zeros;

  std::uint32_t limbs[kLimbs] = {};  // least significant first
  int used = 0;                      // limbs that may be non-zero
  for (std::size_t w = 0; w < 32; w += 4) {
    std::uint64_t carry = (std::uint64_t{key[w]} << 24) | (std::uint64_t{key[w + 1]} << 16) |
                          (std::uint64_t{key[w + 2]} << 8) | std::uint64_t{key[w + 3]};
    for (int i = 0; i < used; ++i) {
      const std::uint64_t acc = (std::uint64_t{limbs[i]} << 32) + carry;  // carry may exceed 32 bits
      limbs[i] = static_cast<std::uint32_t>(acc % kLimbBase);
      carry = acc / kLimbBase;
    }
    while (carry != 0) {
      limbs[used++] = static_cast<std::uint32_t>(carry % kLimbBase);
      carry /= kLimbBase;
    }
  }

  // Digits, most significant first, then drop the number's leading zero digits.
  char digits[kLimbs * kDigitsPerLimb];
  int n = 0;
  for (int i = used - 1; i >= 0; --i) {
    std::uint32_t v = limbs[i];
    for (int d = kDigitsPerLimb - 1; d >= 0; --d) {
      digits[n + d] = kAlphabet[v % 58];
      v /= 58;
    }
    n += kDigitsPerLimb;
  }
  int skip = 0;
  while (skip < n && digits[skip] == '1') ++skip;

  std::memset(out, '1', zeros);
  std::memcpy(out + zeros, digits + skip, static_cast<std::size_t>(n - skip));
  return zeros + static_cast<std::size_t>(n - skip);
}

}  // namespace brisquel::codec
