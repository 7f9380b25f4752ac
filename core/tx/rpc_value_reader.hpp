// The shapes of RPC JSON values, read with simdjson On-Demand into one reused
// TxView per transaction. Private to the RPC JSON reader (rpc_json.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <simdjson.h>

#include "codec/base58.hpp"
#include "core/json/text_scan.hpp"
#include "core/json/value_reads.hpp"
#include "core/tx/rpc_json.hpp"
#include "core/tx/tx_view.hpp"
#include "core/tx/wire.hpp"

namespace brisquel::tx {

namespace od = simdjson::ondemand;
using json::utf8_prefix;

class RpcValueReader : public json::ValueReads {
 public:
  RpcValueReader(const RpcJsonLimits& limits, ReadScope scope)
      : ValueReads(limits), calls_(scope >= ReadScope::kCalls), summary_(scope == ReadScope::kSummary) {}

  // Reads one top-level value and hands each transaction in it to `visit`,
  // counting them in `visited`. False when it failed (failure()) or the visitor
  // asked to stop (stopped()).
  bool read(od::value root, const TxVisitor& visit, std::size_t& visited);

  bool stopped() const { return stopped_; }
  // Whether the views of the value read next may be handed over after it
  // (see json::RootReader::read): then its transactions are kept back and
  // handed over a few at a time, so that reading and visiting each run over
  // several transactions while their code is in the cache.
  void set_lasting(bool lasting) { lasting_ = lasting; }
  // Hands over the transactions kept back, in order; false when the visitor
  // asked to stop (the rest are dropped).
  bool hand_over_kept(std::size_t& visited);
  // Forgets any kept back (a read that ended before handing them over).
  void drop_kept() { kept_ = 0; }
  // The slot of the blocks read that do not say theirs (getBlock results do not).
  void set_block_slot(std::optional<std::uint64_t> slot) { block_slot_ = slot; }
  // Log-line strings and bare metas too (see RpcJsonReader::accept_log_lines).
  void accept_log_lines() { log_lines_ = true; }
  bool log_lines() const { return log_lines_; }

 private:
  // What an object may be, from where it was found.
  enum class Level : std::uint8_t { kAny, kResult, kBlockEntry };
  // One transaction's view and the text its views point to besides the JSON.
  struct TxSlot {
    TxView view;
    char signature_text[codec::base58_encoded_capacity(kSignatureBytes)];
    std::vector<codec::Base58Buffer> key_text;  // base58 of wire-format static keys
    std::vector<std::uint8_t> wire_bytes;       // the decoded wire format, which instruction data points into
    // meta.err copied and read again for TxError (summary only), by a parser
    // of its own: the error's views point into them until the slot is reused.
    std::string error_copy;
    std::unique_ptr<od::parser> error_parser;
    // Inner instruction lists of earlier transactions, for the next groups:
    // kept per slot, as the slot reads much the same transactions each time.
    std::vector<std::vector<InnerInstruction>> spare_groups;
  };
  // A program named by index, resolved once the whole transaction (keys and
  // loaded addresses, in any order) has been read.
  static constexpr std::uint32_t kNamed = UINT32_MAX;
  struct PendingInner {
    std::uint32_t group, item, key;
  };
  // An instruction account as read: a key index, or (jsonParsed) the address itself.
  struct PendingAccount {
    std::string_view named;
    std::uint32_t index = AccountRef::kNamed;
  };

  // A transaction object's `version`, as read: null or absent is legacy;
  // `unknown` names a version this reader does not know.
  struct JsonVersion {
    std::optional<std::uint8_t> value;
    std::string unknown;
  };

  bool read_object(od::object object, Level level, std::size_t slot);
  bool read_version(od::value& value, JsonVersion& out);
  bool read_config(od::value& value);
  // Marks the transaction as one that cannot be read (the first reason
  // stays); reading goes on with the next transaction.
  [[gnu::cold]] bool set_problem(std::string text);
  bool read_block_entries(od::value value, std::size_t first, std::size_t& count);
  bool read_result(od::value value);

