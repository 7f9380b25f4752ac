// Lines read from hand-built Arrow arrays of every accepted layout (random
// rows, offsets on both levels, nulls on both levels) against the rows they
// were built from; malformed arrays and other types refused with a reason.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/arrow/lines.hpp"

namespace brisquel::arrow {
namespace {

using Line = std::optional<std::string>;
using Row = std::optional<std::vector<Line>>;

void no_release_array(ArrowArray* a) { a->release = nullptr; }
void no_release_schema(ArrowSchema* s) { s->release = nullptr; }

ArrowSchema schema(const char* format, std::vector<ArrowSchema*>* kids = nullptr) {
  const auto n = kids == nullptr ? 0 : std::ssize(*kids);
  return {format, "", nullptr, 0, n, n > 0 ? kids->data() : nullptr, nullptr, no_release_schema, nullptr};
}

// Owns the buffers behind the arrays a test builds; deques keep addresses stable.
struct Arena {
  std::deque<std::vector<std::uint8_t>> bytes;
  std::deque<std::vector<const void*>> lists;
  std::deque<ArrowArray*> children;
  std::deque<ArrowArray> arrays;

  template <class V>
  const void* keep(const V& v) {
    auto& b = bytes.emplace_back(v.size() * sizeof(v[0]));
    if (!v.empty()) std::memcpy(b.data(), v.data(), b.size());
    return b.data();
  }
  ArrowArray* array(std::int64_t length, std::int64_t offset, const std::vector<bool>& valid,
                    std::vector<const void*> buffers, ArrowArray* child = nullptr) {
    std::vector<std::uint8_t> bits((valid.size() + 7) / 8);
    std::int64_t nulls = 0;
    for (std::size_t i = 0; i < valid.size(); ++i) {
      if (valid[i]) bits[i / 8] |= static_cast<std::uint8_t>(1 << (i % 8));
      else if (static_cast<std::int64_t>(i) >= offset) ++nulls;
    }
    // Producers may leave the count unknown (-1); some of these arrays do.
    const std::int64_t null_count = nulls > 0 && length % 2 == 1 ? -1 : nulls;
    buffers.insert(buffers.begin(), null_count != 0 ? keep(bits) : nullptr);
    auto& list = lists.emplace_back(std::move(buffers));
    ArrowArray& a = arrays.emplace_back();
    a = ArrowArray{length, null_count, offset, static_cast<std::int64_t>(list.size()), 0, list.data(),
                   nullptr, nullptr, no_release_array, nullptr};
    if (child != nullptr) {
      a.n_children = 1;
      a.children = &children.emplace_back(child);
    }
    return &a;
  }

  // `lines` (after `pad` entries that are not read) as utf8 ("u"), large_utf8 ("U") or string_view ("vu").
  template <class O>
  ArrowArray* offset_strings(const std::vector<Line>& lines, std::int64_t pad) {
    std::vector<O> offsets(1, 0);
    std::string data;
    std::vector<bool> valid;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      data += lines[i].value_or("");
      offsets.push_back(static_cast<O>(data.size()));
      valid.push_back(lines[i].has_value());
    }
    return array(static_cast<std::int64_t>(lines.size()) - pad, pad, valid, {keep(offsets), keep(data)});
  }
  ArrowArray* views(const std::vector<Line>& lines, std::int64_t pad) {
    std::vector<std::uint8_t> views(lines.size() * 16);
    std::string data[2];
    std::vector<bool> valid;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      valid.push_back(lines[i].has_value());
      const std::string& s = lines[i].value_or("");
      const auto size = static_cast<std::int32_t>(s.size());
      std::uint8_t* v = &views[i * 16];
      std::memcpy(v, &size, 4);
      if (size <= 12) {
        std::memcpy(v + 4, s.data(), s.size());
        continue;
      }
      // Long strings alternate between two data buffers.
      const std::int32_t where[2] = {static_cast<std::int32_t>(i % 2), static_cast<std::int32_t>(data[i % 2].size())};
      data[i % 2] += s;
      std::memcpy(v + 4, s.data(), 4);
      std::memcpy(v + 8, where, 8);
    }
    const std::vector<std::int64_t> sizes = {std::ssize(data[0]), std::ssize(data[1])};
    return array(static_cast<std::int64_t>(lines.size()) - pad, pad, valid,
                 {keep(views), keep(data[0]), keep(data[1]), keep(sizes)});
  }
  ArrowArray* strings(std::string_view format, const std::vector<Line>& lines, std::int64_t pad) {
    if (format == "vu") return views(lines, pad);
    return format == "u" ? offset_strings<std::int32_t>(lines, pad) : offset_strings<std::int64_t>(lines, pad);
  }
  template <class O>
  ArrowArray* lists_of(const std::vector<Row>& rows, std::int64_t pad, ArrowArray* child) {
    std::vector<O> offsets(1, 0);
    std::vector<bool> valid;
    for (const Row& row : rows) {
      offsets.push_back(static_cast<O>(offsets.back() + (row ? row->size() : 0)));
      valid.push_back(row.has_value());
    }
    return array(static_cast<std::int64_t>(rows.size()) - pad, pad, valid, {keep(offsets)}, child);
  }
};

