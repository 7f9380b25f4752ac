#include "core/tx/call_tables.hpp"

#include <algorithm>
#include <cstring>
#include <format>

#include "codec/base58.hpp"

namespace brisquel {
namespace {

using arrow::TypeId;

arrow::Field pubkey_column(std::string name, bool nullable, const TableOptions& options) {
  if (options.binary_pubkeys) return column(std::move(name), arrow::fixed_size_binary(32), nullable);
  arrow::Field f = column(std::move(name), arrow::primitive(TypeId::Utf8), nullable);
  f.metadata.emplace_back(kEncodingKey, kBase58Encoding);
  return f;
}

// A transaction that cannot be read is a row too, with no instruction or program.
std::vector<arrow::Field> error_fields(const TableOptions& options) {
  std::vector<arrow::Field> fields = call_context(options);
  fields[4].nullable = true;  // `_instruction`
  fields.push_back(column("program", arrow::primitive(TypeId::Utf8), true));
  fields.push_back(column("instruction", arrow::primitive(TypeId::Utf8), true));
  add_error_columns(fields);
  return fields;
}

std::optional<std::int32_t> as_int(const std::optional<std::uint32_t>& v) {
  if (!v) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

// The 32 bytes of a base58 public key, or false.
bool key_bytes(std::string_view text, std::uint8_t (&out)[32]) {
  if (text.size() > 44) return false;
  std::uint8_t buffer[64];
  const auto size = codec::decode_base58(text, buffer);
  if (!size || *size != 32) return false;
  std::memcpy(out, buffer, 32);
  return true;
}

// A key checked beforehand (check_keys), or null for an empty one.
void append_key(arrow::ColumnBuilder& c, std::string_view key, const TableOptions& options) {
  if (key.empty()) return c.append_null();
  if (!options.binary_pubkeys) {
    c.append_binary(key);
    return;
  }
  std::uint8_t bytes[32];
  key_bytes(key, bytes);
  c.append_fixed<32>(bytes);
}

}  // namespace

std::vector<arrow::Field> call_context(const TableOptions& options) {
  return {
      column("_tx", arrow::primitive(TypeId::Int64), false),
      column("_signature", arrow::primitive(TypeId::Utf8), true),
      column("_slot", arrow::primitive(TypeId::UInt64), true),
      column("_block_time", arrow::primitive(TypeId::Int64), true),
      column("_instruction", arrow::primitive(TypeId::Int32), false),
      column("_inner", arrow::primitive(TypeId::Int32), true),
      column("_depth", arrow::primitive(TypeId::Int32), true),
      column("_truncated", arrow::primitive(TypeId::Bool), false),
      pubkey_column("_fee_payer", true, options),
      column("_failed", arrow::primitive(TypeId::Bool), false),
      column("_error_code", arrow::primitive(TypeId::UInt32), true),
      column("_error_name", arrow::primitive(TypeId::Utf8), true),
      column("_error_message", arrow::primitive(TypeId::Utf8), true),
  };
}

CallSchemas CallSchemas::make(const CompiledIdl& idl, const TableOptions& options) {
  CallSchemas out;
  out.options = options;
  UniqueNames keys;
  for (const InstructionLayout& layout : idl.instructions()) {
    EventSchema& args = out.args.emplace_back(body_schema(layout.name, layout.args, options));
    for (arrow::Field& f : args.fields.type.children) f.name = "arg_" + f.name;
    // A path the IDL lists again gets a column of its own: "account_x#2".
    auto& accounts = out.accounts.emplace_back();
    UniqueNames names;
    for (const InstructionAccount& a : layout.accounts) {
      accounts.push_back(pubkey_column(names.add("account_" + a.name), true, options));
    }
    out.keys.push_back(keys.add(layout.name));
  }
  return out;
}

std::vector<arrow::Field> call_table_fields(const CallSchemas& schemas, std::size_t instruction) {
  std::vector<arrow::Field> fields = call_context(schemas.options);
  const auto& accounts = schemas.accounts[instruction];
  const auto& args = schemas.args[instruction].fields.type.children;
  fields.insert(fields.end(), accounts.begin(), accounts.end());
  fields.insert(fields.end(), args.begin(), args.end());
  fields.push_back(column(std::string(kRemainingColumn), arrow::list_of(pubkey_column("item", false, schemas.options)),
                          false));
  return fields;
}

struct CallTables::Row {  // what every call of a transaction shares
  std::int64_t tx;
  const tx::TxView& view;
  bool truncated;
};

CallTables::CallTables(std::span<const TxProgram> programs, std::span<const CallSchemas> schemas)
    : programs_(programs),
      schemas_(schemas),
      context_(call_context(schemas.empty() ? TableOptions{} : schemas[0].options)),
      remaining_{column(std::string(kRemainingColumn),
                        arrow::list_of(pubkey_column("item", false, schemas.empty() ? TableOptions{}
                                                                                     : schemas[0].options)),
                        false)},
      errors_(error_fields(schemas.empty() ? TableOptions{} : schemas[0].options)) {
  tables_.resize(programs.size());
  for (std::size_t p = 0; p < programs.size(); ++p) tables_[p].resize(schemas[p].args.size());
}

void CallTables::append_context(arrow::ColumnBuilder* c, const Row& row, const tx::FoundCall& call) {
  const TableOptions& options = schemas_[call.program].options;
  append_tx_place(c, row.tx, row.view);
  c[4].append(static_cast<std::int32_t>(call.instruction));
  append_optional(c[5], as_int(call.inner));
  append_optional(c[6], as_int(call.depth));
  c[7].append_bool(row.truncated);
  append_key(c[8], row.view.fee_payer(), options);
  c[9].append_bool(call.failed);
  const tx::CallError* e = call.error;
  append_optional(c[10], e != nullptr ? e->code : std::nullopt);
  if (e == nullptr || e->name.empty()) c[11].append_null();
  else c[11].append_binary(e->name);
  const std::string_view message = e == nullptr ? std::string_view{} : e->message ? *e->message : e->text;
  if (message.empty()) c[12].append_null();
  else c[12].append_binary(message);
}

void CallTables::add_error(const Row& row, const tx::FoundCall& call, const Error& error) {
  append_context(&errors_.column(0), row, call);
  const std::size_t at = context_.size();
  errors_.column(at).append_binary(programs_[call.program].address);
  if (call.layout == nullptr) {
    errors_.column(at + 1).append_null();
  } else {
    const auto i = static_cast<std::size_t>(call.layout - programs_[call.program].idl->instructions().data());
    errors_.column(at + 1).append_binary(schemas_[call.program].keys[i]);
  }
  append_error(&errors_.column(at + 2), error);
  errors_.end_row();
}

// Binary public keys need base58 text that is a key; text columns take the
// node's text as it is.
bool CallTables::check_keys(const tx::TxView& tx, const tx::FoundCall& call) const {
  if (!schemas_[call.program].options.binary_pubkeys) return true;
  std::uint8_t bytes[32];
  auto ok = [&](std::string_view key) { return key.empty() || key_bytes(key, bytes); };
  return ok(tx.fee_payer()) && std::ranges::all_of(call.named, ok) && std::ranges::all_of(call.remaining, ok);
}

void CallTables::add_problem(std::int64_t index, const tx::TxView& tx) {
  arrow::ColumnBuilder* c = &errors_.column(0);
  append_tx_place(c, index, tx);
  for (std::size_t i = 4; i < 7; ++i) c[i].append_null();
  c[7].append_bool(false);
  c[8].append_null();
  c[9].append_bool(tx.failed);
  for (std::size_t i = 10; i < 13; ++i) c[i].append_null();
  c[13].append_null();
  c[14].append_null();
  append_error(&c[15], tx.problem);
  errors_.end_row();
}

void CallTables::add(std::int64_t index, const tx::TxView& tx, const tx::WalkResult& walk,
                     std::span<const tx::FoundCall> calls) {
  if (tx.problem) return add_problem(index, tx);
  const Row row{index, tx, walk.truncated};
  for (const tx::FoundCall& call : calls) {
    if (call.problem != tx::CallProblem::None) {
      add_error(row, call, Error(call.problem, tx::describe_problem(call)));
      continue;
    }
    if (!check_keys(tx, call)) {
      add_error(row, call, Error(Error::Kind::NotAPublicKey, std::string("an account key is not a base58 public key")));
      continue;
    }
    const TxProgram& program = programs_[call.program];
    const CallSchemas& schemas = schemas_[call.program];
    const auto i = static_cast<std::size_t>(call.layout - program.idl->instructions().data());
    auto& table = tables_[call.program][i];
    if (!table) {
      std::vector<arrow::Field> context = context_;
      context.insert(context.end(), schemas.accounts[i].begin(), schemas.accounts[i].end());
      table = std::make_unique<EventTableBuilder>(schemas.args[i], context, schemas.options, remaining_);
    }
    if (!table->add(call.args)) {
      add_error(row, call, table->error());
      continue;
    }
    append_context(&table->context(0), row, call);
    std::size_t key_bytes = 0;
    for (std::size_t a = 0; a < call.named.size(); ++a) {
      append_key(table->context(context_.size() + a), call.named[a], schemas.options);
      key_bytes += call.named[a].size();
    }
    arrow::ColumnBuilder& remaining = table->trailing(0);
    for (std::string_view key : call.remaining) {
      append_key(remaining.begin_list(), key, schemas.options);
      key_bytes += key.size();
    }
    // Batches close on rows and bytes well before a list or text passes its
    // 32-bit offsets: no append above can fail.
    remaining.end_list();
    table->commit(call.args.size() + key_bytes + tx.signature.size());
  }
}

CallTables::Output CallTables::finish() {
  Output out;
  out.calls.resize(programs_.size());
  for (std::size_t p = 0; p < programs_.size(); ++p) {
    const CallSchemas& schemas = schemas_[p];
    for (std::size_t i = 0; i < tables_[p].size(); ++i) {
      if (tables_[p][i]) {
        out.calls[p].push_back(tables_[p][i]->finish());
        continue;
      }
      std::vector<arrow::Field> context = context_;
      context.insert(context.end(), schemas.accounts[i].begin(), schemas.accounts[i].end());
      out.calls[p].push_back(empty_table(context, schemas.args[i], remaining_));
    }
  }
  out.errors = errors_.finish();
  return out;
}

}  // namespace brisquel
