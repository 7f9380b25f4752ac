// Reading Solana RPC JSON text into account views, one account at a time.
//
// A text is one JSON value or JSON lines (see core/json/frames.hpp). Each value
// is one of:
//   - an account object (`data`, `owner`, `lamports`, `executable`, `rentEpoch`),
//   - an entry `{"pubkey": ..., "account": {...}}` (getProgramAccounts, and
//     `solana account --output json`),
//   - a result with context, `{"context": {"slot": N}, "value": ...}`, whose
//     slot becomes the slot of every account in `value`, and whose value is an
//     account, an entry, null, or an array of them (getAccountInfo,
//     getMultipleAccounts, getProgramAccounts with context),
//   - a JSON-RPC response whose `result` is any of these, or an array of
//     entries or accounts,
//   - an array of any of these.
// Null where an account may stand is a missing account: it is handed over as
// such (DataState::kMissing), not skipped, so callers can count it.
//
// Data is `[text, "base64"]`, `[text, "base64+zstd"]`, `[text, "base58"]`, a
// bare base58 string (the legacy binary encoding), or an object (jsonParsed:
// DataState::kParsed). Data that does not decode (bad text, an encoding we do
// not read, a zstd frame that is broken or decompresses past the bound) fails
// its account only (DataState::kUnreadable); reading goes on. Anything else
// that is not one of these shapes is a ReadError, and reading stops there.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "core/acct/account_data.hpp"
#include "core/acct/account_view.hpp"
#include "core/json/read_error.hpp"
#include "core/json/visitor.hpp"

namespace brisquel::acct {

using AccountVisitor = json::Visitor<AccountView>;

// Owns the JSON parser and the data buffers, all reused: once warm, reading
// allocates nothing per account. Not for use by two threads at once.
class RpcAccountReader {
 public:
  explicit RpcAccountReader(json::RpcJsonLimits limits = {}, std::size_t max_account_bytes = kMaxAccountBytes);
  ~RpcAccountReader();
  RpcAccountReader(const RpcAccountReader&) = delete;
  RpcAccountReader& operator=(const RpcAccountReader&) = delete;

  // `text` must be followed in memory by json::kJsonPadding readable bytes.
  json::ReadResult read_padded(std::string_view text, AccountVisitor visit);
  // Any text: copied (a line at a time for JSON lines) into a reused padded buffer.
  json::ReadResult read(std::string_view text, AccountVisitor visit);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brisquel::acct
