// The wire-format parser against a test-side writer.
#include <gtest/gtest.h>

#include <random>

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

// Random transactions written by the test-side writer parse back to what was
// written; every cut, an extra byte, version 1, a padded count, a count above
// 0xFFFF and an oversized transaction are refused.
TEST(Wire, ParsesWhatTheWriterWritesAndNothingElse) {
  std::mt19937 rng(1232);
  WireTransaction parsed;
  for (int i = 0; i < 400; ++i) {
    const bool v0 = rng() % 2;
    WireWriter w;
    const std::size_t signatures = rng() % 3, keys = rng() % 40, instructions = rng() % 8;
    w.compact(signatures);
    w.bytes(random_bytes(rng, 64 * signatures));
    if (v0) w.out.push_back(0x80);
    w.bytes({1, 0, 1});
    w.compact(keys);
    const std::size_t keys_at = w.out.size();
    w.bytes(random_bytes(rng, 32 * keys + 32));  // keys, blockhash
    w.compact(instructions);
    std::vector<std::vector<std::uint8_t>> data;
    for (std::size_t k = 0; k < instructions; ++k) {
      w.out.push_back(static_cast<std::uint8_t>(k));
      w.counted(random_bytes(rng, rng() % 140));
      // Now and then data long enough for a three-byte compact-u16.
      w.counted(data.emplace_back(random_bytes(rng, rng() % 20 == 0 ? 16384 + rng() % 2000 : rng() % 200)));
    }
    std::size_t loaded = 0;
    if (v0) {
      const std::size_t lookups = rng() % 4;
      w.compact(lookups);
      for (std::size_t k = 0; k < lookups; ++k) {
        const std::size_t writable = rng() % 130;
        loaded += writable;
        w.bytes(random_bytes(rng, 32));
        w.counted(random_bytes(rng, writable));
        w.counted({});
      }
    }
    const auto& bytes = w.out;
    ASSERT_EQ(parse_wire_transaction(bytes, parsed), std::nullopt);
    EXPECT_EQ(parsed.version, v0 ? std::optional<std::uint8_t>(0) : std::nullopt);
    EXPECT_EQ(parsed.signature_count, signatures);
    ASSERT_EQ(parsed.key_count, keys);
    for (std::size_t k = 0; k < keys; ++k) {
      EXPECT_TRUE(std::ranges::equal(parsed.key(k), std::span(bytes).subspan(keys_at + 32 * k, 32)));
    }
    ASSERT_EQ(parsed.instructions.size(), instructions);
    for (std::size_t k = 0; k < instructions; ++k) {
      EXPECT_EQ(parsed.instructions[k].program_index, k);
      EXPECT_TRUE(std::ranges::equal(parsed.instructions[k].data, data[k]));
    }
    EXPECT_EQ(parsed.loaded_writable, loaded);

    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + rng() % 97) {
      ASSERT_NE(parse_wire_transaction(std::span(bytes).first(cut), parsed), std::nullopt) << cut;
    }
    auto changed = bytes;
    changed.push_back(0);
    EXPECT_NE(parse_wire_transaction(changed, parsed), std::nullopt);
    if (v0 && signatures == 1) {
      changed = bytes;
      changed[65] = 0x81;  // version 1
      EXPECT_NE(parse_wire_transaction(changed, parsed), std::nullopt);
      changed[65] = 0x80;
      changed[0] = 0x81;  // one signature counted as 0x81 0x00
      changed.insert(changed.begin() + 1, 0x00);
      EXPECT_NE(parse_wire_transaction(changed, parsed), std::nullopt);
    }
  }
  EXPECT_NE(parse_wire_transaction(std::vector<std::uint8_t>{0xFF, 0xFF, 0x04}, parsed), std::nullopt);
  EXPECT_NE(parse_wire_transaction(std::vector<std::uint8_t>(kMaxWireBytes + 1), parsed), std::nullopt);
}

}  // namespace
}  // namespace brisquel::tx
