#include "core/tx/rpc_value_reader.hpp"

#include <format>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

#include "codec/base64.hpp"

namespace brisquel::tx {
namespace {

// Texts that could only decode to more than a wire transaction may hold.
constexpr std::size_t kMaxBase64Text = (kMaxWireBytes + 2) / 3 * 4;
// Base58 decoding is quadratic; nodes send base58 only for small transactions.
constexpr std::size_t kMaxBase58Text = 4096;

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
  if (token.size() > 40) return std::string(token.substr(0, 40)) + "...";
  return std::string(token);
}

template <class R>
struct ResultValue;
template <class T>
struct ResultValue<simdjson::simdjson_result<T>> {
  using type = T;
};

// Loops over an object's fields or an array's elements, stopping at the
// first JSON error, which `on_error` turns into the reader's failure.
template <class Range, class OnError, class Body>
bool each(Range& range, OnError&& on_error, Body&& body) {
  for (auto item_result : range) {
    typename ResultValue<std::remove_cvref_t<decltype(item_result)>>::type item;
    if (auto e = std::move(item_result).get(item)) return on_error(e);
    if (!body(item)) return false;
  }
  return true;
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
  const auto e = value.get_string().get(out);
  if (e == simdjson::SUCCESS) return true;
  if (e == simdjson::INCORRECT_TYPE) return shape_error(value, field, "a string");
  if (e == simdjson::STRING_ERROR) {
    return fail(ReadErrorKind::kInvalidJson, std::format("`{}`: invalid escape in string (a lone surrogate?)", field),
                value.raw_json_token().data());
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
    return read_object(object, Level::kAny, nullptr);
  }
  if (type != od::json_type::array) {
    return shape_error(root, "(top level)", "a transaction, block or RPC response, or an array of them");
  }
  od::array items;
  if (auto e = root.get_array().get(items)) return json_error(e);
  const char* const array_start = unit_start_;
  return each(items, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    unit_start_ = item.raw_json_token().data();
    od::json_type t;
    if (auto e = item.type().get(t)) return json_error(e);
    if (t == od::json_type::null) return true;  // a result that found nothing
    od::object object;
    if (!expect_object(item, "(array element)", object)) return false;
    const bool ok = read_object(object, Level::kAny, nullptr);
    unit_start_ = array_start;
    return ok;
  });
}

bool RpcValueReader::read_object(od::object object, Level level, const BlockContext* block) {
  const char* const start = unit_start_;
  begin_transaction();
  bool has_transaction = false, has_meta = false, has_transactions = false, has_result = false, has_rpc = false;
  std::optional<std::uint64_t> slot;
  std::optional<std::int64_t> block_time;

  const bool fields_ok = each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
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
    if (key == "slot") return read_integer(value, "slot", slot);
    if (key == "blockTime") return read_integer(value, "blockTime", block_time);
    if (level == Level::kBlockEntry) return true;
    if (key == "transactions") {
      has_transactions = true;  // read after the other fields, which may follow it
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
    if (has_transaction || has_meta || has_transactions) {
      return fail(ReadErrorKind::kShape, "an object with both `result` and transaction or block fields");
    }
    return true;
  }
  if (has_transactions) {
    if (has_transaction || has_meta) {
      return fail(ReadErrorKind::kShape, "an object with both `transactions` and `transaction` or `meta`");
    }
    return read_block_transactions(object, BlockContext{slot, block_time});
  }
  if (has_transaction) return finish_transaction(slot, block_time, block);
  if (has_meta) return fail(ReadErrorKind::kShape, "`meta` without `transaction`");
  if (level == Level::kBlockEntry) return fail(ReadErrorKind::kShape, "a block entry without `transaction`");
  if (has_rpc) return fail(ReadErrorKind::kShape, "a JSON-RPC response without `result` or `error`");
  return fail(ReadErrorKind::kShape, "an object that is not a transaction, block or RPC response");
}

