// Rows for the hot-path codecs: strict base64, UTF-8 checking, white-space
// trimming and prefixes, base58 keys and the payload cursor.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base58.hpp"
#include "codec/base64.hpp"
#include "core/cursor.hpp"
#include "codec/log_line.hpp"
#include "codec/utf8.hpp"

namespace brisquel::codec {
namespace {

using namespace std::string_literals;

std::optional<std::string> b64(std::string_view text) {
  std::vector<std::uint8_t> out(base64_decoded_capacity(text.size()) + 1);
  auto n = decode_base64_strict(text, out.data());
  if (!n) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(out.data()), *n);
}

TEST(Base64, StrictRows) {
  struct Row {
    std::string text;
    std::optional<std::string> bytes;
  };
  const std::string long_text(kScalarBelow + 4, 'A');
  const Row rows[] = {
      {long_text, std::string(long_text.size() / 4 * 3, '\0')},
      {long_text.substr(4) + "AA==", std::string(long_text.size() / 4 * 3 - 2, '\0')},
      {long_text.substr(4) + "AB==", std::nullopt},
      {long_text.substr(4) + "A A=", std::nullopt},
      {long_text.substr(8) + "A\tA=AAAA", std::nullopt},
      {long_text.substr(4) + "AA=A", std::nullopt},
      {"", ""s},
      {"AA==", "\0"s},
      {"AAA=", "\0\0"s},
      {"AAAA", "\0\0\0"s},
      {"aGVsbG8=", "hello"s},
      {"aGVsbG8hIQ==", "hello!!"s},
      {"+/+/", "\xfb\xff\xbf"s},
      {"AB==", std::nullopt},        // unused bits set
      {"AAB=", std::nullopt},        // unused bits set
      {"AA=", std::nullopt},         // not a multiple of 4
      {"aGVsbG8", std::nullopt},     // padding missing
      {"A===", std::nullopt},
      {"====", std::nullopt},
      {"AA=A", std::nullopt},
      {"=AAA", std::nullopt},
      {"AA==AAAA", std::nullopt},    // padding inside
      {"AAAA====", std::nullopt},
      {"AA AA==", std::nullopt},
      {"AAAA AAA", std::nullopt},    // inner white space
      {"AAA\nAAAA", std::nullopt},
      {"-_AA", std::nullopt},        // URL-safe alphabet
      {"AAA\x80", std::nullopt},
      {"AA\0A"s, std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(b64(row.text), row.bytes) << "text: " << row.text;
}

// A plain reading of the rules, to compare the decoder with on random texts.
std::optional<std::string> b64_reference(std::string_view text) {
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  std::string out;
  std::uint32_t bits = 0;
  int nbits = 0;
  for (std::size_t i = 0; i < text.size() - pad; ++i) {
    const auto v = alphabet.find(text[i]);
    if (v == std::string_view::npos) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      out += static_cast<char>(bits >> nbits);
      bits &= (1u << nbits) - 1;
    }
  }
  if (bits != 0 || (pad != 0 && text.size() - pad < 2)) return std::nullopt;
  if (text.size() >= 4 && pad == 0 && text.back() == '=') return std::nullopt;
  return out;
}

TEST(Base64, MatchesAPlainReadingOfTheRules) {
  constexpr char symbols[] = "AQgw/+=a \n-_.Z9";
  std::mt19937 rng(64);
  for (int i = 0; i < 200000; ++i) {
    std::string text(4 * (rng() % 4) + (rng() % 8 == 0), 'A');
    for (auto& c : text) c = symbols[rng() % (sizeof symbols - 1)];
    ASSERT_EQ(b64(text), b64_reference(text)) << text;
  }
  // Long texts (the vectorised path): valid ones with one symbol changed.
  for (int i = 0; i < 20000; ++i) {
    std::string text(4 * (kScalarBelow / 4 + rng() % 40), 'A');
    for (auto& c : text) c = symbols[rng() % 4];
    const std::size_t at = rng() % text.size();
    text[at] = symbols[rng() % (sizeof symbols - 1)];
    if (rng() % 2) text[text.size() - 1] = '=';
    ASSERT_EQ(b64(text), b64_reference(text)) << text;
  }
}

TEST(Base64, AllGroupsDecodeAsEncoded) {
  // Every 3-byte group round-trips through the standard encoding.
  constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    std::string raw(1 + rng() % 40, '\0');
    for (auto& c : raw) c = static_cast<char>(rng());
    std::string text;
    for (std::size_t j = 0; j < raw.size(); j += 3) {
      std::uint32_t v = 0;
      const std::size_t k = std::min<std::size_t>(3, raw.size() - j);
      for (std::size_t t = 0; t < 3; ++t) v = (v << 8) | (t < k ? static_cast<unsigned char>(raw[j + t]) : 0);
      for (std::size_t t = 0; t < 4; ++t) text += t <= k ? alphabet[(v >> (18 - 6 * t)) & 63] : '=';
    }
    ASSERT_EQ(b64(text), raw) << text;
  }
}

TEST(Utf8, CheckRows) {
  struct Row {
    std::string bytes;
    std::optional<Utf8Error> error;
  };
  const Row rows[] = {
      {"", std::nullopt},
      {"h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80", std::nullopt},
      {"\xef\xbf\xbf\xf4\x8f\xbf\xbf", std::nullopt},  // U+FFFF, U+10FFFF
      {"\xc3\x28", Utf8Error{0, 1}},
      {"a\xe2\x82", Utf8Error{1, 0}},               // ends inside a sequence
      {"\xe2\x82" "A", Utf8Error{0, 2}},
      {"\xf0\x9f\x98", Utf8Error{0, 0}},
      {"\xf0\x9f\x98" "A", Utf8Error{0, 3}},
      {"\xed\xa0\x80", Utf8Error{0, 1}},             // surrogate
      {"\xc0\x80", Utf8Error{0, 1}},                 // overlong
      {"\xe0\x80\x80", Utf8Error{0, 1}},
      {"\xf0\x80\x80\x80", Utf8Error{0, 1}},
      {"\xf4\x90\x80\x80", Utf8Error{0, 1}},         // above U+10FFFF
      {"\xf5\x80\x80\x80", Utf8Error{0, 1}},
      {"\x80", Utf8Error{0, 1}},
      {"\xff", Utf8Error{0, 1}},
      {"\xe0", Utf8Error{0, 0}},
      {"\xe0\x80", Utf8Error{0, 1}},                 // present but out of range beats the end
      {"abcdefghijklmnop\xc3", Utf8Error{16, 0}},    // after the word-at-a-time skip
      {"abcdefgh\xc3\xa9xyz\xc3\xa9\xc3", Utf8Error{15, 0}},
  };
  for (const auto& row : rows) EXPECT_EQ(check_utf8(row.bytes), row.error) << "bytes: " << row.bytes;
}

TEST(Utf8, DescribeAndLossy) {
  EXPECT_EQ(describe({0, 1}), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(describe({7, 3}), "invalid utf-8 sequence of 3 bytes from index 7");
  EXPECT_EQ(describe({1, 0}), "incomplete utf-8 byte sequence from index 1");
  EXPECT_EQ(utf8_lossy("\xed\xa0\x80x"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdx");
  EXPECT_EQ(utf8_lossy("a\xe2\x82"), "a\xef\xbf\xbd");
  EXPECT_EQ(utf8_lossy("\xf0\x9f\x98" "A\xc3\xa9"), "\xef\xbf\xbd" "A\xc3\xa9");
  EXPECT_TRUE(is_ascii("abcdefghijklmnopq"));
  EXPECT_FALSE(is_ascii("abcdefghijklmnop\x80"));
  EXPECT_FALSE(is_ascii("\x80" "bcdefghij"));
}

TEST(LogLine, TrimRows) {
  struct Row {
    std::string text, trimmed;
  };
  const Row rows[] = {
      {"", ""},
      {" \t\n\v\f\r", ""},
      {" \tx y\r\n", "x y"},
      {"\xc2\x85\xc2\xa0x\xc2\xa0", "x"},                          // U+0085, U+00A0
      {"\xe1\x9a\x80\xe2\x80\x80x\xe2\x80\x8a\xe2\x80\xa8", "x"},  // U+1680, U+2000, U+200A, U+2028
      {"\xe2\x80\xa9\xe2\x80\xafx\xe2\x81\x9f\xe3\x80\x80", "x"},  // U+2029, U+202F, U+205F, U+3000
      {"\xe2\x80\x8bx\xe2\x80\x8b", "\xe2\x80\x8bx\xe2\x80\x8b"},  // U+200B is not White_Space
      {"\xe1\xa0\x8ex", "\xe1\xa0\x8ex"},                          // nor U+180E
      {"\xef\xbb\xbfx", "\xef\xbb\xbfx"},                          // nor U+FEFF
      {"x\xc2", "x\xc2"},                                          // a stray lead byte stays
      {"\xe3\x80\x80", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(trim_unicode_whitespace(row.text), row.trimmed) << row.text;
}

TEST(LogLine, PrefixRows) {
  struct Row {
    std::string_view line;
    std::optional<std::string_view> payload;
  };
  const Row rows[] = {
      {"Program data: AAAA", "AAAA"},
      {"Program log: AAAA", "AAAA"},
      {"Program data: ", ""},
      {"Program log: ", ""},
      {"Program data:  \tAAAA \n", "AAAA"},
      {"Program data:AAAA", std::nullopt},
      {" Program data: AAAA", std::nullopt},
      {"\tProgram log: AAAA", std::nullopt},
      {"program data: AAAA", std::nullopt},
      {"Program data", std::nullopt},
      {"Program return: x AAAA", std::nullopt},
      {"Program log: Instruction: Swap", "Instruction: Swap"},
  };
  for (const auto& row : rows) EXPECT_EQ(event_payload_text(row.line), row.payload) << row.line;
}

std::string base58(const std::array<std::uint8_t, 32>& key) {
  Base58Buffer buffer;
  return std::string(encode_base58_pubkey(key, buffer));
}

// Schoolbook base58 over the byte string, as a reference.
std::string base58_reference(const std::array<std::uint8_t, 32>& key) {
  constexpr char alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
  std::vector<std::uint8_t> num(key.begin(), key.end());
  std::string digits;
  auto nonzero = [&] { for (auto b : num) if (b) return true; return false; };
  while (nonzero()) {
    unsigned rem = 0;
    for (auto& b : num) {
      const unsigned cur = rem * 256 + b;
      b = static_cast<std::uint8_t>(cur / 58);
      rem = cur % 58;
    }
    digits.insert(digits.begin(), alphabet[rem]);
  }
  std::size_t zeros = 0;
  while (zeros < 32 && key[zeros] == 0) ++zeros;
  return std::string(zeros, '1') + digits;
}

TEST(Base58, KnownKeys) {
  std::array<std::uint8_t, 32> key{};
  EXPECT_EQ(base58(key), std::string(32, '1'));
  key.fill(0xFF);
  EXPECT_EQ(base58(key), "JEKNVnkbo3jma5nREBBJCDoXFVeKkD56V3xKrvRmWxFG");
  key.fill(0x01);
  key[0] = key[1] = 0;
  EXPECT_EQ(base58(key), "11CfhVktJrWPkJZqSPY8Ty5km6mAzgQL9vC13S4QTS");
  key.fill(0);
  key[31] = 1;
  EXPECT_EQ(base58(key), std::string(31, '1') + "2");
}

TEST(Base58, MatchesReferenceOnRandomKeys) {
  std::mt19937 rng(58);
  for (int i = 0; i < 3000; ++i) {
    std::array<std::uint8_t, 32> key;
    for (auto& b : key) b = static_cast<std::uint8_t>(rng());
    for (int z = 0, zeros = i % 40 < 34 ? i % 40 : 0; z < zeros && z < 32; ++z) key[z] = 0;
    ASSERT_EQ(base58(key), base58_reference(key));
  }
}

TEST(Cursor, ReadsAndErrors) {
  const std::uint8_t data[] = {1, 2, 3};
  Cursor c{std::span<const std::uint8_t>(data)};
  // A failed read leaves the position where it was and says why.
  auto fails = [&](std::uint64_t n) {
    const auto pos = c.pos();
    const bool failed = c.try_take(n) == nullptr;
    EXPECT_EQ(c.pos(), pos);
    return failed ? describe(c.read_error(n)) : std::string("read");
  };
  EXPECT_EQ(fails(4), "unexpected end of buffer: need 4 byte(s) at offset 0, have 3");
  ASSERT_NE(c.try_take(1), nullptr);
  EXPECT_EQ(fails(UINT64_MAX), "length overflow");
  EXPECT_EQ(fails(3), "unexpected end of buffer: need 3 byte(s) at offset 1, have 3");
  const std::uint8_t* two = c.try_take(2);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(load_le<std::uint16_t>(two), 0x0302);
  EXPECT_NE(c.try_take(0), nullptr);
  EXPECT_EQ(fails(1), "unexpected end of buffer: need 1 byte(s) at offset 3, have 3");

  Cursor empty{std::span<const std::uint8_t>()};
  EXPECT_EQ(describe(empty.read_error(1)), "unexpected end of buffer: need 1 byte(s) at offset 0, have 0");
}

}  // namespace
}  // namespace brisquel::codec
