// What reading RPC JSON text reports: the bounds it keeps, its errors (with
// line, column and offset), and the outcome of one read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace brisquel::json {

// Bytes that a padded text must have readable after its end (any content).
inline constexpr std::size_t kJsonPadding = 64;

struct RpcJsonLimits {
  std::size_t max_value_bytes = std::size_t{1} << 30;  // one JSON value: a whole text, or one line
  std::size_t max_depth = 256;                          // nesting of arrays and objects
  std::size_t max_items = std::size_t{1} << 16;         // per transaction: logs, keys, instructions, groups,
                                                        // instruction accounts
};

enum class ReadErrorKind : std::uint8_t {
  kInvalidJson,  // not JSON, or a value left incomplete before the end of its line
  kTruncated,    // the text ends inside a value: a file cut short
  kShape,        // JSON, but not an accepted shape, or a field of the wrong type
  kRpcError,     // a JSON-RPC error response
  kTooLarge,     // a value or a list beyond RpcJsonLimits
};

struct ReadError {
  ReadErrorKind kind = ReadErrorKind::kInvalidJson;
  std::string message;
  // Where the bad value starts: 1-based line and column (bytes), and byte offset.
  std::size_t line = 1;
  std::size_t column = 1;
  std::size_t offset = 0;
  // JSON lines: the offset of the next line, where a caller may go on reading.
  std::optional<std::size_t> resume_at;

  std::string describe() const;  // "line 3, column 1: ..."
};

struct ReadResult {
  std::size_t visited = 0;  // items handed to the visitor (transactions, accounts)
  bool stopped = false;     // the visitor asked to stop
  std::optional<ReadError> error;

  bool ok() const { return !error; }
};

// A failure inside a value, before it is placed in the text.
struct Failure {
  ReadErrorKind kind = ReadErrorKind::kShape;
  std::string message;
  const char* at = nullptr;  // where the bad value starts in the text, when known
};

}  // namespace brisquel::json
