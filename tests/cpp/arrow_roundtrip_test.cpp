// Random schemas and rows, appended with random half-rows rolled back and
// random batch ends, exported as a stream and read back through the C
// structs the way a consumer reads them, against a plain model of the rows.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/arrow/builder.hpp"
#include "core/arrow/export.hpp"

namespace brisquel::arrow {
namespace {

using Rng = std::mt19937_64;

// One value as a consumer sees it: a null, a leaf's bytes (a bool as "0"/"1",
// a dictionary entry as its text) or the items of a container.
struct Value {
  bool null = false;
  std::string bytes;
  int index = 0;  // dictionary
  std::vector<Value> items;
  bool operator==(const Value&) const = default;
};

std::size_t pick(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }

Field random_field(Rng& rng, int depth, std::string name) {
  static constexpr TypeId kLeaves[] = {TypeId::Bool, TypeId::Int8, TypeId::UInt16, TypeId::Int32, TypeId::Float32,
                                       TypeId::UInt64, TypeId::Float64, TypeId::Decimal256, TypeId::Utf8,
                                       TypeId::Binary, TypeId::FixedSizeBinary, TypeId::Dictionary};
  Field f{std::move(name), {}, pick(rng, 3) != 0, {}};
  const std::size_t choice = pick(rng, depth < 3 ? std::size(kLeaves) + 6 : std::size(kLeaves));
  if (choice < std::size(kLeaves)) {
    f.type = primitive(kLeaves[choice]);
    if (f.type.id == TypeId::Decimal256) f.type = decimal256(39, 0);
    if (f.type.id == TypeId::FixedSizeBinary) f.type = fixed_size_binary(pick(rng, 2) ? 32 : 1 + pick(rng, 40));
    if (f.type.id == TypeId::Dictionary) {
      std::vector<std::string> values;
      for (std::size_t i = 0, n = 1 + pick(rng, 5); i < n; ++i) values.push_back("v" + std::to_string(i));
      f.type = dictionary_of(std::move(values), pick(rng, 2) ? TypeId::Int8 : TypeId::Int16);
    }
  } else if (choice < std::size(kLeaves) + 2) {
    f.type = list_of(random_field(rng, depth + 1, "item"));
  } else if (choice < std::size(kLeaves) + 4) {
    f.type = fixed_size_list_of(random_field(rng, depth + 1, "item"), static_cast<std::int64_t>(pick(rng, 4)));
  } else {
    std::vector<Field> fields;
    for (std::size_t i = 0, n = 1 + pick(rng, 3); i < n; ++i)
      fields.push_back(random_field(rng, depth + 1, "f" + std::to_string(i)));
    f.type = struct_of(std::move(fields));
  }
  return f;
}

Value random_value(Rng& rng, const Field& f) {
  Value v;
  if (f.nullable && pick(rng, 4) == 0) {
    v.null = true;
    return v;
  }
  const DataType& t = f.type;
  switch (t.id) {
    case TypeId::Bool: v.bytes = pick(rng, 2) ? "1" : "0"; break;
    case TypeId::Utf8:
    case TypeId::Binary:
      for (std::size_t i = 0, n = pick(rng, 20); i < n; ++i) v.bytes += static_cast<char>('a' + pick(rng, 26));
      break;
    case TypeId::Dictionary:
      v.index = static_cast<int>(pick(rng, t.dictionary.size()));
      v.bytes = t.dictionary[static_cast<std::size_t>(v.index)];
      break;
    case TypeId::List:
      for (std::size_t i = 0, n = pick(rng, 4); i < n; ++i) v.items.push_back(random_value(rng, t.children[0]));
      break;
    case TypeId::FixedSizeList:
      for (std::int64_t i = 0; i < t.list_size; ++i) v.items.push_back(random_value(rng, t.children[0]));
      break;
    case TypeId::Struct:
      for (const Field& child : t.children) v.items.push_back(random_value(rng, child));
      break;
    default:
      for (std::int32_t i = 0; i < value_width(t); ++i) v.bytes += static_cast<char>(rng());
  }
  return v;
}

// Appends `v`, trying each way in to the same column; stops (leaving a half
// value) when `budget` runs out, as a decoder meeting bad bytes does.
void append(ColumnBuilder& b, const Field& f, const Value& v, Rng& rng, int& budget) {
  if (--budget < 0) return;
  if (v.null) return b.append_null();
  const DataType& t = f.type;
  switch (t.id) {
    case TypeId::Bool: return b.append_bool(v.bytes == "1");
    case TypeId::Utf8:
    case TypeId::Binary:
      if (pick(rng, 2)) {
        ASSERT_TRUE(b.append_binary(v.bytes));
      } else {
        char* p = b.begin_value(v.bytes.size() + 7);
        std::memcpy(p, v.bytes.data(), v.bytes.size());
        ASSERT_TRUE(b.end_value(v.bytes.size()));
      }
      return;
    case TypeId::Dictionary: ASSERT_TRUE(b.append_index(v.index)); return;
    case TypeId::List: {
      ColumnBuilder& items = b.begin_list();
      for (const Value& item : v.items) append(items, t.children[0], item, rng, budget);
      if (budget >= 0) {
        ASSERT_TRUE(b.end_list());
      }
      return;
    }
    case TypeId::FixedSizeList: {
      b.append_valid();
      const Field& item = t.children[0];
      const std::int32_t width = value_width(item.type);
      bool run = width > 0 && item.type.id != TypeId::Dictionary && pick(rng, 2);
      std::string bytes;
      for (const Value& x : v.items) run = run && !x.null, bytes += x.bytes;
      if (run) return b.child(0).append_fixed_run(bytes.data(), v.items.size());
      for (const Value& x : v.items) append(b.child(0), item, x, rng, budget);
      return;
    }
    case TypeId::Struct:
      b.append_valid();
      for (std::size_t i = 0; i < v.items.size(); ++i) append(b.child(i), t.children[i], v.items[i], rng, budget);
      return;
    default: return b.append_fixed(v.bytes.data());
  }
}

std::int64_t width_of_format(std::string_view f) {
  static constexpr std::string_view kWidths[] = {"cC", "sS", "iIf", "lLg"};
  for (std::size_t i = 0; i < std::size(kWidths); ++i)
    if (f.size() == 1 && kWidths[i].find(f[0]) != std::string_view::npos) return std::int64_t{1} << i;
  if (f.starts_with("d:") && f.ends_with(",256")) return 32;
  if (f.starts_with("w:")) return std::stoll(std::string(f.substr(2)));
  return 0;
}

bool bit(const void* bits, std::int64_t i) { return (static_cast<const std::uint8_t*>(bits)[i >> 3] >> (i & 7)) & 1; }

// What a consumer checks of one array before reading it, then each entry read back.
void check_layout(const ArrowSchema& s, const ArrowArray& a) {
  const std::string_view f = s.format;
  ASSERT_EQ(a.offset, 0);
  const std::int64_t want_buffers = f == "+s" || f.starts_with("+w:") ? 1 : f == "u" || f == "z" ? 3 : 2;
  ASSERT_EQ(a.n_buffers, want_buffers) << f;
  ASSERT_EQ(a.n_children, s.n_children);
  ASSERT_EQ(a.dictionary != nullptr, s.dictionary != nullptr);
  for (std::int64_t i = 1; i < a.n_buffers; ++i) {
    ASSERT_NE(a.buffers[i], nullptr) << f;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.buffers[i]) % 64, 0u);
  }
  // The bitmap exists exactly when there are nulls, and its clear bits are the null count.
  ASSERT_EQ(a.buffers[0] == nullptr, a.null_count == 0) << f;
  std::int64_t clear = 0;
  for (std::int64_t i = 0; a.buffers[0] != nullptr && i < a.length; ++i) clear += !bit(a.buffers[0], i);
  ASSERT_EQ(clear, a.null_count);
  if (!(s.flags & ARROW_FLAG_NULLABLE)) {
    ASSERT_EQ(a.null_count, 0) << s.name;
  }
  if (f == "u" || f == "z" || f == "+l") {
    const auto* o = static_cast<const std::int32_t*>(a.buffers[1]);
    ASSERT_EQ(o[0], 0);
    for (std::int64_t i = 0; i < a.length; ++i) ASSERT_LE(o[i], o[i + 1]);
    if (f == "+l") {
      ASSERT_EQ(a.children[0]->length, o[a.length]);
    }
  }
  for (std::int64_t i = 0; f == "+s" && i < a.n_children; ++i) ASSERT_EQ(a.children[i]->length, a.length);
  if (f.starts_with("+w:")) {
    ASSERT_EQ(a.children[0]->length, a.length * std::stoll(std::string(f.substr(3))));
  }
  for (std::int64_t i = 0; i < a.n_children; ++i) check_layout(*s.children[i], *a.children[i]);
}

