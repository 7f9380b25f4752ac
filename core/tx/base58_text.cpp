#include "core/tx/base58_text.hpp"

#include <algorithm>
#include <array>

namespace brisquel::tx {
namespace {

constexpr char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// Both directions work on limbs of five base58 digits or 32 bits: 58^5 < 2^30,
// so a limb times the other base plus a carry stays below 2^63.
constexpr std::uint64_t kBase58Limb = 58ull * 58 * 58 * 58 * 58;
constexpr int kDigitsPerLimb = 5;

consteval std::array<std::int8_t, 256> make_digit_values() {
  std::array<std::int8_t, 256> t{};
  t.fill(-1);
  for (int i = 0; i < 58; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return t;
}

constexpr auto kDigitValues = make_digit_values();

}  // namespace

std::size_t encode_base58(std::span<const std::uint8_t> bytes, char* out) {
  std::size_t zeros = 0;
  while (zeros < bytes.size() && bytes[zeros] == 0) ++zeros;

  // The number in base 58^5, least significant limb first. A limb holds
  // about 29.3 bits, so 32-bit steps need at most size / 3.6 + 1 limbs.
  std::uint32_t limbs[base58_text_capacity(256) / kDigitsPerLimb + 2];
  std::vector<std::uint32_t> heap;
  std::uint32_t* limb = limbs;
  if (bytes.size() > 256) {
    heap.resize(bytes.size() / 3 + 2);
    limb = heap.data();
  }
  std::size_t used = 0;
  // The leading size % 4 bytes form one short step, the rest 32-bit steps.
  std::size_t pos = zeros;
  while (pos < bytes.size()) {
    const std::size_t take = (bytes.size() - pos) % 4 == 0 ? 4 : (bytes.size() - pos) % 4;
    std::uint64_t carry = 0;
    for (std::size_t k = 0; k < take; ++k) carry = (carry << 8) | bytes[pos + k];
    pos += take;
    const unsigned shift = static_cast<unsigned>(8 * take);
    for (std::size_t i = 0; i < used; ++i) {
      const std::uint64_t x = (std::uint64_t{limb[i]} << shift) + carry;
      limb[i] = static_cast<std::uint32_t>(x % kBase58Limb);
      carry = x / kBase58Limb;
    }
    while (carry != 0) {
      limb[used++] = static_cast<std::uint32_t>(carry % kBase58Limb);
      carry /= kBase58Limb;
    }
  }

  char* o = out;
  for (std::size_t i = 0; i < zeros; ++i) *o++ = '1';
  // Most significant limb first, without its leading zero digits.
  bool leading = true;
  for (std::size_t i = used; i-- > 0;) {
    char group[kDigitsPerLimb];
    std::uint32_t v = limb[i];
    for (int d = kDigitsPerLimb - 1; d >= 0; --d) {
      group[d] = kAlphabet[v % 58];
      v /= 58;
    }
    int d = 0;
    if (leading) {
      while (d < kDigitsPerLimb - 1 && group[d] == '1') ++d;
      leading = false;
    }
    for (; d < kDigitsPerLimb; ++d) *o++ = group[d];
  }
  return static_cast<std::size_t>(o - out);
}

bool decode_base58(std::string_view text, std::vector<std::uint8_t>& out, std::vector<std::uint32_t>& scratch) {
  out.clear();
  std::size_t zeros = 0;
  while (zeros < text.size() && text[zeros] == '1') ++zeros;

  // The number in base 2^32, least significant limb first: about 5.86 bits per digit.
  std::vector<std::uint32_t>& limbs = scratch;
  limbs.clear();
  std::size_t pos = zeros;
  while (pos < text.size()) {
    const std::size_t take = std::min<std::size_t>(kDigitsPerLimb, text.size() - pos);
    std::uint64_t carry = 0;
    std::uint64_t scale = 1;
    for (std::size_t k = 0; k < take; ++k) {
      const int v = kDigitValues[static_cast<unsigned char>(text[pos + k])];
      if (v < 0) return false;
      carry = carry * 58 + static_cast<std::uint64_t>(v);
      scale *= 58;
    }
    pos += take;
    for (auto& l : limbs) {
      const std::uint64_t x = std::uint64_t{l} * scale + carry;
      l = static_cast<std::uint32_t>(x);
      carry = x >> 32;
    }
    while (carry != 0) {
      limbs.push_back(static_cast<std::uint32_t>(carry));
      carry >>= 32;
    }
  }

  out.assign(zeros, 0);
  bool leading = true;
  for (std::size_t i = limbs.size(); i-- > 0;) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      const auto b = static_cast<std::uint8_t>(limbs[i] >> shift);
      if (leading && b == 0) continue;
      leading = false;
      out.push_back(b);
    }
  }
  return true;
}

}  // namespace brisquel::tx
