// The fields of one transaction object: the encoded transaction (JSON,
// jsonParsed or wire format) and its meta, gathered into a TxView whose
// programs are resolved once all of it (in any field order) has been read.
#include <cstring>
#include <format>
#include <span>
#include <utility>

#include "codec/base64.hpp"
#include "core/tx/rpc_value_reader.hpp"
#include "core/json/text_scan.hpp"

namespace brisquel::tx {
namespace {

// Texts that could only decode to more than a wire transaction may hold.
constexpr std::size_t kMaxBase64Text = (kMaxWireBytes + 2) / 3 * 4;
// Base58 decoding is quadratic; this is the text of the largest transaction a
// node can send (4,096 bytes of version 1), and no more.
constexpr std::size_t kMaxBase58Text = 5600;

}  // namespace

void RpcValueReader::use_slot(std::size_t slot) {
  while (slots_.size() <= slot) slots_.push_back(std::make_unique<TxSlot>());
  tx_ = slots_[slot].get();
  view_ = &tx_->view;
}

void RpcValueReader::begin_transaction(std::size_t slot) {
  use_slot(slot);
  view_->slot.reset();
  view_->block_time.reset();
  clear_transaction();
  clear_meta();
}

void RpcValueReader::clear_transaction() {
  if (view_->problem) view_->problem = Error();
  view_->version.reset();
  view_->config = {};
  json_config_ = {};
  view_->signature = {};
  view_->summary.signature_count = 0;
  view_->account_keys.clear();  // filled again once the keys are resolved; a transaction with a problem has none
  view_->outer_programs.clear();
  view_->outer.clear();
  outer_accounts_.clear();
  outer_keys_.clear();
  static_keys_.clear();
  keys_include_loaded_ = false;
  from_wire_ = false;
}

void RpcValueReader::clear_meta() {
  view_->failed = false;
  view_->error = {};
  inner_accounts_.clear();
  view_->has_logs = false;
  view_->logs.clear();
  // Keep each group's storage for the next transactions.
  for (InnerGroup& group : view_->inner) {
    group.instructions.clear();
    tx_->spare_groups.push_back(std::move(group.instructions));
  }
  view_->inner.clear();
  inner_keys_.clear();
  inner_count_ = 0;
  loaded_writable_.clear();
  loaded_readonly_.clear();
  if (summary_) {
    TxSummary& s = view_->summary;
    s.fee.reset();
    s.compute_units_consumed.reset();
    s.error = {};
    s.pre_balances.clear();
    s.post_balances.clear();
    s.pre_tokens.clear();
    s.post_tokens.clear();
  }
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
  return json::each(transaction, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    if (key == "signatures") {
      od::array signatures;
      if (!expect_array(field.value(), "transaction.signatures", signatures)) return false;
      // Only the first one names the transaction; the others are skipped
      // unread, or only counted for the summary.
      std::uint32_t count = 0;
      for (auto item_result : signatures) {
        od::value item;
        if (auto e = std::move(item_result).get(item)) return json_error(e);
        if (count++ == 0 && !read_string(item, "transaction.signatures[]", view_->signature)) return false;
        if (!summary_) break;
      }
      view_->summary.signature_count = count;
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
  return json::each(message, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    if (key == "accountKeys") {
      od::array keys;
      return expect_array(field.value(), "message.accountKeys", keys) && read_account_keys(keys);
    }
    if (key == "transactionConfig") return read_config(field.value());
    if (key == "instructions") {
      od::array instructions;
      if (!expect_array(field.value(), "message.instructions", instructions)) return false;
      view_->outer_programs.clear();
      view_->outer.clear();
      outer_accounts_.clear();
      outer_keys_.clear();
      return json::each(instructions, [&](auto e) { return json_error(e); }, [&](od::value& item) {
        od::object instruction;
        return count_item(view_->outer_programs.size(), "instructions") &&
               expect_object(item, "message.instructions[]", instruction) && read_outer_instruction(instruction);
      });
    }
    return true;
  });
}

bool RpcValueReader::read_account_keys(od::array keys) {
  static_keys_.clear();
  keys_include_loaded_ = false;
  return json::each(keys, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    if (!count_item(static_keys_.size(), "account keys")) return false;
    std::string_view& key = static_keys_.emplace_back();
    od::json_type type;
    if (auto e = item.type().get(type)) return json_error(e);
    if (type != od::json_type::object) return read_string(item, "message.accountKeys[]", key);
    // jsonParsed: {"pubkey", "signer", "writable", "source"}, loaded addresses included.
    keys_include_loaded_ = true;
    od::object object;
    if (auto e = item.get_object().get(object)) return json_error(e);
    // The first "pubkey" names it (nodes write it first); the fields after it
    // are skipped as a whole, not looked at one by one.
    for (auto field_result : object) {
      od::field field;
      if (auto e = std::move(field_result).get(field)) return json_error(e);
      if (field.escaped_key() == "pubkey") return read_string(field.value(), "message.accountKeys[].pubkey", key);
    }
    return true;
  });
}

bool RpcValueReader::read_outer_instruction(od::object instruction) {
  std::optional<std::uint32_t> index;
  std::string_view program;
  bool named = false;
  OuterInstruction details;
  const bool ok = json::each(instruction, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    if (key == "programIdIndex") return read_integer(field.value(), "instructions[].programIdIndex", index);
    if (key == "programId") {
      named = true;
      return read_string(field.value(), "instructions[].programId", program);
    }
    if (!calls_) return true;
    if (key == "accounts") {
      return read_accounts(field.value(), "instructions[].accounts", outer_accounts_, details.accounts);
    }
    if (key == "data") return read_data(field.value(), "instructions[].data", details.data);
    return true;
  });
  if (!ok) return false;
  if (!named && !index) return fail(Error::Kind::Shape, "an instruction without `programIdIndex` or `programId`");
  view_->outer_programs.push_back(program);
  if (calls_) view_->outer.push_back(details);
  outer_keys_.push_back(named ? kNamed : *index);
  return true;
}

