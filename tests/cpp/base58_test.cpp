// The general base58 decoder and encoder against a plain digit-by-digit base
// conversion, over random data of many lengths.
#include <gtest/gtest.h>

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

// Digits of `in` (most significant first) in base `to`, read in base `from`,
// keeping one zero per leading zero.
std::vector<int> convert(const std::vector<int>& in, int from, int to) {
  std::vector<int> out;  // least significant first
  for (int v : in) {
    for (int& d : out) {
      v += d * from;
      d = v % to;
      v /= to;
    }
    for (; v != 0; v /= to) out.push_back(v % to);
  }
  for (std::size_t i = 0; i < in.size() && in[i] == 0; ++i) out.push_back(0);
  return {out.rbegin(), out.rend()};
}

std::optional<Bytes> decode(std::string_view text) {
  Bytes out(base58_decoded_capacity(text.size()));
  const auto n = decode_base58(text, out.data());
  if (n) out.resize(*n);
  return n ? std::optional(out) : std::nullopt;
}

std::optional<std::string> encode(const Bytes& bytes) {
  std::string out(base58_encoded_capacity(bytes.size()), '\0');
  const auto n = encode_base58(bytes, out.data());
  if (n) out.resize(*n);
  return n ? std::optional(out) : std::nullopt;
}

TEST(Base58, MatchesPlainConversionOnRandomData) {
  std::mt19937_64 rng(58);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 80; ++n) lengths.push_back(n);  // every fixed width and step remainder
  lengths.insert(lengths.end(), {128, 333, 1000, 1500});
  for (std::size_t n : lengths) {
    for (int round = 0; round < 6; ++round) {
      // Random bytes, leading zeros, and runs of 0xff that carry through every limb.
      std::vector<int> bytes(n), digits(rng() % (n + 3));
      for (int& b : bytes) b = round == 5 ? 0xFF : static_cast<int>(rng() % 256);
      std::fill_n(bytes.begin(), round < 2 || n == 0 ? 0 : rng() % (n + 1), 0);
      std::string text;
      for (int d : convert(bytes, 256, 58)) text += kAlphabet[d];
      ASSERT_EQ(encode(Bytes(bytes.begin(), bytes.end())), text) << "length " << n;
      ASSERT_EQ(decode(text), Bytes(bytes.begin(), bytes.end())) << text;

      // Any digit string decodes, with or without leading "1"s.
      for (std::size_t i = rng() % (digits.size() + 1); i < digits.size(); ++i) digits[i] = int(rng() % 58);
      text.clear();
      for (int d : digits) text += kAlphabet[d];
      const auto want = convert(digits, 58, 256);
      ASSERT_EQ(decode(text), Bytes(want.begin(), want.end())) << text;
    }
  }
}

TEST(Base58, RefusesForeignCharactersAndOverlongInput) {
  for (char bad : std::string_view("0OIl+= \x80\xff\0", 10)) {
    for (std::size_t at : {0, 1, 9, 10, 11, 25}) {
      std::string text(26, '2');
      text[at] = bad;
      EXPECT_FALSE(decode(text)) << text;
    }
  }
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

// The prefix told from the text equals the decoded bytes' prefix, on data that
// starts with the prefix, with its neighbours (one less, one more) and with
// runs that carry through every digit, at every size up to a few hundred bytes.
TEST(Base58, PrefixToldFromTextMatchesDecoding) {
  std::mt19937_64 rng(1958);
  const Bytes tags[] = {{0xe4, 0x45, 0xa5, 0x2e, 0x51, 0xcb, 0x9a, 0x1d}, {0x01}, {0xff, 0xff}, {0x80, 0x00, 0xff}};
  std::size_t decided = 0;
  for (const Bytes& tag : tags) {
    const Base58Prefix test(tag);
    for (std::size_t size = 1; size <= 300; size += size < 40 ? 1 : 7) {
      // Rounds 6 to 9 are the ends of the range and the numbers just outside it.
      for (int round = 0; round < 10; ++round) {
        Bytes data(size);
        for (auto& b : data) b = round == 6 || round == 9 ? 0xff : round >= 7 ? 0 : static_cast<std::uint8_t>(rng());
        if (round % 4 != 0) std::copy_n(tag.begin(), std::min(size, tag.size()), data.begin());
        if (round == 2 || round == 3 || round == 8 || round == 9) {  // the prefix one less or one more
          const bool less = round == 2 || round == 9;
          for (std::size_t i = std::min(size, tag.size()); i-- > 0;) {
            if (less ? data[i]-- != 0 : ++data[i] != 0) break;
          }
        }
        if (data[0] == 0) data[0] = 1;
        const std::string text = *encode(data);
        const bool want = size >= tag.size() && std::equal(tag.begin(), tag.end(), data.begin());
        const std::optional<bool> got = test.starts(text);
        ASSERT_TRUE(got.has_value()) << text;
        ASSERT_EQ(*got, want) << "size " << size << " round " << round << " " << text;
        decided += want;
      }
    }
  }
  EXPECT_GT(decided, 1000u);

  // Texts it cannot tell are left to decoding.
  const Base58Prefix test(tags[0]);
  for (std::string_view text : {"", "1111", "2222l", "0abc", "z z"}) EXPECT_EQ(test.starts(text), std::nullopt) << text;
  EXPECT_EQ(test.starts(std::string(4000, 'z')), std::nullopt);

  // Any byte anywhere in a long text (the check goes sixteen at a time, then one
  // at a time): a text with one foreign character is left to decoding.
  Bytes event(200);
  for (auto& b : event) b = static_cast<std::uint8_t>(rng());
  std::copy_n(tags[0].begin(), tags[0].size(), event.begin());
  const std::string valid = *encode(event);
  ASSERT_EQ(test.starts(valid), true);
  const std::string alphabet = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
  for (std::size_t at : {std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{31}, std::size_t{100},
                         valid.size() - 17, valid.size() - 16, valid.size() - 1}) {
    for (int c = 0; c < 256; ++c) {
      std::string text = valid;
      text[at] = static_cast<char>(c);
      EXPECT_EQ(test.starts(text).has_value(), alphabet.find(static_cast<char>(c)) != std::string::npos)
          << "byte " << c << " at " << at;
    }
  }
}

}  // namespace
}  // namespace brisquel::codec
