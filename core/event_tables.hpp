// Events into Arrow tables: one table per declared event, its rows the bodies
// that decoded, each row led by context columns (where the line came from),
// and one more table of the bodies that matched an event but did not decode.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/arrow/array_data.hpp"
#include "core/arrow/builder.hpp"
#include "core/arrow_sink.hpp"
#include "core/compiled_idl.hpp"
#include "core/table_schema.hpp"

namespace brisquel {

// Rows per record batch, and the data one column of a batch may hold, so
// that 32-bit offsets never overflow and consumers get batches of a
// workable size.
inline constexpr std::int64_t kMaxBatchRows = 65'536;
inline constexpr std::size_t kMaxBatchBytes = std::size_t{64} << 20;

// The Arrow form of every event of a decoder, made once.
struct TableSchemas {
  TableOptions options;
  std::vector<EventSchema> events;  // in declaration order
  std::vector<std::string> keys;    // "Name", or "Name#2" for a name declared again

  // The schemas of `tables`' events; the error names a field that takes one
  // of the `reserved` names (those of the context columns).
  static Result<TableSchemas> make(const CompiledIdl& tables, const TableOptions& options,
                                   std::span<const std::string_view> reserved);
};

// The last columns of every errors table: `message`; `path`, where in the
// value decoding failed ("pool.reserves[3].amount"), null for a failure at no
// place in a value; and `kind`, what failed ("end_of_buffer", "unreadable",
// ...), as the exceptions give it.
void add_error_columns(std::vector<arrow::Field>& fields);
// Appends `error` to those three columns, the first of which is `columns`.
void append_error(arrow::ColumnBuilder* columns, const Error& error);

// Adds `schema` with its key ("Name", or "Name#2" for a name declared again)
// to `schemas` and `keys` (`unique` knows the keys taken); the error names a
// field that takes one of the `reserved` names. `what` names the kind of
// body ("event", "account").
Result<void> add_schema(EventSchema schema, std::string_view what, std::span<const std::string_view> reserved,
                        std::vector<EventSchema>& schemas, std::vector<std::string>& keys, UniqueNames& unique);

// The rows of one table of decoded bodies (an event's or an account's), made
// during one call.
class EventTableBuilder {
 public:
  EventTableBuilder(const EventSchema& schema, std::span<const arrow::Field> context, const TableOptions& options,
                    std::span<const arrow::Field> trailing = {});
  EventTableBuilder(EventTableBuilder&&) = delete;

  // Decodes `body` into a new row; on failure the row is rolled back and
  // error() says why, until the next add. After success the caller appends one value to each
  // context and trailing column, then calls commit. Bodies of a type of
  // fixed width wait and are decoded a few dozen at a time, a column at a
  // time; other rows and the batch's end take them in first, so rows stay
  // in order.
  bool add(std::span<const std::uint8_t> body);
  const Error& error() const { return walk_state_.error; }
  arrow::ColumnBuilder& context(std::size_t i) { return context_[i]; }
  arrow::ColumnBuilder& trailing(std::size_t i) { return trailing_[i]; }
  // `body_bytes`: what the row took from the input, which bounds what it added to any column.
  void commit(std::size_t body_bytes);

  std::shared_ptr<const arrow::Table> finish();

 private:
  void close_batch();
  void decode_kept();

  const EventSchema& schema_;
  const TableOptions& options_;
  std::vector<arrow::Field> fields_;  // context, the event's columns, trailing
  std::vector<arrow::ColumnBuilder> context_;
  std::vector<arrow::ColumnBuilder> trailing_;
  arrow::ColumnBuilder root_;  // a struct over the event's columns
  ColumnSlot slot_;
  ArrowSink sink_;
  WalkState walk_state_{std::span<const std::uint8_t>{}};  // one for every row, restarted
  std::size_t unchecked_bytes_ = 0;
  std::vector<std::shared_ptr<const arrow::RecordBatch>> batches_;
  std::uint64_t row_width_ = 0;  // of a body of fixed width, else 0
  std::uint64_t kept_from_ = 0;  // the size from which such a body waits
  std::size_t keep_rows_ = 0;    // how many wait at most (0: none do)
  std::size_t kept_rows_ = 0;
  std::vector<std::uint8_t> kept_;
  std::vector<EnumAt> enums_;  // in a body of fixed width
};

// The table of an event that had no row: its context, the event's columns and any trailing ones.
std::shared_ptr<const arrow::Table> empty_table(std::span<const arrow::Field> context, const EventSchema& schema,
                                                std::span<const arrow::Field> trailing = {});

// A value, or null.
template <class T>
void append_optional(arrow::ColumnBuilder& c, const std::optional<T>& v) {
  if (v) c.append(*v);
  else c.append_null();
}

// The builders of `fields` (which must be valid).
std::vector<arrow::ColumnBuilder> make_builders(std::span<const arrow::Field> fields);

// A table of plain columns filled row by row (the errors tables), in batches
// of at most kMaxBatchRows rows.
class PlainTable {
 public:
  explicit PlainTable(std::vector<arrow::Field> fields);
  arrow::ColumnBuilder& column(std::size_t i) { return columns_[i]; }
  void end_row();  // after one value was appended to each column
  std::shared_ptr<const arrow::Table> finish();

 private:
  void close_batch();

  std::vector<arrow::Field> fields_;
  std::vector<arrow::ColumnBuilder> columns_;
  std::vector<std::shared_ptr<const arrow::RecordBatch>> batches_;
};

}  // namespace brisquel
