// The vectorised base64 and base58 paths at every level this CPU has, against
// plain references. Inputs and outputs sit in heap blocks of their exact size,
// so that a sanitizer build sees any access past them.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base58.hpp"
#include "codec/base64.hpp"
#include "codec/simd_level.hpp"

namespace brisquel::codec {
namespace {

constexpr std::string_view kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kBase58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

class AtLevel : public testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override {
    if (limit_simd_level(GetParam()) != GetParam()) GTEST_SKIP() << "not on this CPU";
  }
  void TearDown() override { limit_simd_level(SimdLevel::avx512); }
};

INSTANTIATE_TEST_SUITE_P(Levels, AtLevel, testing::Values(SimdLevel::portable, SimdLevel::avx2, SimdLevel::avx512));

std::optional<std::string> decode64(std::string_view text) {
  const std::size_t n = text.size();
  const auto in = std::make_unique_for_overwrite<char[]>(n);
  const auto out = std::make_unique_for_overwrite<std::uint8_t[]>(base64_decoded_capacity(n));
  std::memcpy(in.get(), text.data(), n);
  const auto size = decode_base64_strict(std::string_view(in.get(), n), out.get());
  if (!size) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out.get()), *size);
}

// A plain reading of the rules, group by group.
std::optional<std::string> plain64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last && text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0;
    std::uint32_t v = 0;
    for (int k = 0; k < 4 - pad; ++k) {
      const auto d = kBase64.find(text[i + k]);
      if (d == std::string_view::npos) return std::nullopt;
      v |= static_cast<std::uint32_t>(d) << (18 - 6 * k);
    }
    if (v & ((1u << (8 * pad)) - 1)) return std::nullopt;  // unused bits set
    for (int k = 0; k < 3 - pad; ++k) out += static_cast<char>(v >> (16 - 8 * k));
  }
  return out;
}

std::string encode64(const std::string& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t k = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t j = 0; j < 3; ++j) v = v << 8 | (j < k ? static_cast<unsigned char>(bytes[i + j]) : 0);
    for (std::size_t j = 0; j < 4; ++j) text += j <= k ? kBase64[v >> (18 - 6 * j) & 63] : '=';
  }
  return text;
}

std::string random_bytes(std::mt19937& rng, std::size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TEST_P(AtLevel, Base64RoundTripsEveryLength) {
  std::mt19937 rng(64);
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 800; ++n) sizes.push_back(n);  // every window count and overlap
  sizes.insert(sizes.end(), {3000, 3001, 3002, 65536});
  for (std::size_t n : sizes) {
    const std::string bytes = random_bytes(rng, n);
    ASSERT_EQ(decode64(encode64(bytes)), bytes) << n;
  }
}

// Every byte value at every position, and every last symbol before padding,
// decided as the plain reading decides.
TEST_P(AtLevel, Base64MutationsAsThePlainReading) {
  std::mt19937 rng(65);
  for (std::size_t n : {4, 8, 16, 20, 32, 36, 64, 68, 92, 132}) {
    for (const std::size_t pad : {0, 1, 2}) {
      std::string text = encode64(random_bytes(rng, n / 4 * 3 - pad));
      for (std::size_t at = 0; at < n; ++at) {
        const char was = text[at];
        for (int b = 0; b < 256; ++b) {
          text[at] = static_cast<char>(b);
          ASSERT_EQ(decode64(text), plain64(text)) << text;
        }
        text[at] = was;
      }
    }
  }
}

Base58Buffer g_buffer;  // reused, so a stale byte from an earlier key would show

std::string encode58(const std::array<std::uint8_t, 32>& key) {
  const auto in = std::make_unique<std::array<std::uint8_t, 32>>(key);
  const std::string text(encode_base58_pubkey(*in, g_buffer));
  // Written in place: the same text, and not a byte past it.
  auto out = std::make_unique<char[]>(kBase58PubkeyMaxText + 8);
  std::memset(out.get(), '#', kBase58PubkeyMaxText + 8);
  const std::size_t n = write_base58_pubkey(*in, out.get());
  EXPECT_EQ(std::string_view(out.get(), n), text);
  EXPECT_EQ(std::string_view(out.get() + n, kBase58PubkeyMaxText + 8 - n), std::string(kBase58PubkeyMaxText + 8 - n, '#'));
  return text;
}

