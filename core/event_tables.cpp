#include "core/event_tables.hpp"

#include <algorithm>
#include <cstring>
#include <format>

#include "core/fault.hpp"

namespace brisquel {

Result<void> add_schema(EventSchema schema, std::string_view what, std::span<const std::string_view> reserved,
                        std::vector<EventSchema>& schemas, std::vector<std::string>& keys, UniqueNames& unique) {
  for (const arrow::Field& column : schema.fields.type.children) {
    if (std::ranges::find(reserved, column.name) != reserved.end()) {
      return fail(std::format("{} '{}' has a field named '{}', which is the name of a context column", what,
                              schema.name, column.name));
    }
  }
  // A name declared again gets a key of its own: "Name#2", "Name#3", ...
  keys.push_back(unique.add(schema.name));
  schemas.push_back(std::move(schema));
  return {};
}

Result<TableSchemas> TableSchemas::make(const CompiledIdl& tables, const TableOptions& options,
                                        std::span<const std::string_view> reserved) {
  TableSchemas out;
  out.options = options;
  UniqueNames keys;
  for (const EventLayout& layout : tables.events()) {
    if (auto added = add_schema(event_schema(layout, options), "event", reserved, out.events, out.keys, keys);
        !added) {
      return fail(std::move(added.error()));
    }
  }
  return out;
}

std::vector<arrow::ColumnBuilder> make_builders(std::span<const arrow::Field> fields) {
  std::vector<arrow::ColumnBuilder> out;
  out.reserve(fields.size());
  for (const arrow::Field& f : fields) {
    auto made = arrow::ColumnBuilder::make(f);
    if (!made) throw Fault("column type refused: " + made.error());
    out.push_back(std::move(*made));
  }
  return out;
}

std::shared_ptr<const arrow::Table> empty_table(std::span<const arrow::Field> context, const EventSchema& schema,
                                                std::span<const arrow::Field> trailing) {
  auto table = std::make_shared<arrow::Table>();
  table->fields.assign(context.begin(), context.end());
  const auto& columns = schema.fields.type.children;
  table->fields.insert(table->fields.end(), columns.begin(), columns.end());
  table->fields.insert(table->fields.end(), trailing.begin(), trailing.end());
  return table;
}

PlainTable::PlainTable(std::vector<arrow::Field> fields)
    : fields_(std::move(fields)), columns_(make_builders(fields_)) {}

void PlainTable::end_row() {
  if (columns_[0].length() >= kMaxBatchRows) close_batch();
}

void PlainTable::close_batch() {
  if (columns_.empty() || columns_[0].length() == 0) return;
  auto batch = arrow::finish_batch(columns_);
  if (!batch) throw Fault("unequal columns: " + batch.error());
  batches_.push_back(std::move(*batch));
}

std::shared_ptr<const arrow::Table> PlainTable::finish() {
  close_batch();
  auto table = std::make_shared<arrow::Table>();
  table->fields = fields_;
  table->batches = std::move(batches_);
  return table;
}

namespace {

arrow::ColumnBuilder make_root(const arrow::Field& field) {
  auto made = arrow::ColumnBuilder::make(field);
  if (!made) throw Fault("event columns refused: " + made.error());
  return std::move(*made);
}

}  // namespace

EventTableBuilder::EventTableBuilder(const EventSchema& schema, std::span<const arrow::Field> context,
                                     const TableOptions& options, std::span<const arrow::Field> trailing)
    : schema_(schema),
      options_(options),
      fields_(context.begin(), context.end()),
      context_(make_builders(context)),
      trailing_(make_builders(trailing)),
      root_(make_root(schema.fields)),
      sink_(options) {
  fields_.insert(fields_.end(), schema.fields.type.children.begin(), schema.fields.type.children.end());
  fields_.insert(fields_.end(), trailing.begin(), trailing.end());
  slot_.bind(schema.plan, &root_);
  if (schema.field_list != nullptr && *schema.field_list) {
    bool empty_tail = false;
    row_width_ = ArrowSink::fixed_row_width(**schema.field_list, slot_, empty_tail, enums_);
    // Where short bodies are taken, one that ends just before fields of no
    // bytes has them null: such a body of just the width is decoded alone.
    kept_from_ = row_width_ + (options.null_short_events && empty_tail ? 1 : 0);
  }
  // Waiting bodies stay in the core's own cache.
  constexpr std::uint64_t kKeptBytes = 128 << 10, kKeptRows = 64;
  if (row_width_ != 0) keep_rows_ = std::min(kKeptRows, kKeptBytes / row_width_);
  if (keep_rows_ < 2) keep_rows_ = 0;
}

void add_error_columns(std::vector<arrow::Field>& fields) {
  fields.push_back(column("message", arrow::primitive(arrow::TypeId::Utf8), false));
  fields.push_back(column("path", arrow::primitive(arrow::TypeId::Utf8), true));
  fields.push_back(column("kind", arrow::primitive(arrow::TypeId::Utf8), false));
}

void append_error(arrow::ColumnBuilder* columns, const Error& error) {
  columns[0].append_binary(describe(error));
  if (error.path.empty()) columns[1].append_null();
  else columns[1].append_binary(format_path(error.path));
  columns[2].append_binary(kind_name(error.kind));
}

bool EventTableBuilder::add(std::span<const std::uint8_t> body) {
  // A row with an enum index out of range is decoded alone, to fail as it does.
  if (keep_rows_ != 0 && body.size() >= kept_from_ && ArrowSink::enums_in_range(enums_, body.data())) {
    // Bytes past the fields stay unread, as a row decoded alone leaves them.
    if (kept_.empty()) kept_.resize(keep_rows_ * row_width_);
    std::memcpy(kept_.data() + kept_rows_ * row_width_, body.data(), row_width_);
    if (++kept_rows_ == keep_rows_) decode_kept();
    return true;
  }
  decode_kept();
  const std::int64_t rows = root_.length();
  walk_state_.restart(body);
  ArrowSink::Walk walk(sink_, walk_state_);
  if (walk.decode_fields(*schema_.field_list, &slot_, options_.null_short_events)) return true;
  root_.cut_back(rows);
  return false;
}

void EventTableBuilder::decode_kept() {
  if (kept_rows_ == 0) return;
  WalkState state({kept_.data(), kept_rows_ * row_width_});
  ArrowSink::Walk walk(sink_, state);
  sink_.fill_rows(walk, slot_, **schema_.field_list, kept_.data(), row_width_, kept_rows_);
  kept_rows_ = 0;
}

void EventTableBuilder::commit(std::size_t body_bytes) {
  // Output grows with the input by a bounded factor, so the buffers need a
  // look only after every megabyte of bodies.
  unchecked_bytes_ += body_bytes;
  if (root_.length() + static_cast<std::int64_t>(kept_rows_) >= kMaxBatchRows) {
    close_batch();
  } else if (unchecked_bytes_ > (std::size_t{1} << 20)) {
    unchecked_bytes_ = 0;
    std::size_t largest = root_.largest_buffer();
    for (const arrow::ColumnBuilder& c : trailing_) largest = std::max(largest, c.largest_buffer());
    if (largest > kMaxBatchBytes) close_batch();
  }
}

void EventTableBuilder::close_batch() {
  decode_kept();
  unchecked_bytes_ = 0;
  const std::int64_t rows = root_.length();
  if (rows == 0) return;
  auto batch = std::make_shared<arrow::RecordBatch>();
  batch->length = rows;
  for (arrow::ColumnBuilder& c : context_) batch->columns.push_back(c.finish());
  const auto events = root_.finish();
  batch->columns.insert(batch->columns.end(), events->children.begin(), events->children.end());
  for (arrow::ColumnBuilder& c : trailing_) batch->columns.push_back(c.finish());
  batches_.push_back(std::move(batch));
}

std::shared_ptr<const arrow::Table> EventTableBuilder::finish() {
  close_batch();
  auto table = std::make_shared<arrow::Table>();
  table->fields = fields_;
  table->batches = std::move(batches_);
  return table;
}

}  // namespace brisquel
