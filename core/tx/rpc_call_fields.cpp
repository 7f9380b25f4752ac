// What instruction calls need beyond the event walk: each instruction's
// accounts and data, the transaction's whole key list, and where and why it
// failed. Read only when the reader was asked for calls.
#include <format>

#include "core/tx/rpc_value_reader.hpp"

namespace brisquel::tx {

bool RpcValueReader::read_accounts(od::value& value, std::string_view field, std::vector<PendingAccount>& out,
                                   AccountSpan& span) {
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  span = {static_cast<std::uint32_t>(out.size()), 0};
  if (type == od::json_type::null) return true;
  od::array items;
  if (!expect_array(value, field, items)) return false;
  return json::each(items, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    if (!count_item(outer_accounts_.size() + inner_accounts_.size(), "instruction accounts")) return false;
    ++span.count;
    // jsonParsed names accounts (as it lists keys as objects); other
    // encodings give indexes, where a value of another type is left unread by
    // the attempt.
    if (keys_include_loaded_) {
      od::json_type t;
      if (item.type().get(t) == simdjson::SUCCESS && t == od::json_type::string) {
        return read_string(item, field, out.emplace_back().named);
      }
    }
    std::uint64_t index;
    if (item.get_uint64().get(index) == simdjson::SUCCESS && index < AccountRef::kNamed) {
      out.push_back({{}, static_cast<std::uint32_t>(index)});
      return true;
    }
    od::json_type t;
    if (auto e = item.type().get(t)) return json_error(e);
    if (t == od::json_type::string) return read_string(item, field, out.emplace_back().named);  // jsonParsed
    return shape_error(item, field, "an account index in 0..2^32-2 or an address");
  });
}

bool RpcValueReader::read_data(od::value& value, std::string_view field, InstructionData& out) {
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  out = {};
  return type == od::json_type::null || read_string(value, field, out.text);
}

// meta.err takes many shapes, and new ones come with new runtimes: what is
// not understood is left unsaid rather than refused.
bool RpcValueReader::read_error(od::value& value) {
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  TxError& error = view_->error;
  if (type == od::json_type::string) return read_string(value, "meta.err", error.name);
  if (type != od::json_type::object) return true;
  od::object object;
  if (auto e = value.get_object().get(object)) return json_error(e);
  bool first = true;
  return json::each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    if (!first) return true;
    first = false;
    const std::string_view key = field.escaped_key();
    error.name = key;
    od::json_type t;
    if (auto e = field.value().type().get(t)) return json_error(e);
    if (key != "InstructionError" || t != od::json_type::array) return true;
    od::array detail;
    if (auto e = field.value().get_array().get(detail)) return json_error(e);
    return read_instruction_error(detail);
  });
}

// [index, "Name"] or [index, {"Name": value}], {"Custom": code} among them.
bool RpcValueReader::read_instruction_error(od::array detail) {
  TxError& error = view_->error;
  std::size_t n = 0;
  return json::each(detail, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    od::json_type t;
    if (auto e = item.type().get(t)) return json_error(e);
    if (n++ == 0) {
      std::uint64_t index;
      if (t == od::json_type::number && item.get_uint64().get(index) == simdjson::SUCCESS && index <= UINT32_MAX) {
        error.instruction = static_cast<std::uint32_t>(index);
      }
      return true;
    }
    if (n > 2) return true;
    if (t == od::json_type::string) return read_string(item, "meta.err.InstructionError[1]", error.name);
    if (t != od::json_type::object) return true;
    od::object object;
    if (auto e = item.get_object().get(object)) return json_error(e);
    bool first = true;
    return json::each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
      if (!first) return true;
      first = false;
      error.name = field.escaped_key();
      od::json_type vt;
      if (auto e = field.value().type().get(vt)) return json_error(e);
      std::uint64_t code;
      if (error.name == "Custom" && vt == od::json_type::number &&
          field.value().get_uint64().get(code) == simdjson::SUCCESS && code <= UINT32_MAX) {
        error.custom = static_cast<std::uint32_t>(code);
      }
      return true;
    });
  });
}

// Once every key is known: the key list, and each instruction account
// resolved through it. An index past the keys stays in the view, unresolved,
// for whoever decodes that instruction to report.
void RpcValueReader::resolve_calls() {
  auto& keys = view_->account_keys;
  keys.clear();
  if (from_wire_) {
    for (std::uint32_t i = 0; i < wire_.key_count; ++i) keys.push_back(*program_key(i));
  } else {
    keys.assign(static_keys_.begin(), static_keys_.end());
  }
  if (!keys_include_loaded_) {
    keys.insert(keys.end(), loaded_writable_.begin(), loaded_writable_.end());
    keys.insert(keys.end(), loaded_readonly_.begin(), loaded_readonly_.end());
  }
  auto& accounts = view_->accounts;
  accounts.clear();
  auto resolve = [&](const PendingAccount& p) {
    if (p.index == AccountRef::kNamed) return accounts.push_back({p.named, AccountRef::kNamed});
    accounts.push_back({p.index < keys.size() ? keys[p.index] : std::string_view{}, p.index});
  };
  for (const PendingAccount& p : outer_accounts_) resolve(p);
  for (const PendingAccount& p : inner_accounts_) resolve(p);
  const auto shift = static_cast<std::uint32_t>(outer_accounts_.size());
  for (InnerGroup& group : view_->inner) {
    for (InnerInstruction& instruction : group.instructions) instruction.accounts.first += shift;
  }
}

}  // namespace brisquel::tx
