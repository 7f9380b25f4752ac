// Merging an event that a program emitted both ways (a log line and a self-CPI)
// into one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/tx/found_event.hpp"

namespace brisquel::tx {

// An event as the walk finds it, before merging.
struct Candidate {
  static constexpr std::uint32_t kNoFrame = UINT32_MAX;

  std::uint32_t program;
  std::optional<std::uint32_t> instruction;
  std::optional<std::uint32_t> inner;
  std::optional<std::uint32_t> depth;
  Source source;
  std::uint32_t frame;       // the emitting invocation (numbered in log order), kNoFrame if not placed from the logs
  std::size_t offset;        // payload in the walk's arena
  std::size_t size;
  bool dropped = false;      // merged into an earlier candidate
};

// Pairs log and self-CPI candidates with identical payload bytes from the same
// program, one to one in order: first within one invocation, then each
// self-CPI not placed from the logs with a log line of the same outer
// instruction. A pair becomes one LogAndCpi candidate with the log's
// attributes, at the place of the earlier of the two; the later is dropped.
// `scratch` is reused storage.
void pair_both_ways(std::vector<Candidate>& events, const std::uint8_t* bytes, std::vector<std::uint32_t>& scratch);

}  // namespace brisquel::tx