bool RpcValueReader::read_wire_transaction(od::array encoded) {
  std::string_view text, encoding;
  if (!read_encoded(encoded, {"transaction", "transaction[0]", "transaction[1]"}, text, encoding)) return false;

  std::span<const std::uint8_t> bytes;
  if (encoding == "base64") {
    if (text.size() > kMaxBase64Text) {
      return set_problem(std::format("base64 transaction text of {} characters is longer than a transaction",
                                     text.size()));
    }
    const std::size_t room = codec::base64_decoded_capacity(text.size());
    if (tx_->wire_bytes.size() < room) tx_->wire_bytes.resize(room);
    const auto size = codec::decode_base64_strict(text, tx_->wire_bytes.data());
    if (!size) return set_problem("transaction text is not canonical base64");
    bytes = std::span<const std::uint8_t>(tx_->wire_bytes.data(), *size);
  } else if (encoding == "base58") {
    if (text.size() > kMaxBase58Text) {
      return set_problem(std::format("base58 transaction text of {} characters is longer than {}", text.size(),
                                     kMaxBase58Text));
    }
    if (tx_->wire_bytes.size() < codec::base58_decoded_capacity(text.size())) {
      tx_->wire_bytes.resize(codec::base58_decoded_capacity(text.size()));
    }
    const auto size = codec::decode_base58(text, tx_->wire_bytes.data());
    if (!size) return set_problem("transaction text is not base58");
    bytes = std::span<const std::uint8_t>(tx_->wire_bytes.data(), *size);
  } else {
    return fail(Error::Kind::Shape, std::format("transaction encoding \"{}\" is not supported (base64, base58)",
                                                   utf8_prefix(encoding, 40)));
  }
  if (auto error = parse_wire_transaction(bytes, wire_)) {
    // Name the version the bytes announced (unknown ones name themselves).
    if (wire_.version && *wire_.version > kMaxTxVersion) return set_problem(std::move(*error));
    const std::string version = !wire_.version_known ? std::string("legacy or version 0")
                                : wire_.version       ? std::format("version {}", *wire_.version)
                                                      : std::string("legacy");
    return set_problem(std::format("{} transaction: {}", version, *error));
  }

  from_wire_ = true;
  view_->summary.signature_count = wire_.signature_count;
  view_->version = wire_.version;
  view_->config = wire_.config;
  if (wire_.signature_count > 0) {
    const std::size_t length = *codec::encode_base58(wire_.signature(0), tx_->signature_text);
    view_->signature = std::string_view(tx_->signature_text, length);
  }
  if (tx_->key_text.size() < wire_.key_count) tx_->key_text.resize(wire_.key_count);
  wire_keys_.assign(wire_.key_count, std::string_view{});
  for (const WireInstruction& instruction : wire_.instructions) {
    view_->outer_programs.emplace_back();
    outer_keys_.push_back(instruction.program_index);
    if (!calls_) continue;
    OuterInstruction& details = view_->outer.emplace_back();
    details.data = {{}, instruction.data, true};
    details.accounts = {static_cast<std::uint32_t>(outer_accounts_.size()),
                        static_cast<std::uint32_t>(instruction.accounts.size())};
    for (const std::uint8_t a : instruction.accounts) outer_accounts_.push_back({{}, a});
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
  return json::each(meta, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    od::value& v = field.value();
    if (key == "err") {
      od::json_type t;
      if (auto e = v.type().get(t)) return json_error(e);
      view_->failed = t != od::json_type::null;
      view_->error = {};
      if (summary_) return read_error_summary(v);
      return !calls_ || !view_->failed || read_error(v);
    }
    if (key == "logMessages") return read_log_messages(v, "meta.logMessages", "meta.logMessages[]");
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
      return json::each(loaded, [&](auto e) { return json_error(e); }, [&](od::field& list) {
        const std::string_view name = list.escaped_key();
        if (name == "writable") {
          return read_string_list(list.value(), "meta.loadedAddresses.writable", loaded_writable_);
        }
        if (name == "readonly") {
          return read_string_list(list.value(), "meta.loadedAddresses.readonly", loaded_readonly_);
        }
        return true;
      });
    }
    return !summary_ || read_summary_field(key, v);
  });
}

