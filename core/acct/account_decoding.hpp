// Decoding accounts: the owner picks the program (discriminators collide
// across programs, so never the data alone), the data's longest matching
// discriminator picks the account type, and the one walk reads the body after
// it with any sink. This is the whole of the logic every output shares: the
// Arrow tables (account_tables.hpp) and the Python values use it alike.
//
// For one account:
//   AccountMatch match;
//   switch (programs.classify(view, match)) {
//     case AccountOutcome::kMatched: {
//       WalkState state(match.body);
//       auto value = walk_account(sink, state, *match.layout, slot, old_versions);
//       if (!value) ... describe(state.error) ...
//     }
//     ...  // every other outcome is counted, not decoded (AccountCounts::count)
//   }
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/acct/account_view.hpp"
#include "core/borsh_walk.hpp"
#include "core/compiled_idl.hpp"
#include "core/tx/program_table.hpp"

namespace brisquel::acct {

struct AccountProgram {
  std::string address;  // base58: the owner of its accounts
  std::shared_ptr<const CompiledIdl> idl;
};

enum class AccountOutcome : std::uint8_t {
  kMatched,     // one of our programs owns it and its data starts with an account's discriminator
  kMissing,     // no account there
  kOtherOwner,  // not owned by any of our programs
  kParsed,      // ours, but sent as jsonParsed: no bytes to decode
  kUnreadable,  // ours, but its data text did not decode (AccountView::data_error)
  kNoMatch,     // ours, but no discriminator of the program's accounts starts its data
};

struct AccountMatch {
  std::uint32_t program = 0;  // set for every outcome but kMissing and kOtherOwner
  const AccountLayout* layout = nullptr;  // kMatched
  std::span<const std::uint8_t> body;     // kMatched: the data after the discriminator
};

// What became of the accounts of one call.
struct AccountCounts {
  std::uint64_t decoded = 0;  // rows or values made
  std::uint64_t failed = 0;   // matched but did not decode: error rows or error values
  std::uint64_t missing = 0;
  std::uint64_t other_owner = 0;
  std::uint64_t parsed = 0;
  std::uint64_t unreadable = 0;
  std::uint64_t no_match = 0;

  // Counts an outcome other than kMatched (matched accounts count as decoded or failed).
  void count(AccountOutcome outcome) {
    switch (outcome) {
      case AccountOutcome::kMatched: break;
      case AccountOutcome::kMissing: ++missing; break;
      case AccountOutcome::kOtherOwner: ++other_owner; break;
      case AccountOutcome::kParsed: ++parsed; break;
      case AccountOutcome::kUnreadable: ++unreadable; break;
      case AccountOutcome::kNoMatch: ++no_match; break;
    }
  }
  AccountCounts& operator+=(const AccountCounts& o) {
    decoded += o.decoded, failed += o.failed, missing += o.missing, other_owner += o.other_owner;
    parsed += o.parsed, unreadable += o.unreadable, no_match += o.no_match;
    return *this;
  }
};

// The counts of a call and who owns the accounts of other programs: the
// tables and the Python values count alike.
class AccountTally {
 public:
  // Counts an outcome other than kMatched, noting the owner of another program's account.
  void note(AccountOutcome outcome, const AccountView& account);

  AccountCounts counts;

  // Who owns the accounts of other programs, most accounts first (at most
  // kOwnersListed owners; "" where the input does not say).
  std::vector<std::pair<std::string, std::uint64_t>> other_owners() const;

  static constexpr std::size_t kOwnersListed = 256;

 private:
  std::unordered_map<std::string, std::uint64_t> other_owners_;
};

// The programs of an account decoder, by owner. Immutable: shared by every
// thread that decodes.
class AccountPrograms {
 public:
  // An address listed twice keeps its first program.
  explicit AccountPrograms(std::vector<AccountProgram> programs);

  std::span<const AccountProgram> programs() const { return programs_; }

  AccountOutcome classify(const AccountView& account, AccountMatch& match) const;

 private:
  static std::vector<std::string> addresses(const std::vector<AccountProgram>& programs);

  std::vector<AccountProgram> programs_;
  tx::ProgramTable owners_;
};

// The walk over a matched account's body (the WalkState's span) into `slot`
// of `sink`. A layout that cannot decode fails with its reason; a body
// shorter than the layout fails with the walk's message, unless
// `old_versions` and it ends where a top-level field begins (the rest is
// then missing, as in an account written by an older program). Bytes after
// the layout are left unread.
template <class Sink>
typename Sink::Value walk_account(Sink& sink, WalkState& state, const AccountLayout& layout,
                                  typename Sink::Slot slot, bool old_versions) {
  if (layout.unusable.kind != Error::Kind::None) [[unlikely]] {
    state.error = layout.unusable;
    return Sink::failure();
  }
  BorshWalk<Sink> walk(sink, state);
  return walk.decode_fields(*layout.fields, slot, old_versions);
}

}  // namespace brisquel::acct
