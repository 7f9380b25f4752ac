// The two tables that need no IDL: one row per transaction (`transactions`:
// what it cost, whether it failed, what it asked of the compute budget, which
// programs it invoked) and one per balance it changed (`balances`: SOL and
// tokens), from transactions read with ReadScope::kSummary.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/event_tables.hpp"
#include "core/tx/tx_view.hpp"

namespace brisquel {

inline constexpr std::string_view kComputeBudgetProgram = "ComputeBudget111111111111111111111111111111";

// What a transaction asks of the compute budget, each value only where it
// says so: a version 1 config, else the first SetComputeUnitLimit and
// SetComputeUnitPrice instructions of the compute-budget program.
struct ComputeBudget {
  std::optional<std::uint32_t> limit;
  std::optional<std::uint64_t> price;         // micro-lamports per compute unit (legacy and version 0)
  std::optional<std::uint64_t> priority_fee;  // lamports: 0 without a price; unknown with a price but no limit
};
ComputeBudget compute_budget(const tx::TxView& tx);

// ceil(price * limit / 1,000,000), as the runtime charges it.
std::uint64_t priority_fee(std::uint64_t micro_lamports_per_unit, std::uint32_t limit);

class SummaryTables {
 public:
  SummaryTables();

  // Every transaction has a row, failed or not; one that could not be read
  // has what its meta says and its problem.
  void add(std::int64_t index, const tx::TxView& tx);

  struct Output {
    std::shared_ptr<const arrow::Table> transactions;
    std::shared_ptr<const arrow::Table> balances;
  };
  Output finish();

  static std::vector<arrow::Field> transaction_fields();
  static std::vector<arrow::Field> balance_fields();

 private:
  void add_balances(std::int64_t index, const tx::TxView& tx);
  void add_token_balances(std::int64_t index, const tx::TxView& tx);
  void begin_balance(std::int64_t index, const tx::TxView& tx, std::uint32_t account);

  PlainTable transactions_;
  PlainTable balances_;
  std::unordered_set<std::string_view> seen_;  // programs already listed for this transaction
  std::vector<const tx::TokenBalance*> pre_, post_;
};

}  // namespace brisquel
