// The wire-format parser against a test-side writer, and base58 of any length
// against schoolbook arithmetic.
#include <gtest/gtest.h>

#include <random>

#include "core/tx/base58_text.hpp"
#include "core/tx/wire.hpp"
#include "rpc_test_support.hpp"

namespace brisquel::tx {
namespace {

using testing::WireWriter;

std::vector<std::uint8_t> random_bytes(std::mt19937& rng, std::size_t n) {
  std::vector<std::uint8_t> b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : rng());
  return b;
}

TEST(Base58Text, MatchesSchoolbookArithmetic) {
  std::mt19937 rng(58);
  std::vector<std::uint8_t> decoded;
  std::vector<std::uint32_t> scratch;
  for (int i = 0; i < 3000; ++i) {
    auto bytes = random_bytes(rng, rng() % 300);
    for (std::size_t z = std::min<std::size_t>(rng() % 4, bytes.size()); z-- > 0;) bytes[z] = 0;  // leading zeros
    std::string text(base58_text_capacity(bytes.size()), '\0');
    text.resize(encode_base58(bytes, text.data()));
    ASSERT_EQ(text, testing::base58_reference(bytes));
    ASSERT_TRUE(decode_base58(text, decoded, scratch));
    ASSERT_EQ(decoded, bytes) << text;
  }
  for (std::string_view bad : {"0", "abcO", "I", "l1", "1 1", "\xc3\xa9"}) EXPECT_FALSE(decode_base58(bad, decoded, scratch));
}

struct SampleTx {
  std::optional<std::uint8_t> version;
  std::vector<std::vector<std::uint8_t>> keys;
  struct Ix {
    std::uint8_t program;
    std::vector<std::uint8_t> accounts, data;
  };
  std::vector<Ix> instructions;
  std::vector<std::pair<std::size_t, std::size_t>> lookups;  // writable, readonly counts
  std::size_t signatures = 1;

  std::vector<std::uint8_t> serialize(std::mt19937& rng) const {
    WireWriter w;
    w.compact(signatures);
    w.bytes(random_bytes(rng, 64 * signatures));
    if (version) w.out.push_back(0x80 | *version);
    w.bytes({static_cast<std::uint8_t>(signatures), 0, 1});
    w.compact(keys.size());
    for (const auto& k : keys) w.bytes(k);
    w.bytes(random_bytes(rng, 32));
    w.compact(instructions.size());
    for (const auto& ix : instructions) {
      w.out.push_back(ix.program);
      w.counted(ix.accounts);
      w.counted(ix.data);
    }
    if (version) {
      w.compact(lookups.size());
      for (auto [nw, nr] : lookups) {
        w.bytes(random_bytes(rng, 32));
        w.counted(random_bytes(rng, nw));
        w.counted(random_bytes(rng, nr));
      }
    }
    return w.out;
  }
};

TEST(Wire, ParsesWhatTheWriterWrites) {
  std::mt19937 rng(1232);
  WireTransaction parsed;
  for (int i = 0; i < 400; ++i) {
    SampleTx tx;
    if (rng() % 2) tx.version = 0;
    tx.signatures = rng() % 3;
    for (std::size_t k = rng() % 40; k-- > 0;) tx.keys.push_back(random_bytes(rng, 32));
    for (std::size_t k = rng() % 8; k-- > 0;) {
      // Now and then data long enough for a three-byte compact-u16.
      const std::size_t size = rng() % 20 == 0 ? 16384 + rng() % 2000 : rng() % 200;
      tx.instructions.push_back({static_cast<std::uint8_t>(rng()), random_bytes(rng, rng() % 140), random_bytes(rng, size)});
    }
    if (tx.version) {
      for (std::size_t k = rng() % 4; k-- > 0;) tx.lookups.push_back({rng() % 130, rng() % 5});
    }
    const auto bytes = tx.serialize(rng);
    ASSERT_EQ(parse_wire_transaction(bytes, parsed), std::nullopt);
    EXPECT_EQ(parsed.version, tx.version);
    EXPECT_EQ(parsed.signature_count, tx.signatures);
    ASSERT_EQ(parsed.key_count, tx.keys.size());
    for (std::size_t k = 0; k < tx.keys.size(); ++k) EXPECT_TRUE(std::ranges::equal(parsed.key(k), tx.keys[k]));
    ASSERT_EQ(parsed.instructions.size(), tx.instructions.size());
    for (std::size_t k = 0; k < tx.instructions.size(); ++k) {
      EXPECT_EQ(parsed.instructions[k].program_index, tx.instructions[k].program);
      EXPECT_TRUE(std::ranges::equal(parsed.instructions[k].accounts, tx.instructions[k].accounts));
      EXPECT_TRUE(std::ranges::equal(parsed.instructions[k].data, tx.instructions[k].data));
    }
    std::size_t writable = 0, readonly = 0;
    for (auto [nw, nr] : tx.lookups) writable += nw, readonly += nr;
    EXPECT_EQ(parsed.lookup_count, tx.lookups.size());
    EXPECT_EQ(parsed.loaded_writable, writable);
    EXPECT_EQ(parsed.loaded_readonly, readonly);

    // Every cut and any extra byte is refused.
    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + rng() % 97) {
      ASSERT_NE(parse_wire_transaction(std::span(bytes).first(cut), parsed), std::nullopt) << cut;
    }
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_NE(parse_wire_transaction(longer, parsed), std::nullopt);
  }
}

TEST(Wire, RefusesOtherVersionsAndPaddedCounts) {
  std::mt19937 rng(3);
  SampleTx tx;
  tx.version = 0;
  tx.keys.push_back(random_bytes(rng, 32));
  auto bytes = tx.serialize(rng);
  WireTransaction parsed;
  ASSERT_EQ(parse_wire_transaction(bytes, parsed), std::nullopt);
  bytes[65] = 0x81;  // version 1
  EXPECT_NE(parse_wire_transaction(bytes, parsed), std::nullopt);
  // One signature counted as 0x81 0x00 instead of 0x01.
  bytes[65] = 0x80;
  bytes[0] = 0x81;
  bytes.insert(bytes.begin() + 1, 0x00);
  EXPECT_NE(parse_wire_transaction(bytes, parsed), std::nullopt);
  // A count above 0xFFFF, and a transaction above the size limit.
  EXPECT_NE(parse_wire_transaction(std::vector<std::uint8_t>{0xFF, 0xFF, 0x04}, parsed), std::nullopt);
  EXPECT_NE(parse_wire_transaction(std::vector<std::uint8_t>(kMaxWireBytes + 1), parsed), std::nullopt);
}

}  // namespace
}  // namespace brisquel::tx