// `field` and `item`: as messages name the list and its items.
bool RpcValueReader::read_log_messages(od::value& value, std::string_view field, std::string_view item) {
  od::json_type t;
  if (auto e = value.type().get(t)) return json_error(e);
  view_->logs.clear();
  view_->has_logs = t != od::json_type::null;
  if (!view_->has_logs) return true;
  od::array logs;
  return expect_array(value, field, logs) && read_logs(logs, item);
}

bool RpcValueReader::read_logs(od::array logs, std::string_view item_field) {
  return json::each(logs, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    return count_item(view_->logs.size(), "log messages") &&
           read_string(item, item_field, view_->logs.emplace_back(), log_lines_);
  });
}

// In a top-level array, a log-line string (`type` string) or an array of
// them: a transaction of those lines.
bool RpcValueReader::read_log_lines(od::value& value, od::json_type type) {
  begin_transaction(kept_);
  view_->position.reset();
  view_->has_logs = true;
  if (type == od::json_type::string) {
    return read_string(value, "(array element)", view_->logs.emplace_back(), true) && hand_over(*view_);
  }
  od::array lines;
  if (auto e = value.get_array().get(lines)) return json_error(e);
  return read_logs(lines, "(array element)[]") && hand_over(*view_);
}

bool RpcValueReader::read_string_list(od::value value, std::string_view field, std::vector<std::string_view>& out) {
  out.clear();
  return read_nullable_array(value, field, [&](od::value& item) {
    return count_item(out.size(), "loaded addresses") && read_string(item, field, out.emplace_back());
  });
}

