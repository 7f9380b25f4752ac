// What reading RPC JSON text reports: the bounds it keeps and the outcome of
// one read (its error placed at a line, column and offset).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/error.hpp"

namespace brisquel::json {

// Bytes that a padded text must have readable after its end (any content).
inline constexpr std::size_t kJsonPadding = 64;

struct RpcJsonLimits {
  std::size_t max_value_bytes = std::size_t{1} << 30;  // one JSON value: a whole text, or one line
  std::size_t max_depth = 256;                          // nesting of arrays and objects
  std::size_t max_items = std::size_t{1} << 16;         // per transaction: logs, keys, instructions, groups,
                                                        // instruction accounts
};

struct ReadResult {
  std::size_t visited = 0;  // items handed to the visitor (transactions, accounts)
  bool stopped = false;     // the visitor asked to stop
  std::optional<Error> error;  // a reading kind, with its line, column and offset

  bool ok() const { return !error; }
};

// A failure inside a value, before it is placed in the text.
struct Failure : Error {
  const char* at = nullptr;  // where the bad value starts in the text, when known
};

}  // namespace brisquel::json
