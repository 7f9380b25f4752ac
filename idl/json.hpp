// The parsed JSON value tree that the IDL readers walk.
//
// Objects keep each key once (the last occurrence wins) and hold their members
// sorted by ascending byte order of the key, so readers visit keys in that order
// and can find one by binary search. Integers without fraction or exponent that
// fit 64 bits are held exactly: non-negative ones as UInt, negative ones as Int.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "codec/result.hpp"

namespace brisquel::json {

struct Value;
using Array = std::vector<Value>;
using Member = std::pair<std::string, Value>;
using Object = std::vector<Member>;  // sorted by key, keys unique

enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

struct Value {
  std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, Array, Object> data;

  Value() = default;
  template <class T>
  explicit Value(T&& v) : data(std::forward<T>(v)) {}

  Kind kind() const { return static_cast<Kind>(data.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_string() const { return kind() == Kind::String; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_object() const { return kind() == Kind::Object; }

  bool as_bool() const { return std::get<bool>(data); }
  std::uint64_t as_uint() const { return std::get<std::uint64_t>(data); }
  std::int64_t as_int() const { return std::get<std::int64_t>(data); }
  double as_float() const { return std::get<double>(data); }
  const std::string& as_string() const { return std::get<std::string>(data); }
  const Array& as_array() const { return std::get<Array>(data); }
  const Object& as_object() const { return std::get<Object>(data); }

  // The member `key` of an object, or nullptr (also when this is not an object).
  const Value* find(std::string_view key) const;
};

// Parses a whole UTF-8 text. Errors read "{message} at line {L} column {C}".
Result<Value> parse(std::string_view text);

// What an error message calls a value: "null", "boolean `true`", "integer `5`",
// "floating point `1.5`", "string \"x\"", "sequence", "map".
std::string describe(const Value& v);

// A float as the messages and compact JSON write it: shortest round trip, with
// ".0" for integral values and an exponent only for very large or small ones
// ("4.0", "0.1", "1e300", "1.5e-7").
std::string format_float(double d);

// Compact JSON text of a value (no spaces; keys in stored order).
std::string to_compact(const Value& v);

}  // namespace brisquel::json