bool RpcValueReader::read_block_transactions(od::object block, const BlockContext& context) {
  // Nodes write a block's blockTime after its transactions, and every
  // transaction needs it: the first pass has read it, this one goes back.
  if (auto e = block.reset().error()) return json_error(e);
  od::value value;
  if (auto e = block.find_field_unordered("transactions").get(value)) return json_error(e);
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) return true;
  od::array transactions;
  if (!expect_array(value, "transactions", transactions)) return false;
  const char* const start = unit_start_;
  const bool ok = each(transactions, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    unit_start_ = item.raw_json_token().data();
    od::object object;
    return expect_object(item, "transactions[]", object) && read_object(object, Level::kBlockEntry, &context);
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
  const bool ok = read_object(object, Level::kResult, nullptr);
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
    const bool ok = each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
      const std::string_view key = field.escaped_key();
      if (key == "code") return read_integer(field.value(), "error.code", code);
      if (key == "message") return read_string(field.value(), "error.message", message);
      return true;
    });
    if (!ok) return false;
    if (code) text += std::format(" {}", *code);
    if (!message.empty()) text += std::format(": {}", message.substr(0, 1000));
  } else if (type == od::json_type::string) {
    std::string_view message;
    if (!read_string(value, "error", message)) return false;
    text += std::format(": {}", message.substr(0, 1000));
  }
  return fail(ReadErrorKind::kRpcError, std::move(text), at);
}

// ---- one transaction ----

void RpcValueReader::begin_transaction() {
  view_.slot.reset();
  view_.block_time.reset();
  clear_transaction();
  clear_meta();
}

void RpcValueReader::clear_transaction() {
  view_.signature = {};
  view_.outer_programs.clear();
  outer_keys_.clear();
  static_keys_.clear();
  keys_include_loaded_ = false;
  from_wire_ = false;
}

void RpcValueReader::clear_meta() {
  view_.failed = false;
  view_.has_logs = false;
  view_.logs.clear();
  // Keep each group's storage for the next transactions.
  for (InnerGroup& group : view_.inner) {
    group.instructions.clear();
    spare_groups_.push_back(std::move(group.instructions));
  }
  view_.inner.clear();
  inner_keys_.clear();
  inner_count_ = 0;
  loaded_writable_.clear();
  loaded_readonly_.clear();
}

bool RpcValueReader::read_transaction(od::value value) {
  clear_transaction();  // a repeated field replaces what the first one gave
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::object) {
    od::object object;
    if (auto e = value.get_object().get(object)) return json_error(e);
    return read_json_transaction(object);
  }
  if (type == od::json_type::array) {
    od::array array;
    if (auto e = value.get_array().get(array)) return json_error(e);
    return read_wire_transaction(array);
  }
  return shape_error(value, "transaction", "an object or [text, encoding]");
}

bool RpcValueReader::read_json_transaction(od::object transaction) {
  return each(transaction, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    if (key == "signatures") {
      od::array signatures;
      if (!expect_array(field.value(), "transaction.signatures", signatures)) return false;
      // Only the first one names the transaction; the others are skipped unread.
      for (auto item_result : signatures) {
        od::value item;
        if (auto e = std::move(item_result).get(item)) return json_error(e);
        return read_string(item, "transaction.signatures[]", view_.signature);
      }
      return true;
    }
    if (key == "message") {
      od::object message;
      return expect_object(field.value(), "transaction.message", message) && read_message(message);
    }
    return true;
  });
}

bool RpcValueReader::read_message(od::object message) {
  return each(message, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    if (key == "accountKeys") {
      od::array keys;
      return expect_array(field.value(), "message.accountKeys", keys) && read_account_keys(keys);
    }
    if (key == "instructions") {
      od::array instructions;
      if (!expect_array(field.value(), "message.instructions", instructions)) return false;
      view_.outer_programs.clear();
      outer_keys_.clear();
      return each(instructions, [&](auto e) { return json_error(e); }, [&](od::value& item) {
        od::object instruction;
        return count_item(view_.outer_programs.size(), "instructions") &&
               expect_object(item, "message.instructions[]", instruction) && read_outer_instruction(instruction);
      });
    }
    return true;
  });
}

