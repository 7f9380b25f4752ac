// Transactions' events into Arrow tables: one table per (program, event), its
// rows led by where the event was found in its transaction.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_lines.hpp"
#include "core/event_tables.hpp"
#include "core/tx/found_event.hpp"
#include "core/tx/tx_view.hpp"

namespace brisquel {

// One program of a transaction decoder.
struct TxProgram {
  std::string address;  // base58
  std::unique_ptr<const CompiledIdl> idl;
  TableSchemas schemas;
};

// The context columns, which no field may take: `_tx` (the transaction's
// index in the input), `_signature`, `_slot`, `_block_time`, `_instruction`,
// `_inner`, `_depth`, `_source` ("log", "cpi" or "log+cpi") and `_truncated`.
inline constexpr std::string_view kTxContextNames[] = {"_tx",    "_signature", "_slot",   "_block_time", "_instruction",
                                                       "_inner", "_depth",     "_source", "_truncated"};
std::vector<arrow::Field> tx_context();

// `_tx`, `_signature`, `_slot` and `_block_time`, which every row of a
// transaction's events, calls and errors starts with.
void append_tx_place(arrow::ColumnBuilder* columns, std::int64_t index, const tx::TxView& tx);

// The layout and body of a found event in its program's compiled IDL, or nullopt.
inline std::optional<EventMatch> match_found(std::span<const TxProgram> programs, const tx::FoundEvent& e) {
  return match_payload(*programs[e.program].idl, e.payload);
}

class TxTables {
 public:
  explicit TxTables(std::span<const TxProgram> programs);

  // The events the walk found in transaction `index`; one that could not be
  // read (tx.problem) is a row of the errors table.
  void add(std::int64_t index, const tx::TxView& tx, const tx::WalkResult& walk);


  struct Output {
    std::vector<std::vector<std::shared_ptr<const arrow::Table>>> events;  // per program, per event
    std::shared_ptr<const arrow::Table> errors;
  };
  Output finish();

 private:
  void add_problem(std::int64_t index, const tx::TxView& tx);
  struct Place {  // where a row comes from
    std::int64_t tx;
    const tx::TxView& view;
    bool truncated;
  };
  void append_context(arrow::ColumnBuilder* columns, const Place& place, const tx::FoundEvent& e);

  std::span<const TxProgram> programs_;
  const std::vector<arrow::Field> context_;
  std::vector<std::vector<std::unique_ptr<EventTableBuilder>>> events_;  // made with an event's first row
  PlainTable errors_;
};

}  // namespace brisquel
