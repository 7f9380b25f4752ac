// Where in a value a walk failed: every sink (JSON text, passing over, Arrow
// columns) names the same fields, variants and indexes for the same bytes,
// cut at every length, and the path reads as a user writes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/compiled_idl.hpp"
#include "core/event_tables.hpp"
#include "core/json_sink.hpp"
#include "idl/loader.hpp"

namespace brisquel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Reserve{amount, mint}; Pool{reserves: Vec<Reserve>}; Action: Idle, Swap{amount_in, hops: [u16; 3]},
// Pair(u32, string); Tup(u8, u16). The event: a, pool, act, tail: Option<Vec<string>>, tup.
constexpr std::string_view kIdl = R"({
  "address": "11111111111111111111111111111111",
  "metadata": {"name": "t", "version": "0.1.0", "spec": "0.1.0"},
  "instructions": [],
  "events": [{"name": "Ev", "discriminator": [1, 2, 3, 4, 5, 6, 7, 8]}],
  "types": [
    {"name": "Reserve", "type": {"kind": "struct", "fields": [
      {"name": "amount", "type": "u64"}, {"name": "mint", "type": "pubkey"}]}},
    {"name": "Pool", "type": {"kind": "struct", "fields": [
      {"name": "reserves", "type": {"vec": {"defined": {"name": "Reserve"}}}}]}},
    {"name": "Action", "type": {"kind": "enum", "variants": [
      {"name": "Idle"},
      {"name": "Swap", "fields": [{"name": "amount_in", "type": "u64"}, {"name": "hops", "type": {"array": ["u16", 3]}}]},
      {"name": "Pair", "fields": ["u32", "string"]}]}},
    {"name": "Tup", "type": {"kind": "struct", "fields": ["u8", "u16"]}},
    {"name": "Ev", "type": {"kind": "struct", "fields": [
      {"name": "a", "type": "u8"},
      {"name": "pool", "type": {"defined": {"name": "Pool"}}},
      {"name": "act", "type": {"defined": {"name": "Action"}}},
      {"name": "tail", "type": {"option": {"vec": "string"}}},
      {"name": "tup", "type": {"defined": {"name": "Tup"}}}]}}
  ]
})";

struct Writer {
  Bytes out;
  // Per byte: the path a cut inside it reports, and where the read that
  // takes it begins (the error's offset).
  std::vector<std::string> owner;
  std::vector<std::uint64_t> read_at;
  void put(std::string_view path, std::uint64_t v, int width) {
    const std::uint64_t at = out.size();
    for (int i = 0; i < width; ++i) {
      out.push_back(static_cast<std::uint8_t>(i < 8 ? v >> (8 * i) : 0));
      owner.emplace_back(path);
      read_at.push_back(at);
    }
  }
  void text(std::string_view path, std::string_view s) {
    put(path, s.size(), 4);
    const std::uint64_t at = out.size();
    for (char c : s) {
      out.push_back(static_cast<std::uint8_t>(c));
      owner.emplace_back(path);
      read_at.push_back(at);
    }
  }
};

// A body and, per byte, the path a cut inside that byte's value reports.
Writer body(int variant) {
  Writer w;
  w.put("a", 7, 1);
  w.put("pool.reserves", 4, 4);
  for (int r = 0; r < 4; ++r) {
    const std::string at = "pool.reserves[" + std::to_string(r) + "]";
    w.put(at + ".amount", 1000 + r, 8);
    w.put(at + ".mint", 0x0102030405060708u + r, 32);
  }
  w.put("act", variant, 1);
  if (variant == 1) {
    w.put("act.Swap.amount_in", 5, 8);
    for (int h = 0; h < 3; ++h) w.put("act.Swap.hops[" + std::to_string(h) + "]", h, 2);
  } else if (variant == 2) {
    w.put("act.Pair[0]", 9, 4);
    w.text("act.Pair[1]", "hello");
  }
  w.put("tail", 1, 1);
  w.put("tail", 2, 4);
  w.text("tail[0]", "x");
  w.text("tail[1]", "yz");
  w.put("tup[0]", 1, 1);
  w.put("tup[1]", 2, 2);
  return w;
}

struct Compiled {
  std::unique_ptr<const CompiledIdl> idl;
  TableSchemas schemas;
};

