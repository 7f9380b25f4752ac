#include "core/tx/walk.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "codec/base58.hpp"
#include "codec/base64.hpp"
#include "codec/log_line.hpp"
#include "core/tx/log_grammar.hpp"

namespace brisquel::tx {
namespace {

constexpr std::size_t kMinPayload = 8;  // the discriminator
// Base64 of fewer than 12 characters holds fewer than 8 bytes.
constexpr std::size_t kMinPayloadText = 12;

// Precompiled programs may run without an invoke line: an outer instruction of
// one is skipped when the invoke line in hand is not its own.
constexpr std::string_view kPrecompiles[] = {
    "Ed25519SigVerify111111111111111111111111111",
    "KeccakSecp256k11111111111111111111111111111",
    "Secp256r1SigVerify1111111111111111111111111",
};

bool is_precompile(std::string_view address) {
  return std::find(std::begin(kPrecompiles), std::end(kPrecompiles), address) != std::end(kPrecompiles);
}

}  // namespace

TxWalker::TxWalker(std::vector<std::string> programs) : programs_(std::move(programs)) {
  frames_.reserve(kMaxInvokeDepth);
}

const WalkResult& TxWalker::walk(const TxView& tx, bool dedupe, bool events) {
  begin(tx);
  // A transaction that could not be read has nothing to attribute.
  const bool readable = !tx.problem;
  events_ = events && readable;
  // Calls are found only among the instructions listed: most transactions of
  // a block list none of the programs', and their logs would tell nothing.
  if (!events && readable && !lists_programs(tx)) {
    result_.lists_programs = false;
    tx_ = nullptr;
    return result_;
  }
  if (tx.has_logs && readable) {
    for (const std::string_view line : tx.logs) {
      const LogLine parsed = classify_log_line(line);
      if (parsed.kind == LineKind::Truncated) {
        result_.truncated = true;
        break;
      }
      switch (parsed.kind) {
        case LineKind::Payload:
          if (events_) on_payload(line);
          break;
        case LineKind::Invoke: on_invoke(parsed.program, parsed.depth); break;
        case LineKind::Exit:
          if (parsed.failed && !result_.failure) on_failed(parsed.program, parsed.reason);
          on_exit(parsed.program);
          break;
        case LineKind::Malformed:
          // It may have been an outer instruction's invoke: counting them is no longer sure.
          outer_known_ = false;
          lose();
          break;
        default: break;
      }
    }
  }
  if (events_) {
    collect_unplaced();
    if (dedupe) pair_both_ways(found_, arena_.data(), scratch_);
    publish();
  }
  tx_ = nullptr;
  return result_;
}

bool TxWalker::lists_programs(const TxView& tx) const {
  for (const std::string_view program : tx.outer_programs) {
    if (programs_.find(program) != ProgramTable::kNone) return true;
  }
  for (const InnerGroup& group : tx.inner) {
    for (const InnerInstruction& entry : group.instructions) {
      if (programs_.find(entry.program) != ProgramTable::kNone) return true;
    }
  }
  return false;
}

void TxWalker::begin(const TxView& tx) {
  tx_ = &tx;
  result_.lists_programs = true;
  frames_.clear();
  lost_ = false;
  outer_known_ = true;
  next_outer_ = 0;
  outer_.reset();
  group_ = kNoGroup;
  mapping_ = false;
  next_entry_ = 0;
  serial_ = 0;
  found_.clear();
  arena_.clear();
  result_.truncated = false;
  result_.events.clear();
  result_.failure.reset();
  result_.group_starts.clear();
  std::uint32_t entries = 0;
  for (const InnerGroup& group : tx.inner) {
    result_.group_starts.push_back(entries);
    entries += static_cast<std::uint32_t>(group.instructions.size());
  }
  result_.inner_depths.assign(entries, 0);
  result_.inner_events.assign(entries, 0);
  // The first group of each outer instruction; a repeated index is never
  // matched to the logs, so its events come out unplaced.
  group_of_outer_.assign(tx.outer_programs.size(), kNoGroup);
  for (std::size_t g = 0; g < tx.inner.size(); ++g) {
    const std::uint32_t index = tx.inner[g].index;
    if (index < group_of_outer_.size() && group_of_outer_[index] == kNoGroup) {
      group_of_outer_[index] = static_cast<std::uint32_t>(g);
    }
  }
  placed_.assign(tx.inner.size(), 0);
}

void TxWalker::lose() {
  lost_ = true;
  frames_.clear();
  mapping_ = false;
}

void TxWalker::on_invoke(std::string_view address, std::uint32_t depth) {
  // Every depth-1 invoke starts an outer instruction afresh, lost or not.
  if (depth == 1) {
    start_outer(address);
    return;
  }
  if (lost_) return;
  if (depth != frames_.size() + 1 || depth > kMaxInvokeDepth) {
    lose();
    return;
  }

  const std::uint32_t program = programs_.find(address);
  std::optional<std::uint32_t> inner;
  if (mapping_) {
    if (const InnerInstruction* entry = next_entry(address, depth)) {
      inner = next_entry_ - 1;
      if (program != ProgramTable::kNone && events_) {
        try_self_cpi(*entry, program, outer_, group_, *inner, depth - 1, frames_.back().serial);
      }
    } else {
      mapping_ = false;
    }
  }
  frames_.push_back({address, program, serial_++, inner});
}

void TxWalker::start_outer(std::string_view address) {
  frames_.clear();
  lost_ = false;
  outer_ = match_outer(address);
  group_ = outer_ ? group_of_outer_[*outer_] : kNoGroup;
  next_entry_ = 0;
  mapping_ = outer_.has_value();
  frames_.push_back({address, programs_.find(address), serial_++, std::nullopt});
}

std::optional<std::uint32_t> TxWalker::match_outer(std::string_view address) {
  if (!outer_known_) return std::nullopt;
  const auto& outer = tx_->outer_programs;
  while (next_outer_ < outer.size()) {
    const std::string_view expected = outer[next_outer_];
    if (expected == address) return static_cast<std::uint32_t>(next_outer_++);
    if (!is_precompile(expected)) break;
    ++next_outer_;
  }
  outer_known_ = false;
  return std::nullopt;
}

// The inner group's next entry when it is this invocation, else nullptr.
const InnerInstruction* TxWalker::next_entry(std::string_view address, std::uint32_t depth) {
  if (group_ == kNoGroup) return nullptr;
  const auto& entries = tx_->inner[group_].instructions;
  if (next_entry_ >= entries.size()) return nullptr;
  const InnerInstruction& entry = entries[next_entry_];
  if (entry.program != address || (entry.stack_height && *entry.stack_height != depth)) return nullptr;
  result_.inner_depths[result_.group_starts[group_] + next_entry_] = depth;
  placed_[group_] = ++next_entry_;
  return &entry;
}

void TxWalker::on_failed(std::string_view address, std::string_view reason) {
  FailedInvocation& failure = result_.failure.emplace();
  failure.program = address;
  failure.reason = reason;
  if (lost_ || frames_.empty() || frames_.back().address != address) return;
  failure.depth = static_cast<std::uint32_t>(frames_.size());
  failure.instruction = outer_;
  failure.inner = frames_.back().inner;
  failure.placed = outer_.has_value() && (failure.depth == 1 || failure.inner.has_value());
}

void TxWalker::on_exit(std::string_view address) {
  if (lost_) return;
  if (frames_.empty() || frames_.back().address != address) return lose();
  frames_.pop_back();
}

void TxWalker::on_payload(std::string_view line) {
  if (frames_.empty()) return;  // also while lost: losing empties the stack
  const Frame& top = frames_.back();
  if (top.program == ProgramTable::kNone) return;
  // The same reading of a line as the log decoders' event_line_payload, into the walker's own arena.
  const std::optional<std::string_view> text = codec::event_payload_text(line);
  if (!text || text->size() < kMinPayloadText) return;

  const std::size_t start = arena_.size();
  std::uint8_t* out = arena_.extend(codec::base64_decoded_capacity(text->size()));
  const std::optional<std::size_t> size = codec::decode_base64_strict(*text, out);
  if (!size || *size < kMinPayload) return arena_.shrink_to(start);
  arena_.shrink_to(start + *size);
  const auto depth = static_cast<std::uint32_t>(frames_.size());
  found_.push_back({top.program, outer_, top.inner, depth, Source::Log, top.serial, start, *size});
}

void TxWalker::try_self_cpi(const InnerInstruction& entry, std::uint32_t program,
                            std::optional<std::uint32_t> instruction, std::uint32_t group, std::uint32_t inner,
                            std::optional<std::uint32_t> depth, std::uint32_t frame) {
  const std::string_view data = entry.data;
  // The tag's first byte is not zero, so its text never starts with "1".
  if (data.size() < kSelfCpiTag.size() + kMinPayload || data.front() == '1' || data.size() > codec::kBase58MaxText) {
    return;
  }
  // Most data of our programs' own instructions is no event, which the text tells.
  if (self_cpi_text().starts(data) == false) return;
  const std::size_t start = arena_.size();
  std::uint8_t* out = arena_.extend(codec::base58_decoded_capacity(data.size()));
  const std::optional<std::size_t> size = codec::decode_base58(data, out);
  const bool event = size && *size >= kSelfCpiTag.size() + kMinPayload &&
                     std::memcmp(out, kSelfCpiTag.data(), kSelfCpiTag.size()) == 0;
  if (!event) return arena_.shrink_to(start);
  arena_.shrink_to(start + *size);
  result_.inner_events[result_.group_starts[group] + inner] = 1;
  found_.push_back({program, instruction, inner, depth, Source::Cpi, frame, start + kSelfCpiTag.size(),
                    *size - kSelfCpiTag.size()});
}

// Self-CPI events the logs did not place (no logs, truncated, or out of step),
// in (instruction, inner) order.
void TxWalker::collect_unplaced() {
  const auto& groups = tx_->inner;
  scratch_.clear();
  for (std::uint32_t g = 0; g < groups.size(); ++g) {
    if (placed_[g] < groups[g].instructions.size()) scratch_.push_back(g);
  }
  std::sort(scratch_.begin(), scratch_.end(), [&](std::uint32_t a, std::uint32_t b) {
    return groups[a].index != groups[b].index ? groups[a].index < groups[b].index : a < b;
  });
  for (const std::uint32_t g : scratch_) {
    const InnerGroup& group = groups[g];
    for (std::uint32_t k = placed_[g]; k < group.instructions.size(); ++k) {
      const InnerInstruction& entry = group.instructions[k];
      const std::uint32_t program = programs_.find(entry.program);
      if (program == ProgramTable::kNone) continue;
      std::optional<std::uint32_t> depth;
      if (entry.stack_height && *entry.stack_height >= 2) depth = *entry.stack_height - 1;
      try_self_cpi(entry, program, group.index, g, k, depth, Candidate::kNoFrame);
    }
  }
}

void TxWalker::publish() {
  const std::uint8_t* bytes = arena_.data();
  for (const Candidate& c : found_) {
    if (c.dropped) continue;
    result_.events.push_back({c.program, c.instruction, c.inner, c.depth, c.source, {bytes + c.offset, c.size}});
  }
}

}  // namespace brisquel::tx
