// Typed reads of RPC JSON fields with simdjson On-Demand, and the failures
// they make: the part every reader of RPC values shares.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/json/frames.hpp"

namespace brisquel::json {

namespace detail {
template <class R>
struct ResultValue;
template <class T>
struct ResultValue<simdjson::simdjson_result<T>> {
  using type = T;
};
}  // namespace detail

// Loops over an object's fields or an array's elements, stopping at the
// first JSON error, which `on_error` turns into the reader's failure.
template <class Range, class OnError, class Body>
bool each(Range& range, OnError&& on_error, Body&& body) {
  for (auto item_result : range) {
    typename detail::ResultValue<std::remove_cvref_t<decltype(item_result)>>::type item;
    if (auto e = std::move(item_result).get(item)) return on_error(e);
    if (!body(item)) return false;
  }
  return true;
}

// A JSON type's name for messages ("an object", "a number", ...).
std::string_view type_name(od::json_type type);

class ValueReads {
 public:
  explicit ValueReads(const RpcJsonLimits& limits) : limits_(limits) {}

  const Failure& failure() const { return failure_; }
  Failure& failure() { return failure_; }

  // Whether the value being read may hold escaped strings (a backslash in
  // its text); when not, every string is read as it stands.
  void set_escapes(bool escapes) { escapes_ = escapes; }

 protected:
  // Typed reads: false with failure() set when the value is not of the type.
  // Null reads as absent.
  template <class T>
  bool read_integer(od::value& value, std::string_view field, std::optional<T>& out);
  // `replace_surrogates`: an escaped lone surrogate reads as U+FFFD instead of failing.
  bool read_string(od::value& value, std::string_view field, std::string_view& out, bool replace_surrogates = false);
  bool expect_object(od::value& value, std::string_view field, od::object& out);
  bool expect_array(od::value& value, std::string_view field, od::array& out);

  // Bytes as RPC nodes send them: `[text, encoding]`. `names`: the field and
  // its two items as messages name them; a pair of a wrong length fails at
  // `at` (nullptr: the object being read).
  struct PairNames {
    std::string_view field, text, encoding;
  };
  bool read_encoded(od::array pair, const PairNames& names, std::string_view& text, std::string_view& encoding,
                    const char* at = nullptr);

  // Failures are cold: their formatting stays out of the hot paths that call them.
  [[gnu::cold]] bool json_error(simdjson::error_code error, const char* at = nullptr);
  [[gnu::cold]] bool shape_error(od::value& value, std::string_view field, std::string_view expected);
  [[gnu::cold]] bool fail(Error::Kind kind, std::string message, const char* at = nullptr);
  // A JSON-RPC `error` member: null is no error, anything else fails the read.
  bool read_rpc_error(od::value value);

  RpcJsonLimits limits_;
  Failure failure_;
  const char* unit_start_ = nullptr;  // the object being read, for errors without a place of their own
  bool escapes_ = true;
};

}  // namespace brisquel::json
