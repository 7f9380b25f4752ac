// What the transaction walk hands to the decoder: candidate event payloads,
// each attributed to the program and invocation that emitted it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace brisquel::tx {

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

struct WalkResult {
  bool truncated = false;  // the runtime dropped the end of the logs
  std::vector<FoundEvent> events;
};

}  // namespace brisquel::tx
