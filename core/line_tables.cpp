#include "core/line_tables.hpp"

namespace brisquel {

std::vector<arrow::Field> line_context(bool nested) {
  std::vector<arrow::Field> fields;
  if (nested) {
    fields.push_back(column(std::string(kRowColumn), arrow::primitive(arrow::TypeId::Int64), false));
    fields.push_back(column(std::string(kLineColumn), arrow::primitive(arrow::TypeId::Int32), false));
  } else {
    fields.push_back(column(std::string(kLineColumn), arrow::primitive(arrow::TypeId::Int64), false));
  }
  return fields;
}

LineTables::LineTables(const CompiledIdl& tables, const TableSchemas& schemas, bool nested)
    : tables_(tables), schemas_(schemas), nested_(nested), context_(line_context(nested)) {
  events_.resize(schemas.events.size());
}

void LineTables::add(std::int64_t row, std::int64_t line, std::string_view text) {
  const auto match = match_event_line(tables_, text, buffer_);
  if (!match) return;
  const auto event = static_cast<std::uint32_t>(match->layout - tables_.events().data());
  auto& table = events_[event];
  if (!table) table = std::make_unique<EventTableBuilder>(schemas_.events[event], context_, schemas_.options);
  if (!table->add(match->body)) {
    failures_.push_back({row, line, event, table->error()});
    return;
  }
  if (nested_) {
    table->context(0).append(row);
    table->context(1).append(static_cast<std::int32_t>(line));
  } else {
    table->context(0).append(line);
  }
  table->commit(match->body.size());
}

DecodedTables LineTables::finish() {
  DecodedTables out;
  for (std::size_t i = 0; i < events_.size(); ++i) {
    out.events.push_back(events_[i] ? events_[i]->finish() : empty_table(context_, schemas_.events[i]));
  }
  std::vector<arrow::Field> fields = context_;
  fields.push_back(column("event", arrow::primitive(arrow::TypeId::Utf8), false));
  add_error_columns(fields);
  PlainTable errors(std::move(fields));
  const std::size_t at = context_.size();
  for (const Failure& f : failures_) {
    if (nested_) {
      errors.column(0).append(f.row);
      errors.column(1).append(static_cast<std::int32_t>(f.line));
    } else {
      errors.column(0).append(f.line);
    }
    errors.column(at).append_binary(schemas_.keys[f.event]);
    append_error(&errors.column(at + 1), f.error);
    errors.end_row();
  }
  out.errors = errors.finish();
  return out;
}

}  // namespace brisquel
