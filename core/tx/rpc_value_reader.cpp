// The shapes around transactions (top-level values, arrays, blocks, JSON-RPC
// responses), typed reads of fields, and the reader's error values.
#include "core/tx/rpc_value_reader.hpp"

#include <cstring>
#include <format>
#include <limits>
#include <type_traits>
#include <utility>

#include "core/tx/text_scan.hpp"

namespace brisquel::tx {
namespace {

std::string_view type_name(od::json_type type) {
  switch (type) {
    case od::json_type::array: return "an array";
    case od::json_type::object: return "an object";
    case od::json_type::number: return "a number";
    case od::json_type::string: return "a string";
    case od::json_type::boolean: return "a boolean";
    case od::json_type::null: return "null";
    default: return "something else";
  }
}

// A scalar's text for a message, cut to a readable length.
std::string excerpt(std::string_view token) {
  while (!token.empty() && (token.back() == ' ' || token.back() == '\n' || token.back() == '\r' ||
                            token.back() == '\t')) {
    token.remove_suffix(1);
  }
  if (token.size() > 40) return std::string(utf8_prefix(token, 40)) + "...";
  return std::string(token);
}

}  // namespace

// ---- errors ----

bool RpcValueReader::fail(ReadErrorKind kind, std::string message, const char* at) {
  failure_.kind = kind;
  failure_.message = std::move(message);
  failure_.at = at != nullptr ? at : unit_start_;
  return false;
}

bool RpcValueReader::json_error(simdjson::error_code error, const char* at) {
  if (error == simdjson::DEPTH_ERROR) {
    return fail(ReadErrorKind::kTooLarge, std::format("nesting deeper than {} levels", limits_.max_depth), at);
  }
  return fail(ReadErrorKind::kInvalidJson, std::format("invalid JSON: {}", simdjson::error_message(error)), at);
}

bool RpcValueReader::shape_error(od::value& value, std::string_view field, std::string_view expected) {
  const std::string_view token = value.raw_json_token();
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e, token.data());
  std::string found(type_name(type));
  if (type != od::json_type::array && type != od::json_type::object && type != od::json_type::null) {
    found += " " + excerpt(token);
  }
  return fail(ReadErrorKind::kShape, std::format("`{}`: expected {}, found {}", field, expected, found),
              token.data());
}

bool RpcValueReader::count_item(std::size_t count, std::string_view what) {
  if (count < limits_.max_items) return true;
  return fail(ReadErrorKind::kTooLarge, std::format("more than {} {} in one transaction", limits_.max_items, what));
}

// ---- typed reads ----

template <class T>
bool RpcValueReader::read_integer(od::value& value, std::string_view field, std::optional<T>& out) {
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) {
    out.reset();
    return true;
  }
  if (type == od::json_type::number) {
    if constexpr (std::is_signed_v<T>) {
      std::int64_t v;
      if (value.get_int64().get(v) == simdjson::SUCCESS) {
        out = v;
        return true;
      }
    } else {
      std::uint64_t v;
      if (value.get_uint64().get(v) == simdjson::SUCCESS && v <= std::numeric_limits<T>::max()) {
        out = static_cast<T>(v);
        return true;
      }
    }
  }
  constexpr std::string_view expected = std::is_same_v<T, std::uint32_t>   ? "an integer in 0..2^32-1 or null"
                                        : std::is_same_v<T, std::uint64_t> ? "an integer in 0..2^64-1 or null"
                                                                           : "a 64-bit integer or null";
  return shape_error(value, field, expected);
}

bool RpcValueReader::read_string(od::value& value, std::string_view field, std::string_view& out) {
  // Most strings hold no escape: their text in the input is the string, with
  // no copy. The token runs to the next structural character, so the closing
  // quote is its last quote; stage 1 has checked UTF-8 and control characters.
  const std::string_view token = value.raw_json_token();
  if (!token.empty() && token[0] == '"') {
    const std::size_t close = token.rfind('"');
    if (close > 0) {
      const std::string_view text = token.substr(1, close - 1);
      if (std::memchr(text.data(), '\\', text.size()) == nullptr) {
        out = text;
        return true;
      }
    }
  }
  const auto e = value.get_string().get(out);
  if (e == simdjson::SUCCESS) return true;
  if (e == simdjson::INCORRECT_TYPE) return shape_error(value, field, "a string");
  if (e == simdjson::STRING_ERROR) {
    return fail(ReadErrorKind::kInvalidJson, std::format("`{}`: invalid escape in string (a lone surrogate?)", field),
                token.data());
  }
  return json_error(e);
}

bool RpcValueReader::expect_object(od::value& value, std::string_view field, od::object& out) {
  const auto e = value.get_object().get(out);
  if (e == simdjson::SUCCESS) return true;
  if (e == simdjson::INCORRECT_TYPE) return shape_error(value, field, "an object");
  return json_error(e);
}

