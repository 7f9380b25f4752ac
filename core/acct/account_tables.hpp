// Accounts into Arrow tables: one table per (program, account type), its rows
// led by where the account lives, and one more table of the accounts that
// matched a type but did not decode (and of our programs' accounts whose data
// did not decode). Everything else is counted.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/acct/account_decoding.hpp"
#include "core/event_tables.hpp"

namespace brisquel::acct {

// The context columns, which no field may take: `_pubkey` (base58, null when
// the input does not say), `_owner`, `_lamports` (null when unknown), `_slot`
// (null when unknown) and `_data_len`.
inline constexpr std::string_view kAccountContextNames[] = {"_pubkey", "_owner", "_lamports", "_slot", "_data_len"};
std::vector<arrow::Field> account_context();

// The Arrow form of every account of one program, made once per decoder.
struct AccountSchemas {
  TableOptions options;
  std::vector<EventSchema> accounts;  // as CompiledIdl::accounts()
  std::vector<std::string> keys;      // "Name", or "Name#2" for a name declared again

  // The error names an account field that takes a context column's name.
  static Result<AccountSchemas> make(const CompiledIdl& idl, const TableOptions& options);
};

class AccountTables {
 public:
  // `schemas`: one per program of `programs`, in the same order; both outlive the tables.
  AccountTables(const AccountPrograms& programs, std::span<const AccountSchemas> schemas);

  void add(const AccountView& account);

  struct Output {
    std::vector<std::vector<std::shared_ptr<const arrow::Table>>> accounts;  // per program, per account type
    std::shared_ptr<const arrow::Table> errors;
    AccountCounts counts;
    // As AccountTally::other_owners.
    std::vector<std::pair<std::string, std::uint64_t>> other_owners;
  };
  Output finish();

 private:
  void append_context(arrow::ColumnBuilder* columns, const AccountView& account);
  // `error`: the walk's when the body did not decode (it gives the path),
  // else why the account could not be read or decoded.
  void error_row(const AccountView& account, std::uint32_t program, std::string_view account_type,
                 const Error& error);

  const AccountPrograms& programs_;
  std::span<const AccountSchemas> schemas_;
  const std::vector<arrow::Field> context_;
  std::vector<std::vector<std::unique_ptr<EventTableBuilder>>> tables_;  // made with a type's first row
  PlainTable errors_;
  AccountTally tally_;
};

}  // namespace brisquel::acct
