// The text writers against Python's own output (tests/cpp/data/text_golden.txt,
// written by make_text_golden.py next to it), plus wide integers against a
// slow digit-by-digit reference and floats read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
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

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  std::vector<std::uint8_t> out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, out[i], 16);
  return out;
}

// The writer's text in a heap buffer of exactly `max` bytes, so that the
// sanitizer build sees any write past the published maximum.
template <typename Write>
std::string written(std::size_t max, Write write) {
  const auto buffer = std::make_unique<char[]>(max);
  return std::string(buffer.get(), write(buffer.get()));
}

// The text of one golden case, or "?" for an unknown kind.
std::string text_of(const std::string& kind, std::string_view hex) {
  const std::vector<std::uint8_t> b = from_hex(hex);
  std::string out;
  const auto n16 = [&] { return std::span<const std::uint8_t, 16>(b.data(), 16); };
  const auto n32 = [&] { return std::span<const std::uint8_t, 32>(b.data(), 32); };
  std::uint64_t u64 = 0;
  if (b.size() == 8) std::memcpy(&u64, b.data(), 8);
  if (kind == "float") {  // the bits as one number
    std::from_chars(hex.data(), hex.data() + hex.size(), u64, 16);
    double d;
    std::memcpy(&d, &u64, 8);
    append_json_float(out, d);
  } else if (kind == "u64") {
    out = written(kU64DecimalMax, [&](char* p) { return write_u64_decimal(p, u64); });
  } else if (kind == "i64") {
    out = written(kI64DecimalMax, [&](char* p) { return write_i64_decimal(p, static_cast<std::int64_t>(u64)); });
  } else if (kind == "u128") {
    out = written(kU128DecimalMax, [&](char* p) { return write_u128_decimal(p, n16()); });
  } else if (kind == "i128") {
    out = written(kI128DecimalMax, [&](char* p) { return write_i128_decimal(p, n16()); });
  } else if (kind == "u256") {
    out = written(kU256DecimalMax, [&](char* p) { return write_u256_decimal(p, n32()); });
  } else if (kind == "i256") {
    out = written(kI256DecimalMax, [&](char* p) { return write_i256_decimal(p, n32()); });
  } else if (kind == "str") {
    append_json_string(out, std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
  } else if (kind == "hex") {
    append_hex(out, b);
  } else {
    out = "?";
  }
  return out;
}

TEST(TextGolden, MatchesPython) {
  std::ifstream in(std::string(BRISQUEL_SOURCE_DIR) + "/tests/cpp/data/text_golden.txt", std::ios::binary);
  ASSERT_TRUE(in) << "missing golden data";
  std::string line;
  int cases = 0;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::size_t a = line.find(' '), b = line.find(' ', a + 1);
    ASSERT_NE(b, std::string::npos) << "line " << number;
    const std::string kind = line.substr(0, a);
    const std::string expected = line.substr(b + 1);
    EXPECT_EQ(text_of(kind, std::string_view(line).substr(a + 1, b - a - 1)), expected)
        << "line " << number << ": " << line.substr(0, b);
    ++cases;
  }
  EXPECT_GT(cases, 1000);
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
    const bool wide = round % 2 == 0;
    if (!wide) le.resize(16);
    const std::string expected = slow_decimal(le);
    std::string got;
    if (wide) {
      append_u256_decimal(got, std::span<const std::uint8_t, 32>(le.data(), 32));
    } else {
      append_u128_decimal(got, std::span<const std::uint8_t, 16>(le.data(), 16));
    }
    ASSERT_EQ(got, expected) << "round " << round;
  }
}

TEST(TextFloat, ReprReadsBackAndKeepsItsForm) {
  std::mt19937_64 rng(11);
  char buffer[kFloatReprMax];
  for (int round = 0; round < 200000; ++round) {
    double d;
    const std::uint64_t bits = rng();
    std::memcpy(&d, &bits, 8);
    if (!std::isfinite(d)) continue;
    const std::string_view text(buffer, write_float_repr(buffer, d));
    double back = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_TRUE(ec == std::errc{} && end == text.data() + text.size() && std::memcmp(&back, &d, 8) == 0) << text;
    // Python's text always shows a fraction or an exponent.
    ASSERT_NE(text.find_first_of(".e"), std::string_view::npos) << text;
  }
  for (const double d : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(std::string_view(buffer, write_float_repr(buffer, d)), std::isnan(d) ? "nan" : d > 0 ? "inf" : "-inf");
  }
}

}  // namespace
}  // namespace brisquel::codec
