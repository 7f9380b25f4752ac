#include "core/tx/calls.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <format>
#include <iterator>
#include <utility>

#include "codec/base58.hpp"
#include "core/anchor_errors.hpp"

namespace brisquel::tx {
namespace {

constexpr std::string_view kCustomReason = "custom program error: 0x";

// The code of a "custom program error: 0x1774" reason.
std::optional<std::uint32_t> custom_code(std::string_view reason) {
  if (!reason.starts_with(kCustomReason)) return std::nullopt;
  const std::string_view hex = reason.substr(kCustomReason.size());
  if (hex.empty() || hex.size() > 8) return std::nullopt;
  std::uint32_t code = 0;
  for (const char c : hex) {
    const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (v < 0) return std::nullopt;
    code = code * 16 + static_cast<std::uint32_t>(v);
  }
  return code;
}

}  // namespace

std::string describe_problem(const FoundCall& call) {
  switch (call.problem) {
    case CallProblem::DataNotBase58: return "instruction data is not base58";
    case CallProblem::NoInstruction: return "no instruction of the program matches the data";
    case CallProblem::AccountPastKeys:
      if (call.bad_index == AccountRef::kNamed) return "an account of the instruction has no address";
      return std::format("account index {} is beyond the transaction's {} account keys", call.bad_index,
                         call.key_count);
    default: return {};  // None: no problem; no other kind is a call's
  }
}

CallFinder::CallFinder(std::span<const TxProgram> programs)
    : programs_(programs), table_([&] {
        std::vector<std::string> addresses;
        for (const TxProgram& p : programs) addresses.push_back(p.address);
        return addresses;
      }()) {}

// Where the transaction failed, and what the failure says.
void CallFinder::locate_failure(const TxView& tx, const WalkResult& walk) {
  failed_at_.reset();
  error_ = {};
  error_text_.clear();
  if (!tx.failed) return;
  std::string_view program;
  if (walk.failure && walk.failure->placed) {
    failed_at_ = Place{*walk.failure->instruction, walk.failure->inner};
    program = walk.failure->program;
    error_.text = walk.failure->reason;
    error_.code = custom_code(walk.failure->reason);
  } else if (tx.error.instruction) {
    const std::uint32_t i = *tx.error.instruction;
    failed_at_ = Place{i, std::nullopt};
    if (i < tx.outer_programs.size()) program = tx.outer_programs[i];
    error_.code = tx.error.custom;
    if (error_.code) {
      std::format_to(std::back_inserter(error_text_), "{}{:x}", kCustomReason, *error_.code);
      error_.text = error_text_;
    } else {
      error_.text = tx.error.name;
    }
  } else {
    return;  // a transaction-level error: no instruction ran into it
  }
  const std::uint32_t p = table_.find(program);
  if (!error_.code || p == ProgramTable::kNone) return;
  if (const idl::IdlErrorCode* own = programs_[p].idl->error(*error_.code)) {
    error_.name = own->name;
    if (own->msg) error_.message = *own->msg;
  } else if (const FrameworkError* framework = programs_[p].idl->anchor_errors() ? anchor_framework_error(*error_.code) : nullptr) {
    error_.name = framework->name;
    error_.message = framework->message;
  }
}

const std::vector<FoundCall>& CallFinder::find(const TxView& tx, const WalkResult& walk) {
  locate_failure(tx, walk);
  data_.clear();
  addresses_.clear();
  pending_.clear();
  calls_.clear();
  if (tx.problem) return calls_;  // a transaction that could not be read: no calls
  if (!walk.lists_programs) return calls_;  // the walk saw to it that none is there

  // Groups in (instruction, position) order, each after its outer instruction.
  const auto& groups = tx.inner;
  group_order_.resize(groups.size());
  for (std::uint32_t g = 0; g < groups.size(); ++g) group_order_[g] = g;
  std::ranges::sort(group_order_, {}, [&](std::uint32_t g) { return std::pair(groups[g].index, g); });
  auto run_groups = [&](std::size_t& next, std::uint64_t up_to) {
    for (; next < group_order_.size() && groups[group_order_[next]].index <= up_to; ++next) {
      const std::uint32_t g = group_order_[next];
      const InnerGroup& group = groups[g];
      for (std::uint32_t k = 0; k < group.instructions.size(); ++k) {
        // What the walk read as an event is no call, and need not be decoded twice.
        if (walk.is_event(g, k)) continue;
        const InnerInstruction& entry = group.instructions[k];
        const std::optional<std::uint32_t> depth = entry.stack_height ? entry.stack_height : walk.logged_depth(g, k);
        consider(tx, entry.program, entry.accounts, {entry.data, {}, false}, {group.index, k}, depth);
      }
    }
  };
  std::size_t next_group = 0;
  const std::size_t outer = std::min(tx.outer_programs.size(), tx.outer.size());
  for (std::uint32_t i = 0; i < outer; ++i) {
    consider(tx, tx.outer_programs[i], tx.outer[i].accounts, tx.outer[i].data, {i, std::nullopt}, 1);
    run_groups(next_group, i);
  }
  run_groups(next_group, UINT64_MAX);  // groups of instructions that are not there

  for (Pending& p : pending_) {
    FoundCall& call = calls_.emplace_back(p.call);
    call.args = {data_.data() + p.data, p.data_size};
    if (call.layout != nullptr && call.problem == CallProblem::None) {
      call.named = std::span<const std::string_view>(addresses_).subspan(p.named, call.layout->accounts.size());
      call.remaining = std::span<const std::string_view>(addresses_).subspan(p.remaining, p.remaining_size);
    }
  }
  return calls_;
}

void CallFinder::consider(const TxView& tx, std::string_view program, AccountSpan accounts,
                          const InstructionData& data, Place place, std::optional<std::uint32_t> depth) {
  const std::uint32_t p = table_.find(program);
  if (p == ProgramTable::kNone) return;
  Pending pending;
  FoundCall& call = pending.call;
  call.program = p;
  call.instruction = place.instruction;
  call.inner = place.inner;
  call.depth = depth;
  call.failed = tx.failed;
  if (failed_at_ && *failed_at_ == place) call.error = &error_;

  // The data, copied or decoded into the arena.
  pending.data = data_.size();
  std::size_t size = data.bytes.size();
  if (data.raw) {
    std::uint8_t* out = data_.extend(size);
    if (size != 0) std::memcpy(out, data.bytes.data(), size);
  } else {
    const std::string_view text = data.text;
    // An event is no call, and its text tells it without decoding.
    if (self_cpi_text().starts(text) == true) return;
    std::optional<std::size_t> decoded;
    if (text.size() <= codec::kBase58MaxText) {
      decoded = codec::decode_base58(text, data_.extend(codec::base58_decoded_capacity(text.size())));
    }
    if (!decoded) {
      data_.shrink_to(pending.data);
      call.problem = CallProblem::DataNotBase58;
      pending_.push_back(pending);
      return;
    }
    size = *decoded;
  }
  data_.shrink_to(pending.data + size);
  const std::span<const std::uint8_t> bytes(data_.data() + pending.data, size);
  const bool event =
      size >= kSelfCpiTag.size() && std::memcmp(bytes.data(), kSelfCpiTag.data(), kSelfCpiTag.size()) == 0;
  call.layout = event ? nullptr : programs_[p].idl->match_instruction(bytes);
  if (call.layout == nullptr) {
    data_.shrink_to(pending.data);
    // A program described whole has no other use for its instructions: no guessed name, but a row.
    if (!event && programs_[p].idl->unmatched_calls()) {
      call.problem = CallProblem::NoInstruction;
      pending_.push_back(pending);
    }
    return;
  }
  pending.data += call.layout->args_offset;
  pending.data_size = size - call.layout->args_offset;

  // The accounts: the layout's, then the rest.
  const std::span<const AccountRef> given = tx.accounts_of(accounts);
  for (const AccountRef& a : given) {
    if (!a.address.empty()) continue;
    call.problem = CallProblem::AccountPastKeys;
    call.bad_index = a.index;
    call.key_count = static_cast<std::uint32_t>(tx.account_keys.size());
    pending_.push_back(pending);
    return;
  }
  const auto& slots = call.layout->accounts;
  pending.named = addresses_.size();
  for (std::size_t j = 0; j < slots.size(); ++j) {
    const bool absent = j >= given.size() || (slots[j].optional && given[j].address == program);
    addresses_.push_back(absent ? std::string_view{} : given[j].address);
  }
  pending.remaining = addresses_.size();
  for (std::size_t j = slots.size(); j < given.size(); ++j) addresses_.push_back(given[j].address);
  pending.remaining_size = addresses_.size() - pending.remaining;
  pending_.push_back(pending);
}

}  // namespace brisquel::tx
