#include "core/json/value_reads.hpp"

#include <cstring>
#include <format>
#include <limits>
#include <utility>

#include "core/json/text_scan.hpp"

namespace brisquel::json {

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

namespace {

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

bool ValueReads::fail(Error::Kind kind, std::string message, const char* at) {
  failure_.kind = kind;
  failure_.text = std::move(message);
  failure_.at = at != nullptr ? at : unit_start_;
  return false;
}

bool ValueReads::json_error(simdjson::error_code error, const char* at) {
  if (error == simdjson::DEPTH_ERROR) {
    return fail(Error::Kind::TooLarge, std::format("nesting deeper than {} levels", limits_.max_depth), at);
  }
  return fail(Error::Kind::InvalidJson, std::format("invalid JSON: {}", simdjson::error_message(error)), at);
}

bool ValueReads::shape_error(od::value& value, std::string_view field, std::string_view expected) {
  const std::string_view token = value.raw_json_token();
  od::json_type type;
  if (auto e = value.type().get(type)) return json_error(e, token.data());
  std::string found(type_name(type));
  if (type != od::json_type::array && type != od::json_type::object && type != od::json_type::null) {
    found += " " + excerpt(token);
  }
  return fail(Error::Kind::Shape, std::format("`{}`: expected {}, found {}", field, expected, found),
              token.data());
}

// ---- typed reads ----

bool ValueReads::read_encoded(od::array pair, const PairNames& names, std::string_view& text,
                              std::string_view& encoding, const char* at) {
  std::size_t n = 0;
  const bool ok = each(pair, [&](auto e) { return json_error(e); }, [&](od::value& item) {
    ++n;
    if (n == 1) return read_string(item, names.text, text);
    if (n == 2) return read_string(item, names.encoding, encoding);
    return fail(Error::Kind::Shape, std::format("`{}`: expected [text, encoding], found a longer array", names.field),
                item.raw_json_token().data());
  });
  if (!ok) return false;
  if (n != 2) return fail(Error::Kind::Shape, std::format("`{}`: expected [text, encoding]", names.field), at);
  return true;
}

template <class T>
bool ValueReads::read_integer(od::value& value, std::string_view field, std::optional<T>& out) {
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

bool ValueReads::read_string(od::value& value, std::string_view field, std::string_view& out,
                             bool replace_surrogates) {
  // Most strings hold no escape: their text in the input is the string, with
  // no copy. The token runs to the next structural character, so the closing
  // quote is its last quote; stage 1 has checked UTF-8 and control characters.
  const std::string_view token = value.raw_json_token();
  if (!token.empty() && token[0] == '"') {
    const std::size_t close = token.rfind('"');
    if (close > 0) {
      const std::string_view text = token.substr(1, close - 1);
      if (!escapes_ || std::memchr(text.data(), '\\', text.size()) == nullptr) {
        out = text;
        return true;
      }
    }
  }
  const auto e = value.get_string(replace_surrogates).get(out);
  if (e == simdjson::SUCCESS) return true;
  if (e == simdjson::INCORRECT_TYPE) return shape_error(value, field, "a string");
  if (e == simdjson::STRING_ERROR) {
    return fail(Error::Kind::InvalidJson, std::format("`{}`: invalid escape in string (a lone surrogate?)", field),
                token.data());
  }
  return json_error(e);
}

bool ValueReads::expect_object(od::value& value, std::string_view field, od::object& out) {
  const auto e = value.get_object().get(out);
  if (e == simdjson::SUCCESS) return true;
  if (e == simdjson::INCORRECT_TYPE) return shape_error(value, field, "an object");
  return json_error(e);
}

bool ValueReads::expect_array(od::value& value, std::string_view field, od::array& out) {
  const auto e = value.get_array().get(out);
  if (e == simdjson::SUCCESS) return true;
  if (e == simdjson::INCORRECT_TYPE) return shape_error(value, field, "an array");
  return json_error(e);
}

bool ValueReads::read_rpc_error(od::value value) {
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
    if (!message.empty()) text += std::format(": {}", utf8_prefix(message, 1000));
  } else if (type == od::json_type::string) {
    std::string_view message;
    if (!read_string(value, "error", message)) return false;
    text += std::format(": {}", utf8_prefix(message, 1000));
  }
  return fail(Error::Kind::RpcError, std::move(text), at);
}

template bool ValueReads::read_integer(od::value&, std::string_view, std::optional<std::uint32_t>&);
template bool ValueReads::read_integer(od::value&, std::string_view, std::optional<std::uint64_t>&);
template bool ValueReads::read_integer(od::value&, std::string_view, std::optional<std::int64_t>&);

}  // namespace brisquel::json