bool RpcValueReader::read_account_keys(od::array keys) {
  static_keys_.clear();
  keys_include_loaded_ = false;
  return each(keys, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    if (!count_item(static_keys_.size(), "account keys")) return false;
    std::string_view& key = static_keys_.emplace_back();
    od::json_type type;
    if (auto e = item.type().get(type)) return json_error(e);
    if (type != od::json_type::object) return read_string(item, "message.accountKeys[]", key);
    // jsonParsed: {"pubkey", "signer", "writable", "source"}, loaded addresses included.
    keys_include_loaded_ = true;
    od::object object;
    if (auto e = item.get_object().get(object)) return json_error(e);
    return each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
      if (field.escaped_key() != "pubkey") return true;
      return read_string(field.value(), "message.accountKeys[].pubkey", key);
    });
  });
}

bool RpcValueReader::read_outer_instruction(od::object instruction) {
  std::optional<std::uint32_t> index;
  std::string_view program;
  bool named = false;
  const bool ok = each(instruction, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    if (key == "programIdIndex") return read_integer(field.value(), "instructions[].programIdIndex", index);
    if (key == "programId") {
      named = true;
      return read_string(field.value(), "instructions[].programId", program);
    }
    return true;
  });
  if (!ok) return false;
  if (!named && !index) return fail(ReadErrorKind::kShape, "an instruction without `programIdIndex` or `programId`");
  view_.outer_programs.push_back(program);
  outer_keys_.push_back(named ? kNamed : *index);
  return true;
}

bool RpcValueReader::read_wire_transaction(od::array encoded) {
  std::string_view text, encoding;
  std::size_t n = 0;
  const bool ok = each(encoded, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    ++n;
    if (n == 1) return read_string(item, "transaction[0]", text);
    if (n == 2) return read_string(item, "transaction[1]", encoding);
    return fail(ReadErrorKind::kShape, "`transaction`: expected [text, encoding], found a longer array",
                item.raw_json_token().data());
  });
  if (!ok) return false;
  if (n != 2) return fail(ReadErrorKind::kShape, "`transaction`: expected [text, encoding]");

  std::span<const std::uint8_t> bytes;
  if (encoding == "base64") {
    if (text.size() > kMaxBase64Text) {
      return fail(ReadErrorKind::kTooLarge, std::format("base64 transaction text of {} characters", text.size()));
    }
    const std::size_t room = codec::base64_decoded_capacity(text.size());
    if (wire_bytes_.size() < room) wire_bytes_.resize(room);
    const auto size = codec::decode_base64_strict(text, wire_bytes_.data());
    if (!size) return fail(ReadErrorKind::kTransaction, "transaction text is not canonical base64");
    bytes = std::span<const std::uint8_t>(wire_bytes_.data(), *size);
  } else if (encoding == "base58") {
    if (text.size() > kMaxBase58Text) {
      return fail(ReadErrorKind::kTooLarge, std::format("base58 transaction text of {} characters", text.size()));
    }
    if (!decode_base58(text, wire_bytes_, base58_scratch_)) {
      return fail(ReadErrorKind::kTransaction, "transaction text is not base58");
    }
    bytes = wire_bytes_;
  } else {
    return fail(ReadErrorKind::kShape,
                std::format("transaction encoding \"{}\" is not supported (base64, base58)", excerpt(encoding)));
  }
  if (auto error = parse_wire_transaction(bytes, wire_)) return fail(ReadErrorKind::kTransaction, std::move(*error));

  from_wire_ = true;
  if (wire_.signature_count > 0) {
    const std::size_t length = encode_base58(wire_.signature(0), signature_text_);
    view_.signature = std::string_view(signature_text_, length);
  }
  if (wire_key_text_.size() < wire_.key_count) wire_key_text_.resize(wire_.key_count);
  wire_keys_.assign(wire_.key_count, std::string_view{});
  for (const WireInstruction& instruction : wire_.instructions) {
    view_.outer_programs.emplace_back();
    outer_keys_.push_back(instruction.program_index);
  }
  return true;
}

