#include "core/acct/account_decoding.hpp"

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

}  // namespace brisquel::acct