Value read(const ArrowSchema& s, const ArrowArray& a, std::int64_t i) {
  Value v;
  if (a.buffers[0] != nullptr && !bit(a.buffers[0], i)) {
    v.null = true;
    return v;
  }
  const std::string_view f = s.format;
  if (s.dictionary != nullptr) {
    v.index = f == "c" ? static_cast<const std::int8_t*>(a.buffers[1])[i]
                       : static_cast<const std::int16_t*>(a.buffers[1])[i];
    v.bytes = read(*s.dictionary, *a.dictionary, v.index).bytes;
  } else if (f == "b") {
    v.bytes = bit(a.buffers[1], i) ? "1" : "0";
  } else if (f == "u" || f == "z") {
    const auto* o = static_cast<const std::int32_t*>(a.buffers[1]);
    v.bytes.assign(static_cast<const char*>(a.buffers[2]) + o[i], static_cast<std::size_t>(o[i + 1] - o[i]));
  } else if (f == "+l") {
    const auto* o = static_cast<const std::int32_t*>(a.buffers[1]);
    for (std::int32_t j = o[i]; j < o[i + 1]; ++j) v.items.push_back(read(*s.children[0], *a.children[0], j));
  } else if (f.starts_with("+w:")) {
    const std::int64_t n = std::stoll(std::string(f.substr(3)));
    for (std::int64_t j = i * n; j < (i + 1) * n; ++j) v.items.push_back(read(*s.children[0], *a.children[0], j));
  } else if (f == "+s") {
    for (std::int64_t k = 0; k < s.n_children; ++k) v.items.push_back(read(*s.children[k], *a.children[k], i));
  } else {
    const std::int64_t w = width_of_format(f);
    EXPECT_GT(w, 0) << f;
    v.bytes.assign(static_cast<const char*>(a.buffers[1]) + i * w, static_cast<std::size_t>(w));
  }
  return v;
}

