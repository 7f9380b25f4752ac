// Plain references for the transaction reader tests: base58 by schoolbook
// arithmetic on bytes, and a wire-format writer.
#pragma once

#include <algorithm>
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

inline std::string base64_reference(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? bytes[i + k] : 0);
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
  }
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
  void little(std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
};

// A version 1 transaction as the test writes it: message first, signatures last.
struct V1Transaction {
  std::uint8_t required = 1, readonly_signed = 0, readonly_unsigned = 0;
  std::uint32_t mask = 0;
  std::uint64_t priority_fee = 0;
  std::uint32_t values[3] = {};  // compute unit limit, loaded accounts data size limit, heap size
  std::vector<std::uint8_t> blockhash = std::vector<std::uint8_t>(32, 7);
  std::vector<std::vector<std::uint8_t>> keys;
  struct Instruction {
    std::uint8_t program;
    std::vector<std::uint8_t> accounts, data;
  };
  std::vector<Instruction> instructions;
  std::vector<std::vector<std::uint8_t>> signatures;  // `required` of them, 64 bytes each

  std::vector<std::uint8_t> write() const {
    WireWriter w;
    w.bytes({0x81, required, readonly_signed, readonly_unsigned});
    w.little(mask, 4);
    w.bytes(blockhash);
    w.bytes({static_cast<std::uint8_t>(instructions.size()), static_cast<std::uint8_t>(keys.size())});
    for (const auto& k : keys) w.bytes(k);
    if (mask & 1) w.little(priority_fee, 8);
    for (int bit = 2; bit < 5; ++bit) {
      if (mask & (1u << bit)) w.little(values[bit - 2], 4);
    }
    for (const auto& ix : instructions) {
      w.bytes({ix.program, static_cast<std::uint8_t>(ix.accounts.size())});
      w.little(ix.data.size(), 2);
    }
    for (const auto& ix : instructions) {
      w.bytes(ix.accounts);
      w.bytes(ix.data);
    }
    for (const auto& s : signatures) w.bytes(s);
    return w.out;
  }
};

}  // namespace brisquel::tx::testing
