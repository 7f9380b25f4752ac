#include "core/acct/account_value_reader.hpp"

#include <format>

namespace brisquel::acct {


bool AccountValueReader::read(od::value root, const AccountVisitor& visit, std::size_t& visited) {
  visit_ = &visit;
  visited_ = &visited;
  stopped_ = false;
  unit_start_ = root.raw_json_token().data();
  return read_value(root, Level::kTop, std::nullopt);
}

bool AccountValueReader::hand_over() {
  const std::size_t index = (*visited_)++;
  if ((*visit_)(view_, index)) return true;
  stopped_ = true;
  return false;
}

bool AccountValueReader::read_value(od::value& value, Level level, std::optional<std::uint64_t> slot) {
  const char* const start = unit_start_;
  unit_start_ = value.raw_json_token().data();
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  bool ok = false;
  if (type == od::json_type::null && level != Level::kTop) {
    view_ = AccountView{};
    view_.slot = slot;
    view_.state = DataState::kMissing;
    ok = hand_over();
  } else if (type == od::json_type::object) {
    od::object object;
    if (auto e = value.get_object().get(object)) return json_error(e);
    ok = read_object(object, level, slot);
  } else if (type == od::json_type::array && (level == Level::kTop || level == Level::kResult || level == Level::kValue)) {
    od::array items;
    if (auto e = value.get_array().get(items)) return json_error(e);
    const Level inner = level == Level::kTop ? Level::kTopElement : Level::kElement;
    ok = json::each(items, [&](auto e) { return json_error(e); },
                    [&](od::value& item) { return read_value(item, inner, slot); });
  } else {
    const std::string_view expected =
        level == Level::kTop || level == Level::kTopElement
            ? "an account, a {pubkey, account} entry or an RPC response, or an array of them"
            : "an account, a {pubkey, account} entry, an array of them, or null";
    return shape_error(value, level == Level::kResult ? "result"
                              : level == Level::kValue ? "value"
                              : level == Level::kTop   ? "(top level)"
                                                       : "(array element)",
                       expected);
  }
  unit_start_ = start;
  return ok;
}

bool AccountValueReader::read_context(od::value& context, std::optional<std::uint64_t>& slot) {
  od::json_type type;
  if (auto e = context.type().get(type)) return json_error(e);
  if (type == od::json_type::null) return true;
  od::object fields;
  if (!expect_object(context, "context", fields)) return false;
  return json::each(fields, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    if (field.escaped_key() != "slot") return true;
    return read_integer(field.value(), "context.slot", slot);
  });
}

bool AccountValueReader::read_object(od::object object, Level level, std::optional<std::uint64_t> slot) {
  const bool response_here = level == Level::kTop || level == Level::kTopElement;
  const bool context_here = response_here || level == Level::kResult;

  view_ = AccountView{};
  view_.slot = slot;
  has_owner_ = has_data_ = false;
  bool has_result = false, has_rpc = false, has_value = false, has_account = false, account_fields = false;
  bool has_context = false, value_later = false;
  const char* const start = unit_start_;
  const bool fields_ok = json::each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    od::value& value = field.value();
    if (context_here) {
      if (key == "context") {
        has_context = true;
        return read_context(value, slot);
      }
      if (key == "value") {
        if (has_value) return true;  // a repeated key: the first one counts
        has_value = true;
        // Nodes write the context first; a value before it waits for its slot.
        if (!has_context) {
          value_later = true;
          return true;
        }
        return read_value(value, Level::kValue, slot);
      }
    }
    if (response_here) {
      if (key == "result") {
        has_result = true;
        return read_value(value, Level::kResult, slot);
      }
      if (key == "error") return read_rpc_error(value);
      if (key == "jsonrpc" || key == "id") {
        has_rpc = true;
        return true;
      }
    }
    if (key == "pubkey") return read_string(value, "pubkey", view_.pubkey);
    if (key == "account") {
      has_account = true;
      return read_account(value);
    }
    bool known = false;
    if (!read_account_field(key, value, known)) return false;
    account_fields = account_fields || known;
    return true;
  });
  unit_start_ = start;
  if (!fields_ok) return false;

  if (has_result || has_rpc) {
    if (!has_result) return fail(Error::Kind::Shape, "a JSON-RPC response without `result` or `error`");
    if (has_value || has_account || account_fields) {
      return fail(Error::Kind::Shape, "an object with both `result` and account fields");
    }
    return true;
  }
  if (has_value) {
    if (has_account || account_fields) return fail(Error::Kind::Shape, "an object with both `value` and account fields");
    if (!value_later) return true;
    bool any = false;
    if (auto e = object.reset().get(any)) return json_error(e);
    bool read = false;
    const bool ok = json::each(object, [&](auto e) { return json_error(e); }, [&](od::field& field) {
      if (read || field.escaped_key() != "value") return true;
      read = true;
      return read_value(field.value(), Level::kValue, slot);
    });
    unit_start_ = start;
    return ok;
  }
  if (!has_account && !account_fields) {
    return fail(Error::Kind::Shape, "an object that is not an account, a {pubkey, account} entry or an RPC response");
  }
  if (has_account && account_fields) return fail(Error::Kind::Shape, "an entry with account fields beside `account`");
  if (!has_owner_) return fail(Error::Kind::Shape, "an account without `owner`");
  if (!has_data_) return fail(Error::Kind::Shape, "an account without `data`");
  return hand_over();
}

