#include "core/acct/account_tables.hpp"

#include <algorithm>
#include <limits>

namespace brisquel::acct {
namespace {

using arrow::TypeId;

std::vector<arrow::Field> error_fields() {
  std::vector<arrow::Field> fields = account_context();
  fields.push_back(column("program", arrow::primitive(TypeId::Utf8), false));
  fields.push_back(column("account", arrow::primitive(TypeId::Utf8), true));
  add_error_columns(fields);
  return fields;
}

}  // namespace

std::vector<arrow::Field> account_context() {
  return {
      column("_pubkey", arrow::primitive(TypeId::Utf8), true),
      column("_owner", arrow::primitive(TypeId::Utf8), false),
      column("_lamports", arrow::primitive(TypeId::UInt64), true),
      column("_slot", arrow::primitive(TypeId::UInt64), true),
      column("_data_len", arrow::primitive(TypeId::UInt32), false),
  };
}

Result<AccountSchemas> AccountSchemas::make(const CompiledIdl& idl, const TableOptions& options) {
  AccountSchemas out;
  out.options = options;
  UniqueNames keys;
  for (const AccountLayout& layout : idl.accounts()) {
    auto added = add_schema(body_schema(layout.name, *layout.fields, options), "account", kAccountContextNames,
                            out.accounts, out.keys, keys);
    if (!added) return fail(std::move(added.error()));
  }
  return out;
}

AccountTables::AccountTables(const AccountPrograms& programs, std::span<const AccountSchemas> schemas)
    : programs_(programs), schemas_(schemas), context_(account_context()), errors_(error_fields()) {
  tables_.resize(schemas.size());
  for (std::size_t p = 0; p < schemas.size(); ++p) tables_[p].resize(schemas[p].accounts.size());
}

void AccountTables::append_context(arrow::ColumnBuilder* c, const AccountView& account) {
  if (account.pubkey.empty()) c[0].append_null();
  else c[0].append_binary(account.pubkey);
  c[1].append_binary(account.owner);
  if (account.lamports) c[2].append(*account.lamports);
  else c[2].append_null();
  if (account.slot) c[3].append(*account.slot);
  else c[3].append_null();
  // Data is at most the reader's bound (10 MiB); rows from other sources say
  // more than 32 bits can only by mistake, and then read as the largest length.
  const std::size_t size = account.data.size();
  c[4].append(static_cast<std::uint32_t>(std::min<std::size_t>(size, std::numeric_limits<std::uint32_t>::max())));
}

void AccountTables::error_row(const AccountView& account, std::uint32_t program, std::string_view account_type,
                              const Error& error) {
  append_context(&errors_.column(0), account);
  const std::size_t at = context_.size();
  errors_.column(at).append_binary(programs_.programs()[program].address);
  if (account_type.empty()) errors_.column(at + 1).append_null();
  else errors_.column(at + 1).append_binary(account_type);
  append_error(&errors_.column(at + 2), error);
  errors_.end_row();
}

void AccountTables::add(const AccountView& account) {
  AccountMatch match;
  const AccountOutcome outcome = programs_.classify(account, match);
  if (outcome == AccountOutcome::kUnreadable) error_row(account, match.program, {}, Error(Error::Kind::Unreadable, std::string(account.data_error)));
  if (outcome != AccountOutcome::kMatched) {
    tally_.note(outcome, account);
    return;
  }
  const AccountSchemas& schemas = schemas_[match.program];
  const auto type = static_cast<std::size_t>(match.layout - programs_.programs()[match.program].idl->accounts().data());
  const Error* error = &match.layout->unusable;
  if (!*error) {
    auto& table = tables_[match.program][type];
    if (!table) table = std::make_unique<EventTableBuilder>(schemas.accounts[type], context_, schemas.options);
    if (table->add(match.body)) {
      append_context(&table->context(0), account);
      table->commit(match.body.size());
      ++tally_.counts.decoded;
      return;
    }
    error = &table->error();
  }
  ++tally_.counts.failed;
  error_row(account, match.program, schemas.keys[type], *error);
}

AccountTables::Output AccountTables::finish() {
  Output out;
  out.accounts.resize(schemas_.size());
  for (std::size_t p = 0; p < schemas_.size(); ++p) {
    for (std::size_t i = 0; i < tables_[p].size(); ++i) {
      out.accounts[p].push_back(tables_[p][i] ? tables_[p][i]->finish()
                                              : empty_table(context_, schemas_[p].accounts[i]));
    }
  }
  out.errors = errors_.finish();
  out.counts = tally_.counts;
  out.other_owners = tally_.other_owners();
  return out;
}

}  // namespace brisquel::acct
