// The shapes around transactions: top-level values, arrays, blocks, JSON-RPC
// responses.
#include "core/tx/rpc_value_reader.hpp"

#include <cstring>
#include <format>
#include <utility>

#include "core/json/text_scan.hpp"

namespace brisquel::tx {

bool RpcValueReader::too_many(std::string_view what) {
  return fail(Error::Kind::TooLarge, std::format("more than {} {} in one transaction", limits_.max_items, what));
}

// ---- the value shapes ----

bool RpcValueReader::read(od::value root, const TxVisitor& visit, std::size_t& visited) {
  visit_ = &visit;
  visited_ = &visited;
  stopped_ = false;
  unit_start_ = root.raw_json_token().data();
  od::json_type type;
  if (auto e = root.type().get(type)) return json_error(e);
  if (type == od::json_type::object) {
    od::object object;
    if (auto e = root.get_object().get(object)) return json_error(e);
    return read_object(object, Level::kAny, kept_);
  }
  if (type != od::json_type::array) {
    return shape_error(root, "(top level)", "a transaction, block or RPC response, or an array of them");
  }
  od::array items;
  if (auto e = root.get_array().get(items)) return json_error(e);
  const char* const array_start = unit_start_;
  return json::each(items, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    unit_start_ = item.raw_json_token().data();
    od::json_type t;
    if (auto e = item.type().get(t)) return json_error(e);
    if (t == od::json_type::null) return true;  // a result that found nothing
    if (log_lines_ && (t == od::json_type::string || t == od::json_type::array)) {
      const bool ok = read_log_lines(item, t);
      unit_start_ = array_start;
      return ok;
    }
    if (log_lines_ && t != od::json_type::object) {
      return shape_error(item, "(array element)", "a log line (a string), an array of them or an object");
    }
    od::object object;
    if (!expect_object(item, "(array element)", object)) return false;
    const bool ok = read_object(object, Level::kAny, kept_);
    unit_start_ = array_start;
    return ok;
  });
}

bool RpcValueReader::read_object(od::object object, Level level, std::size_t slot) {
  const char* const start = unit_start_;
  begin_transaction(slot);
  view_->position.reset();
  bool has_transaction = false, has_meta = false, has_result = false, has_rpc = false;
  bool has_transactions = false, has_blockhash = false, has_logs = false;
  std::optional<std::uint64_t> tx_slot;
  std::optional<std::int64_t> block_time;
  JsonVersion version;
  std::size_t block_first = 0, block_count = 0;  // a block's transactions: slots from block_first on

  const bool fields_ok = json::each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    od::value& value = field.value();
    if (key == "transaction") {
      has_transaction = true;
      return read_transaction(value);
    }
    if (key == "meta") {
      has_meta = true;
      return read_meta(value);
    }
    if (key == "slot") return read_integer(value, "slot", tx_slot);
    if (key == "blockTime") return read_integer(value, "blockTime", block_time);
    if (key == "version") return read_version(value, version);
    if (key == "logMessages" && log_lines_) {  // a bare meta
      has_logs = true;
      return read_log_messages(value, "logMessages", "logMessages[]");
    }
    if (level == Level::kBlockEntry) return true;
    if (key == "transactions") {
      if (has_transactions) return true;  // a repeated key: the first one counts
      has_transactions = true;
      block_first = kept_;  // past any transaction kept back meanwhile
      return read_block_entries(value, block_first, block_count);
    }
    if (key == "blockhash") {
      has_blockhash = true;  // a block, even when it lists no transactions
      return true;
    }
    if (level != Level::kAny) return true;
    if (key == "result") {
      has_result = true;
      return read_result(value);
    }
    if (key == "error") return read_rpc_error(value);
    if (key == "jsonrpc" || key == "id") has_rpc = true;
    return true;
  });
  unit_start_ = start;
  if (!fields_ok) return false;

  const bool bare_meta = log_lines_ && !has_transaction && (has_meta || has_logs);
  if (has_logs && (has_transaction || has_meta || has_result || has_transactions || has_blockhash)) {
    return fail(Error::Kind::Shape, "an object with both `logMessages` and transaction, block or response fields");
  }
  if (has_result) {
    if (has_transaction || has_meta || has_transactions || has_blockhash) {
      return fail(Error::Kind::Shape, "an object with both `result` and transaction or block fields");
    }
    return true;
  }
  if (has_transactions || has_blockhash) {
    if (has_transaction || has_meta) {
      return fail(Error::Kind::Shape, "an object with both `transactions` and `transaction` or `meta`");
    }
    for (std::size_t i = 0; i < block_count; ++i) {
      TxView& view = slots_[block_first + i]->view;
      if (!view.slot) view.slot = tx_slot ? tx_slot : block_slot_;
      if (!view.block_time) view.block_time = block_time;
      if (!hand_over(view)) return false;
    }
    return true;
  }
  if (has_transaction || bare_meta) {
    return finish_transaction(tx_slot, block_time, version, level == Level::kBlockEntry);
  }
  if (has_meta) return fail(Error::Kind::Shape, "`meta` without `transaction`");
  if (level == Level::kBlockEntry) return fail(Error::Kind::Shape, "a block entry without `transaction`");
  if (has_rpc) return fail(Error::Kind::Shape, "a JSON-RPC response without `result` or `error`");
  return fail(Error::Kind::Shape, "an object that is not a transaction, block or RPC response");
}

// A block's transactions, each read into its own slot from `first` on; `count` says how many.
bool RpcValueReader::read_block_entries(od::value value, std::size_t first, std::size_t& count) {
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) return true;
  od::array transactions;
  if (!expect_array(value, "transactions", transactions)) return false;
  const char* const start = unit_start_;
  const bool ok = json::each(transactions, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    unit_start_ = item.raw_json_token().data();
    if (count >= limits_.max_items) {
      return fail(Error::Kind::TooLarge, std::format("more than {} transactions in one block", limits_.max_items));
    }
    od::object object;
    if (!expect_object(item, "transactions[]", object) || !read_object(object, Level::kBlockEntry, first + count)) {
      return false;
    }
    view_->position = static_cast<std::uint32_t>(count++);
    return true;
  });
  unit_start_ = start;
  return ok;
}

bool RpcValueReader::read_result(od::value value) {
  const char* const start = unit_start_;
  unit_start_ = value.raw_json_token().data();
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) {
    unit_start_ = start;
    return true;  // nothing found: no transaction
  }
  od::object object;
  if (type != od::json_type::object) return shape_error(value, "result", "a transaction, a block or null");
  if (auto e = value.get_object().get(object)) return json_error(e);
  const bool ok = read_object(object, Level::kResult, kept_);
  unit_start_ = start;
  return ok;
}

}  // namespace brisquel::tx
