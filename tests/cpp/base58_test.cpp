// The general base58 decoder and encoder against a plain digit-by-digit base
// conversion, over random data of many lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base58.hpp"

namespace brisquel::codec {
namespace {

constexpr std::string_view kAlphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
using Bytes = std::vector<std::uint8_t>;

std::string reference_encode(const Bytes& bytes) {
  std::vector<int> digits;  // least significant first
  for (std::uint8_t b : bytes) {
    int carry = b;
    for (int& d : digits) {
      carry += d * 256;
      d = carry % 58;
      carry /= 58;
    }
    for (; carry != 0; carry /= 58) digits.push_back(carry % 58);
  }
  std::string text;
  for (std::size_t i = 0; i < bytes.size() && bytes[i] == 0; ++i) text += '1';
  for (auto d = digits.rbegin(); d != digits.rend(); ++d) text += kAlphabet[*d];
  return text;
}

std::optional<Bytes> reference_decode(std::string_view text) {
  Bytes bytes;  // least significant first
  for (char c : text) {
    const auto v = kAlphabet.find(c);
    if (v == std::string_view::npos) return std::nullopt;
    int carry = static_cast<int>(v);
    for (std::uint8_t& b : bytes) {
      carry += b * 58;
      b = static_cast<std::uint8_t>(carry & 0xFF);
      carry >>= 8;
    }
    for (; carry != 0; carry >>= 8) bytes.push_back(static_cast<std::uint8_t>(carry & 0xFF));
  }
  std::size_t zeros = 0;
  while (zeros < text.size() && text[zeros] == '1') ++zeros;
  bytes.insert(bytes.end(), zeros, 0);
  return Bytes(bytes.rbegin(), bytes.rend());
}

std::optional<Bytes> decode(std::string_view text) {
  Bytes out(base58_decoded_capacity(text.size()));
  const auto n = decode_base58(text, out.data());
  if (!n) return std::nullopt;
  EXPECT_LE(*n, out.size());
  out.resize(*n);
  return out;
}

std::optional<std::string> encode(const Bytes& bytes) {
  std::string out(base58_encoded_capacity(bytes.size()), '\0');
  const auto n = encode_base58(bytes, out.data());
  if (!n) return std::nullopt;
  EXPECT_LE(*n, out.size());
  out.resize(*n);
  return out;
}

TEST(Base58, MatchesReferenceOnRandomData) {
  std::mt19937_64 rng(58);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 80; ++n) lengths.push_back(n);
  for (std::size_t n : {127, 128, 200, 333, 1000, 1500}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    for (int round = 0; round < 6; ++round) {
      Bytes bytes(n);
      for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
      // Leading zeros, and runs of 0xff that carry through every limb.
      const std::size_t zeros = n == 0 ? 0 : rng() % (round < 2 ? 1 : n + 1);
      std::fill_n(bytes.begin(), zeros, 0);
      if (round == 5) std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(zeros), bytes.end(), 0xFF);
      const std::string text = reference_encode(bytes);
      ASSERT_EQ(encode(bytes), text) << "length " << n;
      ASSERT_EQ(decode(text), bytes) << text;

      // Any digit string decodes, with or without leading "1"s.
      std::string digits(rng() % (n + 3), '1');
      for (std::size_t i = rng() % (digits.size() + 1); i < digits.size(); ++i) digits[i] = kAlphabet[rng() % 58];
      ASSERT_EQ(decode(digits), reference_decode(digits)) << digits;
    }
  }
}

TEST(Base58, PubkeyEncoderAgrees) {
  std::mt19937_64 rng(32);
  for (int round = 0; round < 200; ++round) {
    std::array<std::uint8_t, 32> key;
    for (auto& b : key) b = static_cast<std::uint8_t>(rng());
    std::fill_n(key.begin(), round % 34 < 32 ? round % 34 : 0, 0);
    Base58Buffer buffer;
    EXPECT_EQ(encode(Bytes(key.begin(), key.end())), std::string(encode_base58_pubkey(key, buffer)));
  }
}

TEST(Base58, RefusesForeignCharactersAndOverlongInput) {
  for (std::string_view bad : {"0", "O", "I", "l", "+", "/", "=", " ", "\x80", "\xff"}) {
    for (std::size_t at : {0, 1, 9, 10, 11, 25}) {
      std::string text(26, '2');
      text.replace(at, 1, bad);
      EXPECT_EQ(decode(text), std::nullopt) << text;
    }
  }
  EXPECT_EQ(decode(std::string("11\0" "2", 4)), std::nullopt);

  // The largest inputs still fit the fixed buffers; one more is refused.
  const std::string ones(kBase58MaxText, '1'), zs(kBase58MaxText, 'z');
  EXPECT_TRUE(decode(ones) == Bytes(kBase58MaxText, 0));
  const auto most = decode(zs);
  ASSERT_TRUE(most && most->size() > kBase58MaxBytes);
  EXPECT_FALSE(decode(zs + "z"));
  const Bytes full(kBase58MaxBytes, 0xFF);
  const auto text = encode(full);
  ASSERT_TRUE(text);
  EXPECT_TRUE(decode(*text) == full);
  EXPECT_FALSE(encode(Bytes(kBase58MaxBytes + 1, 1)));
}

}  // namespace
}  // namespace brisquel::codec
