// One account as a reader or a caller hands it over: where it lives, who owns
// it, and its data bytes. Views point into the reader's buffers (or the
// caller's) and are valid during the visit only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace brisquel::acct {

// What an account's data is.
enum class DataState : std::uint8_t {
  kBytes,       // `data` holds the bytes
  kMissing,     // no account (a null entry of getMultipleAccounts, a null value)
  kParsed,      // jsonParsed: the node decoded it already, no bytes
  kUnreadable,  // the data text did not decode: `data_error` says why
};

struct AccountView {
  std::string_view pubkey;  // base58; empty when the input does not say
  std::string_view owner;   // base58; empty when the input does not say
  std::optional<std::uint64_t> lamports;
  std::optional<std::uint64_t> slot;
  std::optional<std::uint64_t> rent_epoch;
  std::optional<bool> executable;
  DataState state = DataState::kBytes;
  std::span<const std::uint8_t> data;
  std::string_view data_error;
};

}  // namespace brisquel::acct
