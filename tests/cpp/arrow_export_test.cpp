// What the exported schema says, the ownership rules of exported arrays and
// streams, the limits a type is checked against, and the 32-bit offset guard.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/arrow/builder.hpp"
#include "core/arrow/export.hpp"

namespace brisquel::arrow {
namespace {

Field field(std::string name, DataType type, bool nullable = true) {
  return {std::move(name), std::move(type), nullable, {}};
}

TEST(ArrowSchemaExport, FormatsNamesFlagsMetadata) {
  Field event = field("event", struct_of({
      field("amount", decimal256(39, 0), false),
      field("mint", fixed_size_binary(32)),
      field("kind", dictionary_of({"Buy", "Sell"}, TypeId::Int16)),
      field("legs", list_of(field("item", struct_of({field("px", primitive(TypeId::Float64))})))),
      field("pair", fixed_size_list_of(field("item", primitive(TypeId::UInt8), false), 2)),
  }));
  event.metadata = {{"k", "vv"}};
  ArrowSchema s;
  export_schema(event, &s);
  EXPECT_STREQ(s.format, "+s");
  EXPECT_STREQ(s.name, "event");
  EXPECT_EQ(s.flags, ARROW_FLAG_NULLABLE);
  const char meta[] = "\1\0\0\0\1\0\0\0k\2\0\0\0vv";
  ASSERT_NE(s.metadata, nullptr);
  EXPECT_EQ(std::memcmp(s.metadata, meta, sizeof meta - 1), 0);
  ASSERT_EQ(s.n_children, 5);
  const char* formats[] = {"d:39,0,256", "w:32", "s", "+l", "+w:2"};
  for (int i = 0; i < 5; ++i) EXPECT_STREQ(s.children[i]->format, formats[i]);
  EXPECT_EQ(s.children[0]->flags, 0);
  EXPECT_STREQ(s.children[2]->dictionary->format, "u");
  EXPECT_STREQ(s.children[3]->children[0]->children[0]->name, "px");

  // A consumer may move a child out and release it after its parent.
  ArrowSchema moved = *s.children[3];
  s.children[3]->release = nullptr;
  s.release(&s);
  EXPECT_EQ(s.release, nullptr);
  EXPECT_STREQ(moved.children[0]->format, "+s");
  moved.release(&moved);
}

TEST(ArrowArrayExport, ChildrenAndDictionaryOutliveTheirParentOnAnyThread) {
  const Field f = field("kind", dictionary_of({"A", "B", "C"}));
  const Field g = field("s", struct_of({field("x", primitive(TypeId::Utf8))}));
  auto kb = *ColumnBuilder::make(f);
  auto sb = *ColumnBuilder::make(g);
  ASSERT_TRUE(kb.append_index(2));
  EXPECT_FALSE(kb.append_index(3));
  EXPECT_FALSE(kb.append_index(-1));
  sb.append_null();
  std::vector<ColumnBuilder> cols;
  cols.push_back(std::move(kb));
  cols.push_back(std::move(sb));
  auto batch = *finish_batch(cols);
  ArrowArray a;
  export_batch(batch, &a);
  batch.reset();
  ASSERT_EQ(a.length, 1);
  ArrowArray dict = *a.children[0]->dictionary;
  a.children[0]->dictionary->release = nullptr;
  ArrowArray inner = *a.children[1]->children[0];
  a.children[1]->children[0]->release = nullptr;
  std::thread([&] { a.release(&a); }).join();
  // The moved arrays still read their data.
  EXPECT_EQ(std::string_view(static_cast<const char*>(dict.buffers[2]), 3), "ABC");
  EXPECT_EQ(inner.null_count, 1);
  std::thread([&] { dict.release(&dict); }).join();
  inner.release(&inner);
}

TEST(ArrowStream, EmptyTableEndsAtOnceAndMismatchedBatchesAreRefused) {
  auto table = std::make_shared<Table>(Table{{field("a", primitive(TypeId::Int32))}, {}});
  ArrowArrayStream stream{};
  ASSERT_TRUE(export_stream(table, &stream));
  ArrowSchema s;
  ASSERT_EQ(stream.get_schema(&stream, &s), 0);
  s.release(&s);
  ArrowArray a;
  ASSERT_EQ(stream.get_next(&stream, &a), 0);
  EXPECT_EQ(a.release, nullptr);
  stream.release(&stream);

  auto ib = *ColumnBuilder::make(table->fields[0]);
  ib.append<std::int32_t>(7);
  auto batch = std::make_shared<RecordBatch>(RecordBatch{2, {ib.finish()}});  // claims 2 rows, has 1
  table->batches.push_back(batch);
  auto bad = export_stream(table, &stream);
  ASSERT_FALSE(bad);
  EXPECT_NE(bad.error().find("1 entries where 2 are needed"), std::string::npos) << bad.error();
  table->fields[0].type = primitive(TypeId::Int64);
  batch->length = 1;
  EXPECT_FALSE(export_stream(table, &stream));
}

TEST(ArrowTypes, NamesAndLimits) {
  const Field item = field("item", primitive(TypeId::Utf8));
  EXPECT_EQ(type_name(struct_of({field("a", primitive(TypeId::Int32)), field("b", list_of(item))})),
            "struct<a: int32, b: list<utf8>>");
  EXPECT_EQ(type_name(fixed_size_list_of(field("item", fixed_size_binary(32)), 4)),
            "fixed_size_list<fixed_size_binary(32), 4>");

  DataType deep = primitive(TypeId::Int8);
  for (int i = 0; i < kMaxTypeDepth + 1; ++i) deep = list_of(field("item", std::move(deep)));
  DataType wide = primitive(TypeId::Int8);  // 64^4 slots: one null would fill 16M of them
  for (int i = 0; i < 4; ++i) wide = fixed_size_list_of(field("item", std::move(wide)), 64);
  const DataType refused[] = {
      deep, wide, fixed_size_binary(0), decimal256(77, 0), fixed_size_list_of(item, -1),
      dictionary_of(std::vector<std::string>(129, "v")), dictionary_of({"\xff"}), dictionary_of({"v"}, TypeId::Int32),
      dictionary_of({}),
      primitive(static_cast<TypeId>(99)),
  };
  for (const DataType& t : refused) EXPECT_FALSE(check_field(field("f", t))) << type_name(t);
  EXPECT_TRUE(check_field(field("f", dictionary_of(std::vector<std::string>(32768, "v"), TypeId::Int16))));
}

TEST(ArrowBuilder, OffsetLimitAppendsNothing) {
  auto b = *ColumnBuilder::make(field("s", primitive(TypeId::Utf8)));
  b.limit_offsets_for_testing(10);
  ASSERT_TRUE(b.append_binary("12345678"));
  EXPECT_FALSE(b.append_binary("123"));
  std::memcpy(b.begin_value(5), "abc", 3);
  EXPECT_FALSE(b.end_value(3));
  ASSERT_TRUE(b.end_value(2));  // "ab" fits exactly
  auto l = *ColumnBuilder::make(field("l", list_of(field("item", primitive(TypeId::Int8)))));
  l.limit_offsets_for_testing(2);
  for (int i = 0; i < 3; ++i) l.begin_list().append<std::int8_t>(1);
  EXPECT_FALSE(l.end_list());
  EXPECT_EQ(l.length(), 0);

  auto data = b.finish();
  EXPECT_EQ(data->length, 2);
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(data->buffers[2].data()), 10), "12345678ab");
  // finish starts the builder over: an empty column still has its one offset.
  auto empty = b.finish();
  EXPECT_EQ(empty->buffers[1].size(), 4u);
  EXPECT_NE(empty->addresses[2], nullptr);
}

}  // namespace
}  // namespace brisquel::arrow
