// One transaction as the event walk needs it, whatever it was read from (RPC
// JSON text, Python objects, the wire format): plain views into text that the
// reader keeps alive while the transaction is walked.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace brisquel::tx {

// An instruction's accounts: a run of TxView::accounts.
struct AccountSpan {
  std::uint32_t first = 0;
  std::uint32_t count = 0;
};

// An instruction's data: base58 text as RPC JSON gives it, or the raw bytes
// of the wire format.
struct InstructionData {
  std::string_view text;
  std::span<const std::uint8_t> bytes;
  bool raw = false;  // `bytes` holds the data, not `text`
};

// An instruction run inside an outer one (an entry of meta.innerInstructions).
struct InnerInstruction {
  std::string_view program;  // base58 address of the invoked program
  std::string_view data;     // base58 text of the instruction data, as RPC JSON gives it
  std::optional<std::uint32_t> stack_height;  // invoke depth, when the node reports it
  AccountSpan accounts;      // read only with ReadScope::kCalls
};

// meta.innerInstructions[k]: the instructions run inside outer instruction `index`.
struct InnerGroup {
  std::uint32_t index = 0;
  std::vector<InnerInstruction> instructions;
};

// One account of an instruction, resolved through the transaction's keys.
struct AccountRef {
  static constexpr std::uint32_t kNamed = UINT32_MAX;  // jsonParsed names the address itself
  std::string_view address;  // base58; empty when `index` is past the transaction's keys
  std::uint32_t index = kNamed;
};

// What an outer instruction holds besides its program (read only with ReadScope::kCalls).
struct OuterInstruction {
  AccountSpan accounts;
  InstructionData data;
};

// meta.err, as far as it says where and why: {"InstructionError": [i, detail]}
// with a detail of {"Custom": n} or a name, or a transaction-level error
// ("InsufficientFundsForFee", {"InsufficientFundsForRent": {...}}).
struct TxError {
  std::optional<std::uint32_t> instruction;  // the failing outer instruction
  std::optional<std::uint32_t> custom;       // the program's custom code
  std::string_view name;  // the detail's name ("Custom", "ProgramFailedToComplete"), else the error's own
};

// What a version 1 transaction's config asks for, each value only where the
// transaction sets it. (Legacy and version 0 transactions ask the same with
// compute-budget instructions, which version 1 ignores.)
struct TxConfig {
  std::optional<std::uint64_t> priority_fee;  // lamports, for the whole transaction
  std::optional<std::uint32_t> compute_unit_limit;
  std::optional<std::uint32_t> loaded_accounts_data_size_limit;  // bytes
  std::optional<std::uint32_t> heap_size;                        // bytes
  bool operator==(const TxConfig&) const = default;
};

// One entry of meta.preTokenBalances or meta.postTokenBalances.
struct TokenBalance {
  std::uint32_t account_index = 0;
  std::string_view mint;
  std::string_view owner;    // empty when the node does not say
  std::string_view program;  // the token program; empty when the node does not say
  std::optional<std::uint64_t> amount;  // raw, in the mint's smallest unit
  std::optional<std::uint8_t> decimals;
};

// What a transaction cost and changed, as its meta says: read only with
// ReadScope::kSummary, for the transactions and balances tables.
struct TxSummary {
  std::optional<std::uint64_t> fee;  // lamports
  std::optional<std::uint64_t> compute_units_consumed;
  std::string_view error;  // meta.err as JSON text, empty when it is null or absent
  std::vector<std::uint64_t> pre_balances, post_balances;  // lamports, per account key
  std::vector<TokenBalance> pre_tokens, post_tokens;
  std::uint32_t signature_count = 0;  // as the transaction lists them
};

// The largest transaction version read; a larger one is a problem.
inline constexpr std::uint8_t kMaxTxVersion = 1;

struct TxView {
  // Set when the transaction itself cannot be read (an undefined version,
  // wire bytes that break the format, a program index past its keys): it names
  // the version and what is wrong. Nothing below but the signature, slot,
  // block time and failure is then meaningful, and the transaction yields an
  // error row instead of events or calls; the transactions around it read on.
  // Of kind Unreadable, its text the reason.
  Error problem;
  std::optional<std::uint8_t> version;    // nullopt: legacy (or a node that does not say)
  TxConfig config;                        // version 1 only
  std::string_view signature;             // base58, the first signature; empty when unknown
  std::optional<std::uint64_t> slot;
  std::optional<std::int64_t> block_time;
  bool failed = false;                    // meta.err is not null
  bool has_logs = false;                  // meta.logMessages is present and not null
  std::vector<std::string_view> logs;     // meta.logMessages, UTF-8
  std::vector<std::string_view> outer_programs;  // program address of each outer instruction, in order
  std::vector<InnerGroup> inner;          // meta.innerInstructions, in the node's order
  std::optional<std::uint32_t> position;  // its index in the block it was read from

  // Read only with ReadScope::kCalls:
  std::vector<std::string_view> account_keys;  // static keys, then loaded writable, then loaded read-only
  std::vector<OuterInstruction> outer;         // beside outer_programs, one per outer instruction
  std::vector<AccountRef> accounts;            // every instruction's accounts, in runs
  TxError error;                               // meaningful when `failed`

  // Read only with ReadScope::kSummary (which reads what kCalls does too):
  TxSummary summary;

  std::span<const AccountRef> accounts_of(AccountSpan span) const {
    return std::span<const AccountRef>(accounts).subspan(span.first, span.count);
  }
  // Key 0 pays the fee; empty when the transaction lists no keys.
  std::string_view fee_payer() const { return account_keys.empty() ? std::string_view{} : account_keys[0]; }
};

}  // namespace brisquel::tx
