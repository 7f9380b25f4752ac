// One transaction as the event walk needs it, whatever it was read from (RPC
// JSON text, Python objects, the wire format): plain views into text that the
// reader keeps alive while the transaction is walked.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace brisquel::tx {

// An instruction run inside an outer one (an entry of meta.innerInstructions).
struct InnerInstruction {
  std::string_view program;  // base58 address of the invoked program
  std::string_view data;     // base58 text of the instruction data, as RPC JSON gives it
  std::optional<std::uint32_t> stack_height;  // invoke depth, when the node reports it
};

// meta.innerInstructions[k]: the instructions run inside outer instruction `index`.
struct InnerGroup {
  std::uint32_t index = 0;
  std::vector<InnerInstruction> instructions;
};

struct TxView {
  std::string_view signature;             // base58, the first signature; empty when unknown
  std::optional<std::uint64_t> slot;
  std::optional<std::int64_t> block_time;
  bool failed = false;                    // meta.err is not null
  bool has_logs = false;                  // meta.logMessages is present and not null
  std::vector<std::string_view> logs;     // meta.logMessages, UTF-8
  std::vector<std::string_view> outer_programs;  // program address of each outer instruction, in order
  std::vector<InnerGroup> inner;          // meta.innerInstructions, in the node's order
};

}  // namespace brisquel::tx