bool RpcValueReader::read_inner_groups(od::array groups) {
  return json::each(groups, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    if (!count_item(view_->inner.size(), "inner instruction groups")) return false;
    od::object object;
    if (!expect_object(item, "meta.innerInstructions[]", object)) return false;
    const auto group = static_cast<std::uint32_t>(view_->inner.size());
    InnerGroup& added = view_->inner.emplace_back();
    if (!tx_->spare_groups.empty()) {
      added.instructions = std::move(tx_->spare_groups.back());
      tx_->spare_groups.pop_back();
    }
    std::optional<std::uint32_t> index;
    const char* const at = item.raw_json_token().data();
    const bool ok = json::each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
      const std::string_view key = field.escaped_key();
      if (key == "index") return read_integer(field.value(), "meta.innerInstructions[].index", index);
      if (key != "instructions") return true;
      od::array instructions;
      if (!expect_array(field.value(), "meta.innerInstructions[].instructions", instructions)) return false;
      return json::each(instructions, [&](auto e) { return json_error(e); }, [&](od::value& entry) {
        od::object instruction;
        return expect_object(entry, "meta.innerInstructions[].instructions[]", instruction) &&
               read_inner_instruction(instruction, group);
      });
    });
    if (!ok) return false;
    if (!index) return fail(Error::Kind::Shape, "an inner instruction group without `index`", at);
    view_->inner[group].index = *index;
    return true;
  });
}

bool RpcValueReader::read_inner_instruction(od::object instruction, std::uint32_t group) {
  if (!count_item(inner_count_++, "inner instructions")) return false;
  std::optional<std::uint32_t> index;
  bool named = false;
  InnerInstruction out;
  const bool ok = json::each(instruction, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    od::value& v = field.value();
    if (key == "programIdIndex") return read_integer(v, "innerInstructions[].programIdIndex", index);
    if (key == "programId") {
      named = true;
      return read_string(v, "innerInstructions[].programId", out.program);
    }
    if (key == "data") return read_string(v, "innerInstructions[].data", out.data);
    if (key == "stackHeight") return read_integer(v, "innerInstructions[].stackHeight", out.stack_height);
    if (calls_ && key == "accounts") {
      return read_accounts(v, "innerInstructions[].accounts", inner_accounts_, out.accounts);
    }
    return true;
  });
  if (!ok) return false;
  if (!named && !index) {
    return fail(Error::Kind::Shape, "an inner instruction without `programIdIndex` or `programId`");
  }
  auto& instructions = view_->inner[group].instructions;
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
      if (wire_keys_[i].empty()) wire_keys_[i] = codec::encode_base58_pubkey(wire_.key(i), tx_->key_text[i]);
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
                                        const JsonVersion& version, bool in_block) {
  view_->slot = slot;
  view_->block_time = block_time;
  auto done = [&] {
    if (view_->problem) {
      // Nothing of its message is to be trusted, and nothing an earlier
      // transaction left in these (views into text since freed) may stay.
      view_->account_keys.clear();
      view_->accounts.clear();
      view_->outer.clear();
      view_->outer_programs.clear();
    }
    if (in_block) return true;  // a block hands its transactions over at its end
    return can_keep_back() ? keep_back() : hand_over(*view_);
  };
  if (!from_wire_) {  // the wire format says its version itself
    if (!version.unknown.empty()) {
      set_problem(std::format("transaction version {} is not supported", version.unknown));
    }
    view_->version = version.value;
    if (version.value == 1) view_->config = json_config_;
  }
  if (view_->problem) return done();
  auto out_of_range = [&](std::uint32_t index) {
    const std::size_t keys = (from_wire_ ? wire_.key_count : static_keys_.size()) +
                             (keys_include_loaded_ ? 0 : loaded_writable_.size() + loaded_readonly_.size());
    const std::string name = view_->version ? std::format("version {}", *view_->version) : "legacy";
    set_problem(std::format("{} transaction: program index {} is beyond the transaction's {} account keys", name,
                            index, keys));
    return done();
  };
  for (std::size_t i = 0; i < outer_keys_.size(); ++i) {
    if (outer_keys_[i] == kNamed) continue;
    const std::string_view* key = program_key(outer_keys_[i]);
    if (key == nullptr) return out_of_range(outer_keys_[i]);
    view_->outer_programs[i] = *key;
  }
  for (const PendingInner& pending : inner_keys_) {
    const std::string_view* key = program_key(pending.key);
    if (key == nullptr) return out_of_range(pending.key);
    view_->inner[pending.group].instructions[pending.item].program = *key;
  }
  if (calls_) resolve_calls();
  return done();
}