Compiled compile() {
  auto idl = idl::convert_idl(kIdl);
  EXPECT_TRUE(idl) << idl.error();
  auto compiled = CompiledIdl::build(*idl);
  EXPECT_TRUE(compiled) << compiled.error();
  auto schemas = TableSchemas::make(**compiled, {}, {});
  EXPECT_TRUE(schemas) << schemas.error();
  return {std::move(*compiled), std::move(*schemas)};
}

struct Outcome {
  bool ok;
  std::string kind;
  std::string path;
  std::uint64_t offset;
  bool operator==(const Outcome&) const = default;
};

template <class Sink>
// The decoder's own list, not a copy: the path names fields by views into it.
Outcome walk_with(Sink& sink, const std::optional<FieldList>& fields, std::span<const std::uint8_t> bytes) {
  WalkState state(bytes);
  typename Sink::Walk walk(sink, state);
  const bool ok = static_cast<bool>(walk.decode_fields(fields, {}));
  return {ok, ok ? "" : kind_name(state.error.kind), ok ? "" : format_path(state.error.path), state.error.offset};
}

TEST(FieldPath, EverySinkNamesTheValueWhereTheBytesEnd) {
  const Compiled c = compile();
  const std::optional<FieldList>& fields = *c.idl->events()[0].fields;
  for (int variant = 0; variant < 3; ++variant) {
    const Writer w = body(variant);
    for (std::size_t cut = 0; cut < w.out.size(); ++cut) {
      SCOPED_TRACE("variant " + std::to_string(variant) + ", cut at " + std::to_string(cut));
      const std::span<const std::uint8_t> bytes(w.out.data(), cut);
      std::string text;
      JsonSink json(text);
      const Outcome from_json = walk_with(json, fields, bytes);
      SkipSink skip;
      const Outcome from_skip = walk_with(skip, fields, bytes);
      EventTableBuilder table(c.schemas.events[0], {}, c.schemas.options);
      const bool added = table.add(bytes);
      const Error& error = table.error();
      const Outcome from_arrow{added, added ? "" : kind_name(error.kind), added ? "" : format_path(error.path),
                               error.offset};

      EXPECT_FALSE(from_json.ok);
      EXPECT_EQ(from_json.path, w.owner[cut]);
      EXPECT_EQ(from_json.kind, "end_of_buffer");
      EXPECT_EQ(from_json.offset, w.read_at[cut]) << "where the read that failed begins";
      EXPECT_EQ(from_skip, from_json);
      EXPECT_EQ(from_arrow, from_json);
    }
    std::string text;
    JsonSink json(text);
    EXPECT_TRUE(walk_with(json, fields, w.out).ok) << "the whole body decodes";
  }
}

TEST(FieldPath, ABadVariantIndexIsTheEnumsOwnFailure) {
  const Compiled c = compile();
  const std::optional<FieldList>& fields = *c.idl->events()[0].fields;
  Writer w = body(0);
  const auto at = static_cast<std::size_t>(std::find(w.owner.begin(), w.owner.end(), "act") - w.owner.begin());
  w.out[at] = 3;
  std::string text;
  JsonSink json(text);
  const Outcome got = walk_with(json, fields, w.out);
  EXPECT_EQ(got, (Outcome{false, "enum_out_of_range", "act", at})) << "the offset of the index read";
  EXPECT_EQ(describe(Error(Error::Kind::EnumOutOfRange, 3)), "enum discriminant 3 out of range")
      << "the message keeps its text: the path is told apart";
}

TEST(FieldPath, FormatsAsWritten) {
  FieldPath path;
  EXPECT_EQ(format_path(path), "");
  // Added while unwinding: the innermost first.
  path.add_name("amount");
  path.add_index(3);
  path.add_name("reserves");
  path.add_name("pool");
  EXPECT_EQ(format_path(path), "pool.reserves[3].amount");
  FieldPath leading;
  leading.add_index(0);
  leading.add_index(12);
  EXPECT_EQ(format_path(leading), "[12][0]");
  const auto steps = path.outward();
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0].name, "pool");
  EXPECT_TRUE(steps[2].is_index());
  EXPECT_EQ(steps[2].index, 3u);
}

}  // namespace
}  // namespace brisquel
