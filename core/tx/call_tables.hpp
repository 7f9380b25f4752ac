// Transactions' instruction calls into Arrow tables: one table per (program,
// instruction), and one of the calls that could not be read or decoded.
//
// A call's row: the context columns (kCallContextNames: where the call is,
// who paid, whether and how it failed), then `account_<path>` per account of
// the instruction (null when absent), `arg_<name>` per argument (typed as an
// event field of that type), and `_remaining`, the accounts past the
// instruction's list. The prefixes keep accounts and arguments apart, and no
// IDL name can take a context column's name (those start with "_").
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_tables.hpp"
#include "core/tx/calls.hpp"
#include "core/tx/tx_tables.hpp"

namespace brisquel {

inline constexpr std::string_view kCallContextNames[] = {
    "_tx",    "_signature", "_slot",     "_block_time", "_instruction", "_inner",         "_depth",
    "_truncated", "_fee_payer", "_failed", "_error_code", "_error_name", "_error_message"};
inline constexpr std::string_view kRemainingColumn = "_remaining";

// `_error_code` (uint32), `_error_name` and `_error_message` (utf8) are null
// on every call but the one whose invocation failed; there the message is the
// IDL's (or the framework's), else the runtime's text.
std::vector<arrow::Field> call_context(const TableOptions& options);

// The Arrow form of every instruction of a program, made once.
struct CallSchemas {
  TableOptions options;
  std::vector<EventSchema> args;                    // per instruction: the `arg_<name>` columns
  std::vector<std::vector<arrow::Field>> accounts;  // per instruction: the `account_<path>` columns
  std::vector<std::string> keys;                    // "name", or "name#2" for a name declared again

  static CallSchemas make(const CompiledIdl& idl, const TableOptions& options);
};

// Every column of the table of `schemas`' instruction number `instruction`, in order.
std::vector<arrow::Field> call_table_fields(const CallSchemas& schemas, std::size_t instruction);

class CallTables {
 public:
  // `schemas[p]` is the CallSchemas of `programs[p]`; both outlive the tables.
  CallTables(std::span<const TxProgram> programs, std::span<const CallSchemas> schemas);

  // The calls CallFinder found in transaction `index`; one that could not be
  // read (tx.problem) is a row of the errors table.
  void add(std::int64_t index, const tx::TxView& tx, const tx::WalkResult& walk,
           std::span<const tx::FoundCall> calls);


  struct Output {
    std::vector<std::vector<std::shared_ptr<const arrow::Table>>> calls;  // per program, per instruction
    // Context, then `program`, `instruction` (null if unknown) and `message`;
    // a transaction that cannot be read has no instruction or program.
    std::shared_ptr<const arrow::Table> errors;
  };
  Output finish();

 private:
  void add_problem(std::int64_t index, const tx::TxView& tx);
  struct Row;
  void append_context(arrow::ColumnBuilder* columns, const Row& row, const tx::FoundCall& call);
  // `error`: the walk's when the arguments did not decode (it gives the path),
  // else why the call could not be read.
  void add_error(const Row& row, const tx::FoundCall& call, const Error& error);
  bool check_keys(const tx::TxView& tx, const tx::FoundCall& call) const;

  std::span<const TxProgram> programs_;
  std::span<const CallSchemas> schemas_;
  const std::vector<arrow::Field> context_;
  const std::vector<arrow::Field> remaining_;
  std::vector<std::vector<std::unique_ptr<EventTableBuilder>>> tables_;  // made with an instruction's first row
  PlainTable errors_;
  std::vector<std::vector<arrow::Field>> row_context_;  // per program and instruction: context and accounts
};

}  // namespace brisquel
