#include "core/tx/summary_tables.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "codec/base58.hpp"
#include "core/fault.hpp"

namespace brisquel {
namespace {

using arrow::TypeId;

// The compute-budget program's instruction tags.
constexpr std::uint8_t kSetComputeUnitLimit = 2;
constexpr std::uint8_t kSetComputeUnitPrice = 3;
// Its instructions are a tag and at most 8 bytes: longer data is not one of them.
constexpr std::size_t kMaxBudgetData = 9;
constexpr std::size_t kMaxBudgetText = 16;  // base58 of kMaxBudgetData bytes, with room

constexpr std::string_view kLogTruncated = "Log truncated";

std::vector<arrow::Field> place_fields() {
  return {
      column("_tx", arrow::primitive(TypeId::Int64), false),
      column("signature", arrow::primitive(TypeId::Utf8), true),
      column("slot", arrow::primitive(TypeId::UInt64), true),
      column("block_time", arrow::primitive(TypeId::Int64), true),
  };
}

// The bytes of an instruction's data, when it is short enough to be a budget instruction.
std::optional<std::size_t> budget_data(const tx::InstructionData& data, std::array<std::uint8_t, kMaxBudgetText>& out) {
  if (data.raw) {
    if (data.bytes.size() > kMaxBudgetData) return std::nullopt;
    std::memcpy(out.data(), data.bytes.data(), data.bytes.size());
    return data.bytes.size();
  }
  if (data.text.size() > kMaxBudgetText) return std::nullopt;
  return codec::decode_base58(data.text, out.data());
}

template <class T>
T little_endian(const std::uint8_t* bytes) {
  T v = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | bytes[i]);
  return v;
}

}  // namespace

