#include "core/tx/tx_tables.hpp"

#include "core/fault.hpp"

namespace brisquel {
namespace {

using arrow::TypeId;

constexpr std::string_view kSources[] = {"log", "cpi", "log+cpi"};

// A transaction that cannot be read is a row too, with no source, program or event.
std::vector<arrow::Field> error_fields() {
  std::vector<arrow::Field> fields = tx_context();
  fields[7].nullable = true;  // `_source`
  fields.push_back(column("program", arrow::primitive(TypeId::Utf8), true));
  fields.push_back(column("event", arrow::primitive(TypeId::Utf8), true));
  add_error_columns(fields);
  return fields;
}

}  // namespace

std::vector<arrow::Field> tx_context() {
  std::vector<std::string> sources(std::begin(kSources), std::end(kSources));
  return {
      column("_tx", arrow::primitive(TypeId::Int64), false),
      column("_signature", arrow::primitive(TypeId::Utf8), true),
      column("_slot", arrow::primitive(TypeId::UInt64), true),
      column("_block_time", arrow::primitive(TypeId::Int64), true),
      column("_instruction", arrow::primitive(TypeId::Int32), true),
      column("_inner", arrow::primitive(TypeId::Int32), true),
      column("_depth", arrow::primitive(TypeId::Int32), true),
      column("_source", arrow::dictionary_of(std::move(sources), TypeId::Int8), false),
      column("_truncated", arrow::primitive(TypeId::Bool), false),
  };
}

void append_tx_place(arrow::ColumnBuilder* c, std::int64_t index, const tx::TxView& tx) {
  c[0].append(index);
  if (tx.signature.empty()) c[1].append_null();
  else c[1].append_binary(tx.signature);
  append_optional(c[2], tx.slot);
  append_optional(c[3], tx.block_time);
}

TxTables::TxTables(std::span<const TxProgram> programs)
    : programs_(programs), context_(tx_context()), errors_(error_fields()) {
  events_.resize(programs.size());
  for (std::size_t p = 0; p < programs.size(); ++p) events_[p].resize(programs[p].schemas.events.size());
}

void TxTables::append_context(arrow::ColumnBuilder* c, const Place& place, const tx::FoundEvent& e) {
  append_tx_place(c, place.tx, place.view);
  const auto as_int = [](const std::optional<std::uint32_t>& v) -> std::optional<std::int32_t> {
    if (!v) return std::nullopt;
    return static_cast<std::int32_t>(*v);
  };
  append_optional(c[4], as_int(e.instruction));
  append_optional(c[5], as_int(e.inner));
  append_optional(c[6], as_int(e.depth));
  if (!c[7].append_index(static_cast<int>(e.source))) throw Fault("a source outside its column's dictionary");
  c[8].append_bool(place.truncated);
}

void TxTables::add_problem(std::int64_t index, const tx::TxView& tx) {
  arrow::ColumnBuilder* c = &errors_.column(0);
  append_tx_place(c, index, tx);
  for (std::size_t i = 4; i < 8; ++i) c[i].append_null();
  c[8].append_bool(false);
  c[9].append_null();
  c[10].append_null();
  append_error(&c[11], tx.problem);
  errors_.end_row();
}

void TxTables::add(std::int64_t index, const tx::TxView& tx, const tx::WalkResult& walk) {
  if (tx.problem) return add_problem(index, tx);
  const Place place{index, tx, walk.truncated};
  for (const tx::FoundEvent& e : walk.events) {
    const auto match = match_found(programs_, e);
    if (!match) continue;
    const TxProgram& program = programs_[e.program];
    const auto event = static_cast<std::size_t>(match->layout - program.idl->events().data());
    auto& table = events_[e.program][event];
    if (!table) {
      table = std::make_unique<EventTableBuilder>(program.schemas.events[event], context_, program.schemas.options);
    }
    if (!table->add(match->body)) {
      append_context(&errors_.column(0), place, e);
      const std::size_t at = context_.size();
      errors_.column(at).append_binary(program.address);
      errors_.column(at + 1).append_binary(program.schemas.keys[event]);
      append_error(&errors_.column(at + 2), table->error());
      errors_.end_row();
      continue;
    }
    append_context(&table->context(0), place, e);
    table->commit(match->body.size());
  }
}

TxTables::Output TxTables::finish() {
  Output out;
  out.events.resize(programs_.size());
  for (std::size_t p = 0; p < programs_.size(); ++p) {
    for (std::size_t i = 0; i < events_[p].size(); ++i) {
      out.events[p].push_back(events_[p][i] ? events_[p][i]->finish()
                                            : empty_table(context_, programs_[p].schemas.events[i]));
    }
  }
  out.errors = errors_.finish();
  return out;
}

}  // namespace brisquel