  void use_slot(std::size_t slot);
  void begin_transaction(std::size_t slot);
  void clear_transaction();
  void clear_meta();
  bool read_transaction(od::value value);
  bool read_json_transaction(od::object transaction);
  bool read_message(od::object message);
  bool read_account_keys(od::array keys);
  bool read_outer_instruction(od::object instruction);
  bool read_wire_transaction(od::array encoded);
  bool read_meta(od::value value);
  bool read_log_messages(od::value& value, std::string_view field, std::string_view item);
  bool read_logs(od::array logs, std::string_view item_field);
  bool read_log_lines(od::value& value, od::json_type type);
  bool read_inner_groups(od::array groups);
  bool read_inner_instruction(od::object instruction, std::uint32_t group);
  bool read_string_list(od::value value, std::string_view field, std::vector<std::string_view>& out);
  // An array that may be null (no items): each item to item(value).
  template <class Item>
  bool read_nullable_array(od::value& value, std::string_view field, Item&& item) {
    od::json_type type;
    if (auto e = value.type().get(type)) return json_error(e);
    if (type == od::json_type::null) return true;
    od::array items;
    if (!expect_array(value, field, items)) return false;
    return json::each(items, [&](auto e) { return json_error(e); }, item);
  }
  // Instruction accounts and meta.err, read for calls only (rpc_call_fields.cpp).
  bool read_accounts(od::value& value, std::string_view field, std::vector<PendingAccount>& out, AccountSpan& span);
  bool read_data(od::value& value, std::string_view field, InstructionData& out);
  bool read_error(od::value& value);
  bool read_instruction_error(od::array detail);
  // The meta fields of the summary (tx_summary_fields.cpp).
  bool read_summary_field(std::string_view key, od::value& value);
  bool read_error_summary(od::value& value);
  bool read_balances(od::value& value, std::string_view field, std::vector<std::uint64_t>& out);
  bool read_token_balances(od::value& value, std::string_view field, std::vector<TokenBalance>& out);
  bool read_token_balance(od::object entry, TokenBalance& out);
  void resolve_calls();
  bool finish_transaction(std::optional<std::uint64_t> slot, std::optional<std::int64_t> block_time,
                          const JsonVersion& version, bool in_block);
  bool hand_over(TxView& view);
  bool can_keep_back() const;
  bool keep_back();
  const std::string_view* program_key(std::uint32_t index);

  // Called for every item of a transaction's lists: the check is inline, the failure is not.
  bool count_item(std::size_t count, std::string_view what) {
    return count < limits_.max_items || too_many(what);
  }
  [[gnu::cold]] bool too_many(std::string_view what);

  const bool calls_;    // also read what instruction calls need
  const bool summary_;  // also read the meta's summary (fee, compute units, balances)
  const TxVisitor* visit_ = nullptr;
  std::size_t* visited_ = nullptr;
  bool stopped_ = false;
  bool log_lines_ = false;
  bool lasting_ = false;
  // Transactions read and not handed over yet: slots_[0, kept_).
  static constexpr std::size_t kMaxKept = 8;
  std::size_t kept_ = 0;
  std::optional<std::uint64_t> block_slot_;

  // The transaction being read; all of it reused from one transaction to the
  // next. A block's transactions each have a slot, handed over once the whole
  // block (whose blockTime nodes write after the transactions) has been read;
  // so does each transaction kept back, below the slots being read.
  std::vector<std::unique_ptr<TxSlot>> slots_;
  TxSlot* tx_ = nullptr;
  TxView* view_ = nullptr;
  std::vector<std::uint32_t> outer_keys_;  // per outer instruction: key index, or kNamed
  std::vector<PendingInner> inner_keys_;
  std::size_t inner_count_ = 0;
  std::vector<std::string_view> static_keys_;
  std::vector<std::string_view> loaded_writable_;
  std::vector<std::string_view> loaded_readonly_;
  bool keys_include_loaded_ = false;  // jsonParsed lists loaded addresses among the account keys
  bool from_wire_ = false;
  TxConfig json_config_;  // message.transactionConfig (version 1 in JSON)
  WireTransaction wire_;
  std::vector<std::string_view> wire_keys_;  // base58 of the static keys, encoded when first named
  // Instruction accounts until the keys are all known: the outer
  // instructions' and the inner ones' (read with the transaction and with
  // its meta, which either may repeat).
  std::vector<PendingAccount> outer_accounts_;
  std::vector<PendingAccount> inner_accounts_;
};

}  // namespace brisquel::tx