class ArrowRoundTrip : public testing::TestWithParam<int> {};

TEST_P(ArrowRoundTrip, ConsumerSeesTheModel) {
  Rng rng(static_cast<std::uint64_t>(GetParam()));
  std::vector<Field> fields;
  for (std::size_t i = 0, n = 1 + pick(rng, 4); i < n; ++i)
    fields.push_back(random_field(rng, 0, "c" + std::to_string(i)));
  std::vector<ColumnBuilder> builders;
  for (const Field& f : fields) builders.push_back(*ColumnBuilder::make(f));

  auto table = std::make_shared<Table>();
  table->fields = fields;
  std::vector<std::vector<Value>> model;  // rows
  const std::size_t rows = pick(rng, 300);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::int64_t before = builders[0].length();
    std::vector<Value> row;
    for (const Field& f : fields) row.push_back(random_value(rng, f));
    // Half of a row that then fails, or whole rows that are then dropped, rolled back.
    if (pick(rng, 4) == 0) {
      const std::size_t dropped = pick(rng, 10) == 0 ? pick(rng, 100) : 1;
      int budget = dropped > 1 ? 1 << 30 : static_cast<int>(pick(rng, 30));
      for (std::size_t k = 0; k < dropped; ++k)
        for (std::size_t c = 0; c < fields.size(); ++c)
          append(builders[c], fields[c], random_value(rng, fields[c]), rng, budget);
      for (ColumnBuilder& b : builders) b.cut_back(before);
    }
    int budget = 1 << 30;
    for (std::size_t c = 0; c < fields.size(); ++c) append(builders[c], fields[c], row[c], rng, budget);
    model.push_back(std::move(row));
    if (pick(rng, 50) == 0) table->batches.push_back(*finish_batch(builders));
  }
  table->batches.push_back(*finish_batch(builders));

  ArrowArrayStream stream;
  ASSERT_TRUE(export_stream(table, &stream));
  table.reset();  // the stream alone keeps the data now
  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  ASSERT_EQ(std::string_view(schema.format), "+s");
  ASSERT_EQ(std::string_view(schema.name), "");
  std::vector<ArrowArray> arrays;
  for (;;) {
    ArrowArray a;
    ASSERT_EQ(stream.get_next(&stream, &a), 0);
    if (a.release == nullptr) break;
    arrays.push_back(a);
  }
  stream.release(&stream);  // arrays outlive the stream

  std::size_t r = 0;
  for (ArrowArray& batch : arrays) {
    check_layout(schema, batch);
    for (std::int64_t i = 0; i < batch.length; ++i, ++r)
      for (std::int64_t c = 0; c < batch.n_children; ++c)
        ASSERT_EQ(read(*schema.children[c], *batch.children[c], i), model[r][static_cast<std::size_t>(c)])
            << "row " << r << " column " << c << ": " << type_name(fields[static_cast<std::size_t>(c)].type);
  }
  EXPECT_EQ(r, model.size());
  // Release on another thread, the schema before the arrays.
  std::thread([&] {
    schema.release(&schema);
    for (ArrowArray& batch : arrays) batch.release(&batch);
  }).join();
}

INSTANTIATE_TEST_SUITE_P(Seeds, ArrowRoundTrip, testing::Range(0, 150));

}  // namespace
}  // namespace brisquel::arrow