std::uint64_t priority_fee(std::uint64_t price, std::uint32_t limit) {
  const unsigned __int128 micro = static_cast<unsigned __int128>(price) * limit;
  const unsigned __int128 fee = (micro + 999'999) / 1'000'000;
  return fee > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(fee);
}

ComputeBudget compute_budget(const tx::TxView& tx) {
  ComputeBudget out;
  if (tx.version == 1) {  // version 1 ignores compute-budget instructions
    out.limit = tx.config.compute_unit_limit;
    out.priority_fee = tx.config.priority_fee.value_or(0);
    return out;
  }
  std::array<std::uint8_t, kMaxBudgetText> bytes{};
  for (std::size_t i = 0; i < tx.outer.size() && i < tx.outer_programs.size(); ++i) {
    if (tx.outer_programs[i] != kComputeBudgetProgram) continue;
    const auto size = budget_data(tx.outer[i].data, bytes);
    if (!size || *size == 0) continue;
    // The runtime refuses a transaction that repeats one: the first one is what it read.
    if (bytes[0] == kSetComputeUnitLimit && *size == 5 && !out.limit) {
      out.limit = little_endian<std::uint32_t>(bytes.data() + 1);
    } else if (bytes[0] == kSetComputeUnitPrice && *size == 9 && !out.price) {
      out.price = little_endian<std::uint64_t>(bytes.data() + 1);
    }
  }
  if (!out.price) out.priority_fee = 0;
  else if (out.limit) out.priority_fee = priority_fee(*out.price, *out.limit);
  return out;
}

std::vector<arrow::Field> SummaryTables::transaction_fields() {
  std::vector<arrow::Field> fields = place_fields();
  auto add = [&](const char* name, arrow::DataType type, bool nullable = true) {
    fields.push_back(column(name, std::move(type), nullable));
  };
  add("position", arrow::primitive(TypeId::UInt32));
  add("fee", arrow::primitive(TypeId::UInt64));
  add("error", arrow::primitive(TypeId::Utf8));
  add("compute_units_consumed", arrow::primitive(TypeId::UInt64));
  add("compute_unit_limit", arrow::primitive(TypeId::UInt32));
  add("compute_unit_price", arrow::primitive(TypeId::UInt64));
  add("priority_fee", arrow::primitive(TypeId::UInt64));
  add("fee_payer", arrow::primitive(TypeId::Utf8));
  add("version", arrow::dictionary_of({"legacy", "0", "1"}, TypeId::Int8));
  add("programs", arrow::list_of(column("item", arrow::primitive(TypeId::Utf8), false)), false);
  add("logs_truncated", arrow::primitive(TypeId::Bool), false);
  add("problem", arrow::primitive(TypeId::Utf8));
  return fields;
}

std::vector<arrow::Field> SummaryTables::balance_fields() {
  std::vector<arrow::Field> fields = place_fields();
  fields.push_back(column("account", arrow::primitive(TypeId::Utf8), true));
  fields.push_back(column("account_index", arrow::primitive(TypeId::UInt32), false));
  fields.push_back(column("mint", arrow::primitive(TypeId::Utf8), true));
  fields.push_back(column("owner", arrow::primitive(TypeId::Utf8), true));
  fields.push_back(column("token_program", arrow::primitive(TypeId::Utf8), true));
  fields.push_back(column("pre", arrow::primitive(TypeId::UInt64), true));
  fields.push_back(column("post", arrow::primitive(TypeId::UInt64), true));
  fields.push_back(column("decimals", arrow::primitive(TypeId::UInt8), true));
  return fields;
}

SummaryTables::SummaryTables() : transactions_(transaction_fields()), balances_(balance_fields()) {}

namespace {

void append_text(arrow::ColumnBuilder& c, std::string_view text) {
  if (text.empty()) return c.append_null();
  if (!c.append_binary(text)) throw Fault("a text past the column's 32-bit offsets");
}

void append_place(arrow::ColumnBuilder* c, std::int64_t index, const tx::TxView& tx) {
  c[0].append(index);
  append_text(c[1], tx.signature);
  append_optional(c[2], tx.slot);
  append_optional(c[3], tx.block_time);
}

}  // namespace

void SummaryTables::add(std::int64_t index, const tx::TxView& tx) {
  const tx::TxSummary& s = tx.summary;
  arrow::ColumnBuilder* c = &transactions_.column(0);
  append_place(c, index, tx);
  append_optional(c[4], tx.position);
  append_optional(c[5], s.fee);
  append_text(c[6], s.error);
  append_optional(c[7], s.compute_units_consumed);
  const bool readable = !tx.problem;
  const ComputeBudget budget = readable ? compute_budget(tx) : ComputeBudget{};
  append_optional(c[8], budget.limit);
  append_optional(c[9], budget.price);
  append_optional(c[10], budget.priority_fee);
  append_text(c[11], tx.fee_payer());
  if (!readable && !tx.version) c[12].append_null();
  else if (!c[12].append_index(tx.version ? *tx.version + 1 : 0)) throw Fault("a version outside its dictionary");

  // Invoked programs, each once, in the order they were first invoked.
  arrow::ColumnBuilder& programs = c[13].begin_list();
  seen_.clear();
  auto add_program = [&](std::string_view program) {
    if (!program.empty() && seen_.insert(program).second) append_text(programs, program);
  };
  if (readable) {
    for (std::size_t i = 0; i < tx.outer_programs.size(); ++i) {
      add_program(tx.outer_programs[i]);
      for (const tx::InnerGroup& group : tx.inner) {
        if (group.index != i) continue;
        for (const tx::InnerInstruction& inner : group.instructions) add_program(inner.program);
      }
    }
  }
  if (!c[13].end_list()) throw Fault("a list past the column's 32-bit offsets");
  c[14].append_bool(std::ranges::find(tx.logs, kLogTruncated) != tx.logs.end());
  append_text(c[15], tx.problem.text);
  transactions_.end_row();

  add_balances(index, tx);
  add_token_balances(index, tx);
}

void SummaryTables::begin_balance(std::int64_t index, const tx::TxView& tx, std::uint32_t account) {
  arrow::ColumnBuilder* c = &balances_.column(0);
  append_place(c, index, tx);
  append_text(c[4], account < tx.account_keys.size() ? tx.account_keys[account] : std::string_view{});
  c[5].append(account);
}

// SOL: one row per account whose lamports changed (a balance the node lists
// on one side only counts as changed).
void SummaryTables::add_balances(std::int64_t index, const tx::TxView& tx) {
  const auto& pre = tx.summary.pre_balances;
  const auto& post = tx.summary.post_balances;
  const std::size_t n = std::max(pre.size(), post.size());
  for (std::size_t i = 0; i < n; ++i) {
    const std::optional<std::uint64_t> before = i < pre.size() ? std::optional(pre[i]) : std::nullopt;
    const std::optional<std::uint64_t> after = i < post.size() ? std::optional(post[i]) : std::nullopt;
    if (before == after) continue;
    begin_balance(index, tx, static_cast<std::uint32_t>(i));
    arrow::ColumnBuilder* c = &balances_.column(0);
    c[6].append_null();
    c[7].append_null();
    c[8].append_null();
    append_optional(c[9], before);
    append_optional(c[10], after);
    c[11].append(std::uint8_t{9});
    balances_.end_row();
  }
}

// Tokens: one row per token account whose amount changed, opened (no pre
// entry) or closed (no post entry), in account order.
void SummaryTables::add_token_balances(std::int64_t index, const tx::TxView& tx) {
  auto sorted = [](const std::vector<tx::TokenBalance>& list, std::vector<const tx::TokenBalance*>& out) {
    out.clear();
    for (const tx::TokenBalance& b : list) out.push_back(&b);
    std::ranges::stable_sort(out, {}, &tx::TokenBalance::account_index);
  };
  sorted(tx.summary.pre_tokens, pre_);
  sorted(tx.summary.post_tokens, post_);
  std::size_t i = 0, j = 0;
  while (i < pre_.size() || j < post_.size()) {
    const tx::TokenBalance* before = i < pre_.size() ? pre_[i] : nullptr;
    const tx::TokenBalance* after = j < post_.size() ? post_[j] : nullptr;
    if (before && after && before->account_index != after->account_index) {
      if (before->account_index < after->account_index) after = nullptr;
      else before = nullptr;
    }
    if (before) ++i;
    if (after) ++j;
    const std::optional<std::uint64_t> from = before ? before->amount : std::nullopt;
    const std::optional<std::uint64_t> to = after ? after->amount : std::nullopt;
    if (before && after && from == to) continue;
    const tx::TokenBalance& known = after ? *after : *before;
    begin_balance(index, tx, known.account_index);
    arrow::ColumnBuilder* c = &balances_.column(0);
    append_text(c[6], known.mint);
    append_text(c[7], known.owner);
    append_text(c[8], known.program);
    append_optional(c[9], from);
    append_optional(c[10], to);
    append_optional(c[11], known.decimals);
    balances_.end_row();
  }
}

SummaryTables::Output SummaryTables::finish() { return {transactions_.finish(), balances_.finish()}; }

}  // namespace brisquel