Line random_line(std::mt19937_64& rng) {
  if (rng() % 5 == 0) return std::nullopt;
  return std::string(rng() % 30, static_cast<char>('a' + rng() % 26));
}

using Seen = std::vector<std::tuple<std::int64_t, std::int64_t, std::string>>;

class ArrowLines : public testing::TestWithParam<std::tuple<const char*, const char*, int>> {};

TEST_P(ArrowLines, ReadsWhatWasBuilt) {
  const auto [list_format, string_format, seed] = GetParam();
  std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
  Arena arena;
  std::vector<Row> rows(rng() % 40);
  std::vector<Line> items;
  const auto item_pad = static_cast<std::int64_t>(rng() % 3);
  for (std::int64_t i = 0; i < item_pad; ++i) items.push_back("pad");
  for (Row& row : rows) {
    if (rng() % 6 == 0) continue;
    row.emplace();
    for (std::size_t n = rng() % 5; n > 0; --n) row->push_back(random_line(rng));
    items.insert(items.end(), row->begin(), row->end());
  }
  // Rows before `row_pad` are sliced off by the list's offset.
  const auto row_pad = static_cast<std::int64_t>(rows.empty() ? 0 : rng() % std::min<std::size_t>(rows.size(), 3));
  ArrowArray* child = arena.strings(string_format, items, item_pad);
  std::vector<ArrowSchema*> kids;
  ArrowSchema item = schema(string_format);
  kids.push_back(&item);
  Seen want, got;
  const bool flat = std::string_view(list_format).empty();
  ArrowSchema s = flat ? item : schema(list_format, &kids);
  ArrowArray* a = child;
  if (flat) {
    for (std::int64_t i = item_pad; i < static_cast<std::int64_t>(items.size()); ++i)
      if (items[i]) want.emplace_back(i - item_pad, 0, *items[i]);
  } else {
    a = std::string_view(list_format) == "+l" ? arena.lists_of<std::int32_t>(rows, row_pad, child)
                                             : arena.lists_of<std::int64_t>(rows, row_pad, child);
    for (std::size_t r = static_cast<std::size_t>(row_pad); r < rows.size(); ++r)
      for (std::size_t k = 0; rows[r] && k < rows[r]->size(); ++k)
        if ((*rows[r])[k]) want.emplace_back(r - row_pad, k, *(*rows[r])[k]);
  }
  auto column = LineColumn::open(s, *a);
  ASSERT_TRUE(column) << column.error();
  ASSERT_EQ(column->nested(), !flat);
  if (flat) {
    column->for_each_flat([&](std::int64_t i, std::string_view line) { got.emplace_back(i, 0, line); });
  } else {
    column->for_each_nested(
        [&](std::int64_t r, std::int64_t k, std::string_view line) { got.emplace_back(r, k, line); });
  }
  EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ArrowLines,
                         testing::Combine(testing::Values("", "+l", "+L"), testing::Values("u", "U", "vu"),
                                          testing::Range(0, 12)));