// The number's digits, by long division of the bytes by 58.
template <std::size_t kSize>
std::string plain58(std::array<std::uint8_t, kSize> key) {
  std::string digits;
  for (bool more = true; more;) {
    unsigned rest = 0;
    more = false;
    for (auto& b : key) {
      const unsigned cur = rest * 256 + b;
      b = static_cast<std::uint8_t>(cur / 58);
      rest = cur % 58;
      more |= b != 0;
    }
    if (more || rest != 0) digits.insert(digits.begin(), kBase58[rest]);
  }
  return digits;
}

// Keys and signatures: random bytes, runs of zero and 0xFF bytes, and any
// number of leading zero bytes.
template <std::size_t kSize>
void expect_plain_division(std::mt19937& rng, int count) {
  for (int i = 0; i < count; ++i) {
    std::array<std::uint8_t, kSize> bytes;
    for (auto& b : bytes) b = i % 5 == 0 ? (rng() % 2 ? 0xFF : 0) : static_cast<std::uint8_t>(rng());
    std::fill_n(bytes.begin(), i % (kSize + 5) <= kSize ? i % (kSize + 5) : 0, 0);
    std::size_t zeros = 0;
    while (zeros < kSize && bytes[zeros] == 0) ++zeros;
    const std::string want = std::string(zeros, '1') + plain58(bytes);
    if constexpr (kSize == 32) {
      ASSERT_EQ(encode58(bytes), want);
    }
    const auto in = std::make_unique<std::array<std::uint8_t, kSize>>(bytes);
    const auto out = std::make_unique_for_overwrite<char[]>(base58_encoded_capacity(kSize));
    const auto size = encode_base58(*in, out.get());
    ASSERT_TRUE(size);
    ASSERT_EQ(std::string_view(out.get(), *size), want);
  }
}

TEST_P(AtLevel, Base58AsPlainDivision) {
  std::mt19937 rng(58);
  expect_plain_division<32>(rng, 20000);
  expect_plain_division<64>(rng, 5000);
}

// Texts built of runs of the largest and smallest digits put limbs of base
// 58^4 at their edges, where carries ripple; every such number must encode
// back to the text it came from.
template <std::size_t kSize>
void expect_edge_runs_back(std::mt19937& rng, int count) {
  for (int i = 0; i < count; ++i) {
    std::string text;
    const std::size_t length = 1 + rng() % (kSize * 138 / 100);
    while (text.size() < length) text.append(1 + rng() % 9, "z1y2"[rng() % 4]);
    text.resize(length);
    std::vector<std::uint8_t> decoded(base58_decoded_capacity(text.size()));
    const auto size = decode_base58(text, decoded.data());
    ASSERT_TRUE(size);
    std::size_t lead = 0;  // the number's bytes start after the zero bytes
    while (lead < *size && decoded[lead] == 0) ++lead;
    if (*size - lead > kSize) continue;
    std::array<std::uint8_t, kSize> bytes{};
    std::memcpy(bytes.data() + kSize - (*size - lead), decoded.data() + lead, *size - lead);
    std::size_t ones = 0, zeros = 0;
    while (ones < text.size() && text[ones] == '1') ++ones;
    while (zeros < kSize && bytes[zeros] == 0) ++zeros;
    const std::string want = std::string(zeros, '1') + text.substr(ones);
    if constexpr (kSize == 32) {
      ASSERT_EQ(encode58(bytes), want);
    }
    std::string out(base58_encoded_capacity(kSize), '\0');
    out.resize(*encode_base58(bytes, out.data()));
    ASSERT_EQ(out, want) << text;
  }
}

TEST_P(AtLevel, Base58EdgeDigitRunsBack) {
  std::mt19937 rng(59);
  expect_edge_runs_back<32>(rng, 20000);
  expect_edge_runs_back<64>(rng, 10000);
}

}  // namespace
}  // namespace brisquel::codec
