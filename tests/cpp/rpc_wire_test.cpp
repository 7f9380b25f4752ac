// The wire-format parser against a test-side writer.
#include <gtest/gtest.h>

#include <random>

#include "core/tx/wire.hpp"
#include "rpc_test_support.hpp"

namespace brisquel::tx {
namespace {

using testing::V1Transaction;
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

V1Transaction random_v1(std::mt19937& rng) {
  V1Transaction t;
  const std::size_t keys = 1 + rng() % kMaxV1Keys;
  t.required = static_cast<std::uint8_t>(1 + rng() % std::min<std::size_t>(keys, kMaxV1Signatures));
  t.readonly_signed = static_cast<std::uint8_t>(rng() % t.required);
  t.readonly_unsigned = static_cast<std::uint8_t>(rng() % (keys - t.required + 1));
  // Every combination of the defined fields, the priority fee's two bits together.
  const std::uint32_t fields = rng() % 16;
  t.mask = (fields & 1 ? 3u : 0u) | ((fields >> 1) << 2);
  t.priority_fee = (std::uint64_t{rng()} << 32) | rng();
  for (auto& v : t.values) v = static_cast<std::uint32_t>(rng());
  for (std::size_t k = 0; k < keys; ++k) t.keys.push_back(random_bytes(rng, 32));
  std::size_t room = kMaxV1Bytes - 4 - 4 - 32 - 2 - 32 * keys - 8 - 12 - 64 * t.required;
  const std::size_t instructions = rng() % (kMaxV1Instructions + 1);
  for (std::size_t k = 0; k < instructions && room >= 4; ++k) {
    room -= 4;
    auto& ix = t.instructions.emplace_back();
    ix.program = static_cast<std::uint8_t>(rng() % keys);
    const std::size_t accounts = std::min<std::size_t>(room, rng() % 40);
    for (std::size_t a = 0; a < accounts; ++a) ix.accounts.push_back(static_cast<std::uint8_t>(rng() % keys));
    room -= accounts;
    ix.data = random_bytes(rng, std::min<std::size_t>(room, rng() % 5 == 0 ? room : rng() % 300));
    room -= ix.data.size();
  }
  for (std::size_t k = 0; k < t.required; ++k) t.signatures.push_back(random_bytes(rng, 64));
  return t;
}

// Version 1 transactions written by the test-side writer parse back to what
// was written; every cut, an extra byte, and each fault of the format is
// refused with its reason; random damage never reads outside the bytes.
TEST(Wire, Version1ParsesWhatTheWriterWrites) {
  std::mt19937 rng(385);
  WireTransaction parsed;
  for (int i = 0; i < 300; ++i) {
    const V1Transaction t = random_v1(rng);
    const auto bytes = t.write();
    ASSERT_LE(bytes.size(), kMaxV1Bytes);
    ASSERT_EQ(parse_wire_transaction(bytes, parsed), std::nullopt) << i;
    EXPECT_EQ(parsed.version, std::optional<std::uint8_t>(1));
    EXPECT_EQ(parsed.required_signatures, t.required);
    EXPECT_EQ(parsed.readonly_signed, t.readonly_signed);
    EXPECT_EQ(parsed.readonly_unsigned, t.readonly_unsigned);
    EXPECT_TRUE(std::ranges::equal(parsed.recent_blockhash, t.blockhash));
    ASSERT_EQ(parsed.key_count, t.keys.size());
    for (std::size_t k = 0; k < t.keys.size(); ++k) EXPECT_TRUE(std::ranges::equal(parsed.key(k), t.keys[k]));
    ASSERT_EQ(parsed.signature_count, t.required);
    for (std::size_t k = 0; k < t.required; ++k) EXPECT_TRUE(std::ranges::equal(parsed.signature(k), t.signatures[k]));
    ASSERT_EQ(parsed.instructions.size(), t.instructions.size());
    for (std::size_t k = 0; k < t.instructions.size(); ++k) {
      EXPECT_EQ(parsed.instructions[k].program_index, t.instructions[k].program);
      EXPECT_TRUE(std::ranges::equal(parsed.instructions[k].accounts, t.instructions[k].accounts));
      EXPECT_TRUE(std::ranges::equal(parsed.instructions[k].data, t.instructions[k].data));
    }
    auto set = [&](std::uint32_t bit) { return (t.mask & (1u << bit)) != 0; };
    EXPECT_EQ(parsed.config.priority_fee, set(0) ? std::optional(t.priority_fee) : std::nullopt);
    EXPECT_EQ(parsed.config.compute_unit_limit, set(2) ? std::optional(t.values[0]) : std::nullopt);
    EXPECT_EQ(parsed.config.loaded_accounts_data_size_limit, set(3) ? std::optional(t.values[1]) : std::nullopt);
    EXPECT_EQ(parsed.config.heap_size, set(4) ? std::optional(t.values[2]) : std::nullopt);
    EXPECT_EQ(parsed.lookup_count, 0u);

    for (std::size_t cut = 0; cut < bytes.size(); cut += 1 + rng() % 61) {
      ASSERT_NE(parse_wire_transaction(std::span(bytes).first(cut), parsed), std::nullopt) << cut;
    }
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_NE(parse_wire_transaction(longer, parsed), std::nullopt);
    for (int k = 0; k < 20; ++k) {  // any damage: an answer either way, within the bytes (the sanitizers watch)
      auto damaged = bytes;
      damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
      parse_wire_transaction(damaged, parsed);
    }
  }
}

TEST(Wire, Version1FaultsAreNamed) {
  V1Transaction good;
  good.keys = {std::vector<std::uint8_t>(32, 1), std::vector<std::uint8_t>(32, 2)};
  good.instructions = {{1, {0, 1}, {9, 9, 9}}};
  good.signatures = {std::vector<std::uint8_t>(64, 3)};
  WireTransaction parsed;
  ASSERT_EQ(parse_wire_transaction(good.write(), parsed), std::nullopt);
  auto fault = [&](auto change) {
    V1Transaction t = good;
    change(t);
    return parse_wire_transaction(t.write(), parsed).value_or("(accepted)");
  };
  EXPECT_EQ(fault([](V1Transaction& t) { t.mask = 0x20; }), "config mask 0x00000020 sets undefined bits");
  EXPECT_EQ(fault([](V1Transaction& t) { t.mask = 0x1; }),
            "config mask 0x00000001 sets only one of the priority fee's two bits");
  EXPECT_EQ(fault([](V1Transaction& t) { t.instructions[0].program = 2; }),
            "instruction 0's program index 2 is beyond its 2 account keys");
  EXPECT_EQ(fault([](V1Transaction& t) { t.instructions[0].accounts[1] = 9; }),
            "instruction 0's account index 9 is beyond its 2 account keys");
  EXPECT_EQ(fault([](V1Transaction& t) { t.keys.resize(65, std::vector<std::uint8_t>(32)); }),
            "65 account keys, more than 64");
  EXPECT_EQ(fault([](V1Transaction& t) { t.instructions.resize(65, t.instructions[0]); }),
            "65 instructions, more than 64");
  EXPECT_EQ(fault([](V1Transaction& t) {
              t.required = 13;
              t.signatures.resize(13, std::vector<std::uint8_t>(64));
            }),
            "13 signatures required, more than 12");
  EXPECT_EQ(fault([](V1Transaction& t) { t.signatures.clear(); }),
            "transaction bytes end inside the signatures (offset 115)");
  EXPECT_EQ(fault([](V1Transaction& t) { t.instructions[0].data.resize(4000); }),
            "transaction of 4176 bytes is larger than 4096");
  auto unknown = good.write();
  unknown[0] = 0x82;
  EXPECT_EQ(parse_wire_transaction(unknown, parsed), "transaction version 2 is not supported");
}

}  // namespace
}  // namespace brisquel::tx