bool RpcValueReader::read_meta(od::value value) {
  clear_meta();  // a repeated field replaces what the first one gave
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) return true;  // status unknown: nothing to add
  od::object meta;
  if (!expect_object(value, "meta", meta)) return false;
  return each(meta, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    od::value& v = field.value();
    if (key == "err") {
      od::json_type t;
      if (auto e = v.type().get(t)) return json_error(e);
      view_.failed = t != od::json_type::null;
      return true;
    }
    if (key == "logMessages") {
      od::json_type t;
      if (auto e = v.type().get(t)) return json_error(e);
      view_.logs.clear();
      view_.has_logs = t != od::json_type::null;
      if (!view_.has_logs) return true;
      od::array logs;
      return expect_array(v, "meta.logMessages", logs) && read_logs(logs);
    }
    if (key == "innerInstructions") {
      od::json_type t;
      if (auto e = v.type().get(t)) return json_error(e);
      if (t == od::json_type::null) return true;
      od::array groups;
      return expect_array(v, "meta.innerInstructions", groups) && read_inner_groups(groups);
    }
    if (key == "loadedAddresses") {
      od::json_type t;
      if (auto e = v.type().get(t)) return json_error(e);
      if (t == od::json_type::null) return true;
      od::object loaded;
      if (!expect_object(v, "meta.loadedAddresses", loaded)) return false;
      return each(loaded, [&](auto e) { return json_error(e); }, [&](od::field& list) {
        const std::string_view name = list.escaped_key();
        if (name == "writable") return read_string_list(list.value(), "meta.loadedAddresses.writable", loaded_writable_);
        if (name == "readonly") return read_string_list(list.value(), "meta.loadedAddresses.readonly", loaded_readonly_);
        return true;
      });
    }
    return true;
  });
}

bool RpcValueReader::read_logs(od::array logs) {
  return each(logs, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    return count_item(view_.logs.size(), "log messages") &&
           read_string(item, "meta.logMessages[]", view_.logs.emplace_back());
  });
}

bool RpcValueReader::read_string_list(od::value value, std::string_view field, std::vector<std::string_view>& out) {
  out.clear();
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) return true;
  od::array items;
  if (!expect_array(value, field, items)) return false;
  return each(items, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    return count_item(out.size(), "loaded addresses") && read_string(item, field, out.emplace_back());
  });
}

bool RpcValueReader::read_inner_groups(od::array groups) {
  return each(groups, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    if (!count_item(view_.inner.size(), "inner instruction groups")) return false;
    od::object object;
    if (!expect_object(item, "meta.innerInstructions[]", object)) return false;
    const auto group = static_cast<std::uint32_t>(view_.inner.size());
    InnerGroup& added = view_.inner.emplace_back();
    if (!spare_groups_.empty()) {
      added.instructions = std::move(spare_groups_.back());
      spare_groups_.pop_back();
    }
    std::optional<std::uint32_t> index;
    const char* const at = item.raw_json_token().data();
    const bool ok = each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
      const std::string_view key = field.escaped_key();
      if (key == "index") return read_integer(field.value(), "meta.innerInstructions[].index", index);
      if (key != "instructions") return true;
      od::array instructions;
      if (!expect_array(field.value(), "meta.innerInstructions[].instructions", instructions)) return false;
      return each(instructions, [&](auto e) { return json_error(e); }, [&](od::value& entry) {
        od::object instruction;
        return expect_object(entry, "meta.innerInstructions[].instructions[]", instruction) &&
               read_inner_instruction(instruction, group);
      });
    });
    if (!ok) return false;
    if (!index) return fail(ReadErrorKind::kShape, "an inner instruction group without `index`", at);
    view_.inner[group].index = *index;
    return true;
  });
}

