// Reading Solana RPC JSON text into transaction views, one transaction at a time.
//
// A text is one JSON value or JSON lines. A text that is one value (however many
// lines it spans) is read as that value; a text whose first value ends on its
// first line is read as JSON lines, one value per line (blank lines skipped).
// Each value is one of:
//   - a transaction object (getTransaction result, block entry, blockSubscribe entry),
//   - a block object (getBlock result, with `transactions`),
//   - a JSON-RPC response whose `result` is either of those, or null (nothing
//     found: no transaction, no error),
//   - an array of any of these (null elements are results that found nothing).
// A response with an `error` member is an error naming its code and message;
// any other value is an error. Transactions reach the visitor in text order. A
// block's transactions are handed over once the whole block has been read
// (nodes write its blockTime after them), so a block with an error anywhere
// hands over none of them. Reading stops at the first error; for JSON lines the
// error says where the next line starts, should the caller want to go on.
//
// Slot and block time come from the transaction object, else from the block
// around it when that has them (blocks carry no slot: then none).
//
// Types: a field the reader uses with the wrong type is an error, except that
// null stands for absent wherever a field may be absent. Keys are matched as
// written (an escaped key is a different key). Values the reader skips are
// checked for balance but not fully validated; UTF-8 is validated everywhere.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/tx/tx_view.hpp"

namespace brisquel::tx {

// Bytes that a padded text must have readable after its end (any content).
inline constexpr std::size_t kJsonPadding = 64;

// What a reader reads of each transaction: what the event walk needs, or
// also what instruction calls need (keys, instruction accounts and data, the
// error), which costs more.
enum class ReadScope : std::uint8_t { kEvents, kCalls };

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
  kTransaction,  // a wire-format transaction that does not parse, or a program index out of range
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
  std::size_t visited = 0;  // transactions handed to the visitor
  bool stopped = false;     // the visitor asked to stop
  std::optional<ReadError> error;

  bool ok() const { return !error; }
};

// A non-owning reference to the caller's visitor: called as
// visit(const TxView&, std::size_t index) with the running transaction index
// (0-based, over the whole text); returns false to stop, or void. It must not
// throw.
class TxVisitor {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, TxVisitor> && std::invocable<F&, const TxView&, std::size_t>)
  TxVisitor(F&& f)  // NOLINT: converts from any callable on purpose
      : ctx_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* ctx, const TxView& view, std::size_t index) -> bool {
          auto& fn = *static_cast<std::remove_reference_t<F>*>(ctx);
          if constexpr (std::is_void_v<std::invoke_result_t<F&, const TxView&, std::size_t>>) {
            fn(view, index);
            return true;
          } else {
            return static_cast<bool>(fn(view, index));
          }
        }) {}

  bool operator()(const TxView& view, std::size_t index) const { return call_(ctx_, view, index); }

 private:
  void* ctx_;
  bool (*call_)(void*, const TxView&, std::size_t);
};

// Owns the JSON parser and every buffer a transaction needs, all reused: once
// warm, reading allocates nothing per transaction. Views handed to the visitor
// are valid during the call only. Not for use by two threads at once.
class RpcJsonReader {
 public:
  explicit RpcJsonReader(RpcJsonLimits limits = {}, ReadScope scope = ReadScope::kEvents);
  ~RpcJsonReader();
  RpcJsonReader(const RpcJsonReader&) = delete;
  RpcJsonReader& operator=(const RpcJsonReader&) = delete;

  // `text` must be followed in memory by kJsonPadding readable bytes (of any
  // content): a caller reading a file can allocate that much more. No copy is made.
  ReadResult read_padded(std::string_view text, TxVisitor visit);

  // Any text: copied (a line at a time for JSON lines) into a reused padded buffer.
  ReadResult read(std::string_view text, TxVisitor visit);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brisquel::tx