bool RpcValueReader::set_problem(std::string text) {
  if (!view_->problem) view_->problem = Error(Error::Kind::Unreadable, std::move(text));
  return true;
}

bool RpcValueReader::read_version(od::value& value, JsonVersion& out) {
  out = {};
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::string) {
    std::string_view text;
    if (!read_string(value, "version", text)) return false;
    if (text != "legacy") out.unknown = std::format("\"{}\"", utf8_prefix(text, 40));
    return true;
  }
  if (type != od::json_type::number && type != od::json_type::null) {
    return shape_error(value, "version", "\"legacy\" or a number");
  }
  std::optional<std::uint64_t> number;
  if (!read_integer(value, "version", number)) return false;
  if (number && *number > kMaxTxVersion) out.unknown = std::to_string(*number);
  else if (number) out.value = static_cast<std::uint8_t>(*number);
  return true;
}

// message.transactionConfig: each value a number, or null where not set.
bool RpcValueReader::read_config(od::value& value) {
  json_config_ = {};
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) return true;
  od::object config;
  if (!expect_object(value, "message.transactionConfig", config)) return false;
  return json::each(config, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    od::value& v = field.value();
    if (key == "priorityFee") return read_integer(v, "transactionConfig.priorityFee", json_config_.priority_fee);
    if (key == "computeUnitLimit") {
      return read_integer(v, "transactionConfig.computeUnitLimit", json_config_.compute_unit_limit);
    }
    if (key == "loadedAccountsDataSizeLimit") {
      return read_integer(v, "transactionConfig.loadedAccountsDataSizeLimit",
                          json_config_.loaded_accounts_data_size_limit);
    }
    if (key == "heapSize") return read_integer(v, "transactionConfig.heapSize", json_config_.heap_size);
    return true;
  });
}

bool RpcValueReader::hand_over(TxView& view) {
  if (kept_ != 0 && !hand_over_kept(*visited_)) return false;  // those kept back come first
  const bool go_on = (*visit_)(view, (*visited_)++);
  if (!go_on) stopped_ = true;
  return go_on;
}

// The transaction just read may be kept back when its views last and it was
// read into the slot after those kept (not a block's entry).
bool RpcValueReader::can_keep_back() const { return lasting_ && kept_ < slots_.size() && tx_ == slots_[kept_].get(); }

// Keeps it back, handing all kept over once there are enough; false when the
// visitor asked to stop. Whatever the object around it reads next (a
// response's other fields) goes to a slot of its own.
bool RpcValueReader::keep_back() {
  const bool go_on = ++kept_ < kMaxKept || hand_over_kept(*visited_);
  use_slot(kept_);
  return go_on;
}

bool RpcValueReader::hand_over_kept(std::size_t& visited) {
  const std::size_t kept = std::exchange(kept_, 0);
  for (std::size_t i = 0; i < kept; ++i) {
    if (!(*visit_)(slots_[i]->view, visited++)) {
      stopped_ = true;
      return false;
    }
  }
  return true;
}

}  // namespace brisquel::tx
