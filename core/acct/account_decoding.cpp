#include "core/acct/account_decoding.hpp"

#include <algorithm>

namespace brisquel::acct {

std::vector<std::string> AccountPrograms::addresses(const std::vector<AccountProgram>& programs) {
  std::vector<std::string> out;
  out.reserve(programs.size());
  for (const AccountProgram& p : programs) out.push_back(p.address);
  return out;
}

AccountPrograms::AccountPrograms(std::vector<AccountProgram> programs)
    : programs_(std::move(programs)), owners_(addresses(programs_)) {}

AccountOutcome AccountPrograms::classify(const AccountView& account, AccountMatch& match) const {
  if (account.state == DataState::kMissing) return AccountOutcome::kMissing;
  const std::uint32_t program = owners_.find(account.owner);
  if (program == tx::ProgramTable::kNone) return AccountOutcome::kOtherOwner;
  match.program = program;
  if (account.state == DataState::kParsed) return AccountOutcome::kParsed;
  if (account.state == DataState::kUnreadable) return AccountOutcome::kUnreadable;
  const AccountLayout* layout = programs_[program].idl->match_account(account.data);
  if (layout == nullptr) return AccountOutcome::kNoMatch;
  match.layout = layout;
  match.body = account.data.subspan(layout->body_offset);
  return AccountOutcome::kMatched;
}

void AccountTally::note(AccountOutcome outcome, const AccountView& account) {
  counts.count(outcome);
  if (outcome != AccountOutcome::kOtherOwner) return;
  // Whose accounts they were is what tells a wrong IDL or address from a wrong input.
  const auto found = other_owners_.find(std::string(account.owner));
  if (found != other_owners_.end()) ++found->second;
  else if (other_owners_.size() < kOwnersListed) other_owners_.emplace(account.owner, 1);
}

std::vector<std::pair<std::string, std::uint64_t>> AccountTally::other_owners() const {
  std::vector<std::pair<std::string, std::uint64_t>> out(other_owners_.begin(), other_owners_.end());
  std::ranges::sort(out, [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  return out;
}

}  // namespace brisquel::acct