TEST(ArrowLinesInput, RefusesOtherTypesByName) {
  ArrowSchema i32 = schema("i"), bin = schema("Z"), u = schema("u");
  std::vector<ArrowSchema*> of_int = {&i32}, of_bin = {&bin};
  i32.name = "a";
  ArrowSchema dict = schema("c");
  dict.dictionary = &u;
  const std::pair<ArrowSchema, const char*> rows[] = {
      {schema("l"), "int64"},
      {schema("+l", &of_int), "list<int32>"},
      {schema("+s", &of_int), "struct<a: int32>"},
      {schema("+L", &of_bin), "large_list<large_binary>"},
      {schema("z"), "binary"},
      {dict, "dictionary<int8, utf8>"},
      {schema("d:10,2"), "decimal128(10, 2)"},
  };
  ArrowArray empty{};
  for (const auto& [s, name] : rows) {
    auto column = LineColumn::open(s, empty);
    ASSERT_FALSE(column) << name;
    EXPECT_TRUE(column.error().ends_with(std::string("found ") + name)) << column.error();
  }
}

// Overwrites one int32 of the string view at `index` (0: length, 2: buffer, 3: offset).
void set_view(ArrowArray& s, std::int64_t index, int word, std::int32_t value) {
  auto* views = const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(s.buffers[1]));
  std::memcpy(views + (s.offset + index) * 16 + word * 4, &value, 4);
}

TEST(ArrowLinesInput, RefusesMalformedArrays) {
  using Spoil = void (*)(ArrowArray& list, ArrowArray& strings);
  static const std::int32_t kDecreasing[] = {3, 2, 3}, kNegative[] = {-1, 0, 0};
  static const std::int64_t kHuge[] = {0, std::int64_t{1} << 60, std::int64_t{1} << 60};
  const std::tuple<const char*, Spoil, const char*> cases[] = {
      {"u", [](ArrowArray&, ArrowArray& s) { s.n_buffers = 2; }, "2 buffers"},
      {"u", [](ArrowArray&, ArrowArray& s) { s.buffers[1] = nullptr; }, "no offsets buffer"},
      {"u", [](ArrowArray&, ArrowArray& s) { s.buffers[1] = kDecreasing, s.offset = 0, s.length = 2; }, "decreasing"},
      {"u", [](ArrowArray&, ArrowArray& s) { s.buffers[1] = kNegative, s.offset = 0, s.length = 2; }, "negative"},
      {"U", [](ArrowArray&, ArrowArray& s) { s.buffers[1] = kHuge, s.offset = 0, s.length = 2; }, "end of memory"},
      {"u", [](ArrowArray&, ArrowArray& s) { s.buffers[2] = nullptr; }, "missing data buffer"},
      {"u", [](ArrowArray&, ArrowArray& s) { s.null_count = 1, s.buffers[0] = nullptr; }, "without a validity"},
      {"u", [](ArrowArray&, ArrowArray& s) { s.release = nullptr; }, "released"},
      {"u", [](ArrowArray&, ArrowArray& s) { s.length = -1; }, "negative or overflowing"},
      {"u", [](ArrowArray&, ArrowArray& s) { s.length -= 1; }, "past the"},
      {"u", [](ArrowArray& l, ArrowArray&) { l.n_children = 0; }, "wrong children"},
      {"vu", [](ArrowArray&, ArrowArray& s) { set_view(s, 1, 2, 2); }, "points outside"},  // 2 data buffers
      {"vu", [](ArrowArray&, ArrowArray& s) { set_view(s, 1, 3, 1 << 20); }, "points outside"},
      {"vu", [](ArrowArray&, ArrowArray& s) { set_view(s, 0, 0, -5); }, "negative length"},
      {"vu", [](ArrowArray&, ArrowArray& s) { s.buffers[s.n_buffers - 1] = nullptr; }, "no buffer sizes"},
  };
  for (const auto& [format, spoil, message] : cases) {
    Arena arena;
    // Two rows of lines, the long ones past the inline size of a view.
    const std::vector<Line> items = {"skipped", "a line longer than twelve", "another long line here", "x"};
    ArrowArray* strings = arena.strings(format, items, 1);
    ArrowArray* list = arena.lists_of<std::int32_t>({Row{{items[1], items[2]}}, Row{{items[3]}}}, 0, strings);
    ArrowSchema item = schema(format);
    std::vector<ArrowSchema*> kids = {&item};
    const ArrowSchema s = schema("+l", &kids);
    ASSERT_TRUE(LineColumn::open(s, *list)) << message;
    spoil(*list, *strings);
    auto column = LineColumn::open(s, *list);
    ASSERT_FALSE(column) << message;
    EXPECT_NE(column.error().find(message), std::string::npos) << column.error();
  }
}

}  // namespace
}  // namespace brisquel::arrow
