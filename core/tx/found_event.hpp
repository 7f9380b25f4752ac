// What the transaction walk hands to the decoder: candidate event payloads,
// each attributed to the program and invocation that emitted it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/base58.hpp"

namespace brisquel::tx {

// Instruction data of an emit_cpi! event starts with this, then the event's
// discriminator and body.
inline constexpr std::array<std::uint8_t, 8> kSelfCpiTag = {0xe4, 0x45, 0xa5, 0x2e, 0x51, 0xcb, 0x9a, 0x1d};

// Tells base58 data that starts with the tag from its text; one for all
// threads, never destroyed (a daemon thread may still decode at exit).
inline const codec::Base58Prefix& self_cpi_text() {
  static const codec::Base58Prefix* const test = new codec::Base58Prefix(kSelfCpiTag);
  return *test;
}

// How an event reached the transaction: a "Program data:" (or "Program log:")
// line, a self-CPI inner instruction, or both for the same emission.
enum class Source : std::uint8_t { Log, Cpi, LogAndCpi };

// "log", "cpi" or "log+cpi".
constexpr std::string_view source_name(Source source) {
  switch (source) {
    case Source::Log: return "log";
    case Source::Cpi: return "cpi";
    case Source::LogAndCpi: return "log+cpi";
  }
  return "";
}

struct FoundEvent {
  std::uint32_t program;                     // index into the walker's program list
  std::optional<std::uint32_t> instruction;  // outer instruction index
  std::optional<std::uint32_t> inner;        // entry of that instruction's inner group
  std::optional<std::uint32_t> depth;        // invoke depth of the program that emitted the event
  Source source;
  std::span<const std::uint8_t> payload;     // discriminator + body (8 bytes or more), owned by the walker
};

// The invocation whose "Program <id> failed: <reason>" line the runtime wrote
// first: the innermost one that failed.
struct FailedInvocation {
  std::string_view program;
  std::string_view reason;
  // Whether the walk knew the invocation when the line came; if not (its
  // logs out of step), only program and reason are known.
  bool placed = false;
  std::uint32_t depth = 0;
  std::optional<std::uint32_t> instruction;  // outer instruction index, when known
  std::optional<std::uint32_t> inner;        // entry of that instruction's inner group; none at depth 1
};

struct WalkResult {
  bool truncated = false;  // the runtime dropped the end of the logs
  // False when a walk for calls alone found no instruction of the programs
  // and left the logs unread: there is nothing to attribute.
  bool lists_programs = true;
  std::vector<FoundEvent> events;
  std::optional<FailedInvocation> failure;  // none when the logs show no failed invocation
  // The invoke depth of each inner instruction that the logs matched, 0 for
  // the others: entry k of TxView::inner[g] is at group_starts[g] + k.
  std::vector<std::uint32_t> group_starts;
  std::vector<std::uint32_t> inner_depths;
  // 1 for each inner instruction read as a self-CPI event (same positions);
  // all 0 when the walk read no events.
  std::vector<std::uint8_t> inner_events;

  std::optional<std::uint32_t> logged_depth(std::size_t group, std::size_t entry) const {
    const std::uint32_t d = inner_depths[group_starts[group] + entry];
    return d != 0 ? std::optional<std::uint32_t>(d) : std::nullopt;
  }
  bool is_event(std::size_t group, std::size_t entry) const {
    return inner_events[group_starts[group] + entry] != 0;
  }
};

}  // namespace brisquel::tx