bool RpcValueReader::expect_array(od::value& value, std::string_view field, od::array& out) {
  const auto e = value.get_array().get(out);
  if (e == simdjson::SUCCESS) return true;
  if (e == simdjson::INCORRECT_TYPE) return shape_error(value, field, "an array");
  return json_error(e);
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
    return read_object(object, Level::kAny, 0);
  }
  if (type != od::json_type::array) {
    return shape_error(root, "(top level)", "a transaction, block or RPC response, or an array of them");
  }
  od::array items;
  if (auto e = root.get_array().get(items)) return json_error(e);
  const char* const array_start = unit_start_;
  return detail::each(items, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    unit_start_ = item.raw_json_token().data();
    od::json_type t;
    if (auto e = item.type().get(t)) return json_error(e);
    if (t == od::json_type::null) return true;  // a result that found nothing
    od::object object;
    if (!expect_object(item, "(array element)", object)) return false;
    const bool ok = read_object(object, Level::kAny, 0);
    unit_start_ = array_start;
    return ok;
  });
}

bool RpcValueReader::read_object(od::object object, Level level, std::size_t slot) {
  const char* const start = unit_start_;
  begin_transaction(slot);
  bool has_transaction = false, has_meta = false, has_result = false, has_rpc = false;
  bool has_transactions = false, has_blockhash = false;
  std::optional<std::uint64_t> tx_slot;
  std::optional<std::int64_t> block_time;
  std::size_t block_count = 0;

  const bool fields_ok = detail::each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
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
    if (level == Level::kBlockEntry) return true;
    if (key == "transactions") {
      if (has_transactions) return true;  // a repeated key: the first one counts
      has_transactions = true;
      return read_block_entries(value, block_count);
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

  if (has_result) {
    if (has_transaction || has_meta || has_transactions || has_blockhash) {
      return fail(ReadErrorKind::kShape, "an object with both `result` and transaction or block fields");
    }
    return true;
  }
  if (has_transactions || has_blockhash) {
    if (has_transaction || has_meta) {
      return fail(ReadErrorKind::kShape, "an object with both `transactions` and `transaction` or `meta`");
    }
    for (std::size_t i = 0; i < block_count; ++i) {
      TxView& view = slots_[i]->view;
      if (!view.slot) view.slot = tx_slot;
      if (!view.block_time) view.block_time = block_time;
      if (!hand_over(view)) return false;
    }
    return true;
  }
  if (has_transaction) return finish_transaction(tx_slot, block_time, level == Level::kBlockEntry);
  if (has_meta) return fail(ReadErrorKind::kShape, "`meta` without `transaction`");
  if (level == Level::kBlockEntry) return fail(ReadErrorKind::kShape, "a block entry without `transaction`");
  if (has_rpc) return fail(ReadErrorKind::kShape, "a JSON-RPC response without `result` or `error`");
  return fail(ReadErrorKind::kShape, "an object that is not a transaction, block or RPC response");
}

// A block's transactions, each read into its own slot; `count` says how many.
bool RpcValueReader::read_block_entries(od::value value, std::size_t& count) {
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) return true;
  od::array transactions;
  if (!expect_array(value, "transactions", transactions)) return false;
  const char* const start = unit_start_;
  const bool ok = detail::each(transactions, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    unit_start_ = item.raw_json_token().data();
    if (count >= limits_.max_items) {
      return fail(ReadErrorKind::kTooLarge, std::format("more than {} transactions in one block", limits_.max_items));
    }
    od::object object;
    return expect_object(item, "transactions[]", object) && read_object(object, Level::kBlockEntry, count++);
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
  const bool ok = read_object(object, Level::kResult, 0);
  unit_start_ = start;
  return ok;
}

bool RpcValueReader::read_rpc_error(od::value value) {
  const char* const at = value.raw_json_token().data();
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) return true;  // some servers send "error": null with a result
  std::string text = "RPC error";
  if (type == od::json_type::object) {
    od::object object;
    if (auto e = value.get_object().get(object)) return json_error(e);
    std::optional<std::int64_t> code;
    std::string_view message;
    const bool ok = detail::each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
      const std::string_view key = field.escaped_key();
      if (key == "code") return read_integer(field.value(), "error.code", code);
      if (key == "message") return read_string(field.value(), "error.message", message);
      return true;
    });
    if (!ok) return false;
    if (code) text += std::format(" {}", *code);
    if (!message.empty()) text += std::format(": {}", utf8_prefix(message, 1000));
  } else if (type == od::json_type::string) {
    std::string_view message;
    if (!read_string(value, "error", message)) return false;
    text += std::format(": {}", utf8_prefix(message, 1000));
  }
  return fail(ReadErrorKind::kRpcError, std::move(text), at);
}

template bool RpcValueReader::read_integer(od::value&, std::string_view, std::optional<std::uint32_t>&);
template bool RpcValueReader::read_integer(od::value&, std::string_view, std::optional<std::uint64_t>&);
template bool RpcValueReader::read_integer(od::value&, std::string_view, std::optional<std::int64_t>&);

}  // namespace brisquel::tx
