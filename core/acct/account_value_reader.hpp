// The shapes of RPC account values, read with simdjson On-Demand into one
// reused AccountView. Private to the account reader (rpc_accounts.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/acct/account_data.hpp"
#include "core/acct/rpc_accounts.hpp"
#include "core/json/value_reads.hpp"

namespace brisquel::acct {

namespace od = simdjson::ondemand;

class AccountValueReader : public json::ValueReads {
 public:
  AccountValueReader(const json::RpcJsonLimits& limits, std::size_t max_account_bytes)
      : ValueReads(limits), data_(max_account_bytes) {}

  // Reads one top-level value and hands each account in it to `visit`,
  // counting them in `visited`. False when it failed (failure()) or the visitor
  // asked to stop (stopped()).
  bool read(od::value root, const AccountVisitor& visit, std::size_t& visited);
  bool stopped() const { return stopped_; }

 private:
  // Where a value stands, which decides what it may be.
  enum class Level : std::uint8_t {
    kTop,         // anything
    kTopElement,  // an element of a top-level array: any object, or null
    kResult,      // a response's `result`: a result with context, an account or entry, an array of them, or null
    kValue,       // a result's `value`: an account or entry, an array of them, or null
    kElement,     // an element of a result's array: an account or entry, or null
  };

  bool read_value(od::value& value, Level level, std::optional<std::uint64_t> slot);
  bool read_object(od::object object, Level level, std::optional<std::uint64_t> slot);
  bool read_context(od::value& context, std::optional<std::uint64_t>& slot);
  bool read_account(od::value& value);
  bool read_account_field(std::string_view key, od::value& value, bool& known);
  bool read_data(od::value& value);
  bool read_bool(od::value& value, std::string_view field, std::optional<bool>& out);
  bool read_rent_epoch(od::value& value);
  bool hand_over();

  AccountData data_;
  AccountView view_;
  const AccountVisitor* visit_ = nullptr;
  std::size_t* visited_ = nullptr;
  bool stopped_ = false;
  bool has_owner_ = false, has_data_ = false;
};

}  // namespace brisquel::acct
