// Plain references for the transaction reader tests: base58 by schoolbook
// arithmetic on bytes, and a wire-format writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisquel::tx::testing {

inline constexpr std::string_view kBase58Alphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

inline std::string base58_reference(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint8_t> digits;  // base 58, least significant first
  for (std::uint8_t b : bytes) {
    unsigned carry = b;
    for (auto& d : digits) {
      carry += 256u * d;
      d = static_cast<std::uint8_t>(carry % 58);
      carry /= 58;
    }
    for (; carry; carry /= 58) digits.push_back(static_cast<std::uint8_t>(carry % 58));
  }
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && bytes[i] == 0; ++i) out += '1';
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) out += kBase58Alphabet[*it];
  return out;
}

inline std::optional<std::vector<std::uint8_t>> unbase58_reference(std::string_view text) {
  std::vector<std::uint8_t> bytes;  // base 256, least significant first
  for (char c : text) {
    const auto v = kBase58Alphabet.find(c);
    if (v == std::string_view::npos) return std::nullopt;
    unsigned carry = static_cast<unsigned>(v);
    for (auto& b : bytes) {
      carry += 58u * b;
      b = static_cast<std::uint8_t>(carry);
      carry >>= 8;
    }
    for (; carry; carry >>= 8) bytes.push_back(static_cast<std::uint8_t>(carry));
  }
  for (std::size_t i = 0; i < text.size() && text[i] == '1'; ++i) bytes.push_back(0);
  return std::vector<std::uint8_t>(bytes.rbegin(), bytes.rend());
}

// Appends wire-format pieces to `out`.
struct WireWriter {
  std::vector<std::uint8_t> out;

  void compact(std::size_t v) {
    do {
      const auto low = static_cast<std::uint8_t>(v & 0x7F);
      v >>= 7;
      out.push_back(v ? low | 0x80 : low);
    } while (v);
  }
  void bytes(const std::vector<std::uint8_t>& b) { out.insert(out.end(), b.begin(), b.end()); }
  void counted(const std::vector<std::uint8_t>& b) {
    compact(b.size());
    bytes(b);
  }
};

}  // namespace brisquel::tx::testing