bool AccountValueReader::read_account(od::value& value) {
  const char* const start = unit_start_;
  unit_start_ = value.raw_json_token().data();
  od::object account;
  if (!expect_object(value, "account", account)) return false;
  bool known = false;
  const bool ok = json::each(account, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    return read_account_field(field.escaped_key(), field.value(), known);
  });
  unit_start_ = start;
  return ok;
}

bool AccountValueReader::read_account_field(std::string_view key, od::value& value, bool& known) {
  known = true;
  if (key == "data") {
    has_data_ = true;
    return read_data(value);
  }
  if (key == "owner") {
    has_owner_ = true;
    return read_string(value, "owner", view_.owner);
  }
  if (key == "lamports") return read_integer(value, "lamports", view_.lamports);
  if (key == "executable") return read_bool(value, "executable", view_.executable);
  if (key == "rentEpoch") return read_rent_epoch(value);
  if (key == "space") {
    std::optional<std::uint64_t> space;
    return read_integer(value, "space", space);
  }
  known = false;
  return true;
}

bool AccountValueReader::read_data(od::value& value) {
  const char* const at = value.raw_json_token().data();
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  std::string_view text, encoding = "base58";
  if (type == od::json_type::object) {
    view_.state = DataState::kParsed;
    view_.data = {};
    return true;
  }
  if (type == od::json_type::string) {
    if (!read_string(value, "data", text)) return false;
  } else if (type == od::json_type::array) {
    od::array parts;
    if (auto e = value.get_array().get(parts)) return json_error(e);
    if (!read_encoded(parts, {"data", "data[0]", "data[1]"}, text, encoding, at)) return false;
  } else {
    return shape_error(value, "data", "[text, encoding], a base58 string or a parsed object");
  }
  const auto bytes = data_.decode(text, encoding);
  if (bytes) {
    view_.state = DataState::kBytes;
    view_.data = *bytes;
  } else {
    view_.state = DataState::kUnreadable;
    view_.data = {};
    view_.data_error = data_.error();
  }
  return true;
}

bool AccountValueReader::read_bool(od::value& value, std::string_view field, std::optional<bool>& out) {
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::null) {
    out.reset();
    return true;
  }
  bool b = false;
  if (type != od::json_type::boolean || value.get_bool().get(b) != simdjson::SUCCESS) {
    return shape_error(value, field, "a boolean or null");
  }
  out = b;
  return true;
}

// Nodes write the rent epoch of rent-exempt accounts as 2^64 - 1, which some
// JSON writers turn into the float 1.8446744073709552e19.
bool AccountValueReader::read_rent_epoch(od::value& value) {
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e);
  if (type == od::json_type::number) {
    od::number_type kind;
    if (auto e = value.get_number_type().get(kind)) return json_error(e);
    double d = 0;
    if (kind == od::number_type::floating_point_number && value.get_double().get(d) == simdjson::SUCCESS &&
        d >= 18446744073709551615.0) {
      view_.rent_epoch = UINT64_MAX;
      return true;
    }
  }
  return read_integer(value, "rentEpoch", view_.rent_epoch);
}

}  // namespace brisquel::acct
