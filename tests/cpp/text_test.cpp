// The text writers against Python's own output (data/text_golden.txt, from
// data/make_text_golden.py) and wide integers against a long-division reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "codec/decimal.hpp"
#include "codec/json_text.hpp"

namespace brisquel::codec {
namespace {

// The text of one golden case. Decimals go to a heap buffer of exactly the
// published maximum, so that the sanitizer build sees any write past it.
std::string text_of(const std::string& kind, std::string_view hex) {
  std::vector<std::uint8_t> b(hex.size() / 2);
  for (std::size_t i = 0; i < b.size(); ++i) std::from_chars(&hex[2 * i], &hex[2 * i + 2], b[i], 16);
  std::uint64_t u64 = 0;
  std::from_chars(hex.data(), hex.data() + hex.size(), u64, 16);  // floats: the bits as one number
  const auto decimal = [](std::size_t max, auto write) {
    const auto buffer = std::make_unique<char[]>(max);
    return std::string(buffer.get(), write(buffer.get()));
  };
  const std::span<const std::uint8_t> s(b);
  std::string out;
  if (kind == "float") append_json_float(out, std::bit_cast<double>(u64));
  if (kind == "str") append_json_string(out, std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
  if (kind == "hex") append_hex(out, b);
  if (kind == "u64") return decimal(kU64DecimalMax, [&](char* p) { return write_u64_decimal(p, std::byteswap(u64)); });
  if (kind == "i64") {
    return decimal(kI64DecimalMax, [&](char* p) { return write_i64_decimal(p, std::byteswap(std::int64_t(u64))); });
  }
  if (kind == "u128") return decimal(kU128DecimalMax, [&](char* p) { return write_u128_decimal(p, s.first<16>()); });
  if (kind == "i128") return decimal(kI128DecimalMax, [&](char* p) { return write_i128_decimal(p, s.first<16>()); });
  if (kind == "u256") return decimal(kU256DecimalMax, [&](char* p) { return write_u256_decimal(p, s.first<32>()); });
  if (kind == "i256") return decimal(kI256DecimalMax, [&](char* p) { return write_i256_decimal(p, s.first<32>()); });
  return out;
}

TEST(TextGolden, MatchesPython) {
  std::ifstream in(std::string(BRISQUEL_SOURCE_DIR) + "/tests/cpp/data/text_golden.txt", std::ios::binary);
  ASSERT_TRUE(in) << "missing golden data";
  std::string line;
  int cases = 0;
  for (int number = 1; std::getline(in, line); ++number, ++cases) {
    const std::size_t a = line.find(' '), b = line.find(' ', a + 1);
    ASSERT_NE(b, std::string::npos) << "line " << number;
    EXPECT_EQ(text_of(line.substr(0, a), std::string_view(line).substr(a + 1, b - a - 1)), line.substr(b + 1))
        << "line " << number << ": " << line.substr(0, b);
  }
  EXPECT_GT(cases, 1000);
  char buffer[kFloatReprMax];
  EXPECT_EQ(std::string_view(buffer, write_float_repr(buffer, -std::numeric_limits<double>::infinity())), "-inf");
  EXPECT_EQ(std::string_view(buffer, write_float_repr(buffer, -std::numeric_limits<double>::quiet_NaN())), "nan");
}

// Decimal text of an unsigned little-endian number by long division by 10.
std::string slow_decimal(std::vector<std::uint8_t> le) {
  std::string digits;
  do {
    unsigned rem = 0;
    for (std::size_t i = le.size(); i-- > 0;) {
      const unsigned cur = rem << 8 | le[i];
      le[i] = static_cast<std::uint8_t>(cur / 10);
      rem = cur % 10;
    }
    digits.insert(digits.begin(), static_cast<char>('0' + rem));
  } while (std::ranges::any_of(le, [](std::uint8_t x) { return x != 0; }));
  return digits;
}

TEST(TextDecimal, WideValuesMatchLongDivision) {
  // Limbs drawn from values at the edges of the 10^19 chunks, so that zero
  // chunks, maximal chunks and every correction step of the division occur.
  const std::uint64_t picks[] = {0, 1, ~0ull, 9'999'999'999'999'999'999ull, 10'000'000'000'000'000'000ull,
                                 1ull << 63, (1ull << 63) - 1};
  std::mt19937_64 rng(7);
  for (int round = 0; round < 100000; ++round) {
    std::uint64_t limbs[4];
    for (auto& limb : limbs) limb = rng() % 3 == 0 ? rng() : picks[rng() % std::size(picks)];
    std::vector<std::uint8_t> le(32);
    std::memcpy(le.data(), limbs, 32);
    std::string got;
    if (round % 2 == 0) {
      append_u256_decimal(got, std::span<const std::uint8_t, 32>(le.data(), 32));
    } else {
      le.resize(16);
      append_u128_decimal(got, std::span<const std::uint8_t, 16>(le.data(), 16));
    }
    ASSERT_EQ(got, slow_decimal(le)) << "round " << round;
  }
}

}  // namespace
}  // namespace brisquel::codec
