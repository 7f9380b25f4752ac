// Reading Solana RPC JSON text into transaction views, one transaction at a time.
//
// A text is one JSON value or JSON lines (see core/json/frames.hpp). Each value
// is one of:
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

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/json/read_error.hpp"
#include "core/json/visitor.hpp"
#include "core/tx/tx_view.hpp"

namespace brisquel::tx {

// The framing, bounds and errors are those of every RPC JSON reader.
using json::kJsonPadding;
using json::ReadResult;
using json::RpcJsonLimits;

// What a reader reads of each transaction: what the event walk needs, or
// also what instruction calls need (keys, instruction accounts and data, the
// error), which costs more; or that and the summary of its meta (fee, compute
// units, balances), which costs more again. Each scope reads all that the
// ones before it read.
enum class ReadScope : std::uint8_t { kEvents, kCalls, kSummary };

// The caller's visitor of transactions (see core/json/visitor.hpp).
using TxVisitor = json::Visitor<TxView>;

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

  // The slot given to the transactions of blocks that do not say theirs (a
  // getBlock result carries no slot: its caller knows it); none by default.
  void set_block_slot(std::optional<std::uint64_t> slot);

  // Also reads what only log lines are: log-line strings in a top-level
  // array (each a transaction of one line) and arrays of them there (each a
  // transaction of those lines), and objects holding
  // `logMessages` themselves or a `meta` without a `transaction` (each a
  // transaction of those lines). An escaped lone surrogate in a log line
  // reads as U+FFFD (no event line holds one). For callers that want
  // lines, not transactions; off by default.
  void accept_log_lines();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brisquel::tx