bool RpcValueReader::read_inner_instruction(od::object instruction, std::uint32_t group) {
  if (!count_item(inner_count_++, "inner instructions")) return false;
  std::optional<std::uint32_t> index;
  bool named = false;
  InnerInstruction out;
  const bool ok = each(instruction, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    od::value& v = field.value();
    if (key == "programIdIndex") return read_integer(v, "innerInstructions[].programIdIndex", index);
    if (key == "programId") {
      named = true;
      return read_string(v, "innerInstructions[].programId", out.program);
    }
    if (key == "data") return read_string(v, "innerInstructions[].data", out.data);
    if (key == "stackHeight") return read_integer(v, "innerInstructions[].stackHeight", out.stack_height);
    return true;
  });
  if (!ok) return false;
  if (!named && !index) {
    return fail(ReadErrorKind::kShape, "an inner instruction without `programIdIndex` or `programId`");
  }
  auto& instructions = view_.inner[group].instructions;
  if (!named) {
    inner_keys_.push_back({group, static_cast<std::uint32_t>(instructions.size()), *index});
  }
  instructions.push_back(out);
  return true;
}

// The base58 address at `index` of the full key list: static keys, then the
// loaded writable ones, then the loaded read-only ones. Null when out of range.
const std::string_view* RpcValueReader::program_key(std::uint32_t index) {
  std::size_t i = index;
  if (from_wire_) {
    if (i < wire_.key_count) {
      if (wire_keys_[i].empty()) wire_keys_[i] = codec::encode_base58_pubkey(wire_.key(i), wire_key_text_[i]);
      return &wire_keys_[i];
    }
    i -= wire_.key_count;
  } else {
    if (i < static_keys_.size()) return &static_keys_[i];
    if (keys_include_loaded_) return nullptr;
    i -= static_keys_.size();
  }
  if (i < loaded_writable_.size()) return &loaded_writable_[i];
  i -= loaded_writable_.size();
  if (i < loaded_readonly_.size()) return &loaded_readonly_[i];
  return nullptr;
}

bool RpcValueReader::finish_transaction(std::optional<std::uint64_t> slot, std::optional<std::int64_t> block_time,
                                        const BlockContext* block) {
  view_.slot = slot ? slot : block != nullptr ? block->slot : std::nullopt;
  view_.block_time = block_time ? block_time : block != nullptr ? block->block_time : std::nullopt;

  auto out_of_range = [&](std::uint32_t index) {
    const std::size_t keys = (from_wire_ ? wire_.key_count : static_keys_.size()) +
                             (keys_include_loaded_ ? 0 : loaded_writable_.size() + loaded_readonly_.size());
    return fail(ReadErrorKind::kTransaction,
                std::format("program index {} is beyond the transaction's {} account keys", index, keys));
  };
  for (std::size_t i = 0; i < outer_keys_.size(); ++i) {
    if (outer_keys_[i] == kNamed) continue;
    const std::string_view* key = program_key(outer_keys_[i]);
    if (key == nullptr) return out_of_range(outer_keys_[i]);
    view_.outer_programs[i] = *key;
  }
  for (const PendingInner& pending : inner_keys_) {
    const std::string_view* key = program_key(pending.key);
    if (key == nullptr) return out_of_range(pending.key);
    view_.inner[pending.group].instructions[pending.item].program = *key;
  }

  const bool go_on = (*visit_)(view_, (*visited_)++);
  if (!go_on) stopped_ = true;
  return go_on;
}

}  // namespace brisquel::tx
