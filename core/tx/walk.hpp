// The transaction walker: finds every candidate event of a transaction and
// attributes it to the program and invocation that emitted it, so each payload
// is decoded only with its own program's IDL (discriminators of different
// programs collide).
//
// Log events are "Program data:"/"Program log:" lines written while one of our
// programs is on top of the invoke stack that the runtime's invoke, success
// and failed lines describe. Self-CPI events are inner instructions a program
// of ours sends to itself with data that starts with the event tag. The logs
// also tie each invocation to its outer instruction and to its entry among the
// inner instructions, which places self-CPI events in execution order; those
// the logs cannot place (absent, truncated, out of step) follow the rest in
// (instruction, inner) order. A line that breaks the runtime's grammar puts the
// walk out of step until the next depth-1 invoke, and nothing is attributed
// meanwhile; where the logs and the instructions disagree, an index is left
// unknown rather than guessed.
//
// For instruction calls (calls.hpp) the walk also keeps the depth at which
// the logs ran each inner instruction, and the invocation of the first
// "failed:" line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/tx/byte_arena.hpp"
#include "core/tx/found_event.hpp"
#include "core/tx/pairing.hpp"
#include "core/tx/program_table.hpp"
#include "core/tx/tx_view.hpp"

namespace brisquel::tx {

// The runtime nests invocations at most 5 deep; logs that go deeper than this
// are out of step.
inline constexpr std::uint32_t kMaxInvokeDepth = 64;

// A walker keeps its buffers from one transaction to the next: one per thread.
class TxWalker {
 public:
  // Base58 addresses of the decoder's programs; FoundEvent::program indexes this list.
  explicit TxWalker(std::vector<std::string> programs);

  // The events of `tx` in execution order; with `dedupe`, an emission seen both
  // as a log line and as a self-CPI is one event. The result is valid until
  // the next call; once the buffers have grown to a transaction's size, a walk
  // allocates nothing. Without `events` only the invocations are followed
  // (depths and the failure, all that calls need) and no payload is decoded;
  // a transaction that lists no instruction of the programs is then not
  // walked at all (WalkResult::lists_programs false).
  const WalkResult& walk(const TxView& tx, bool dedupe, bool events = true);

 private:
  // Whether any instruction `tx` lists, outer or inner, is one of the programs'.
  bool lists_programs(const TxView& tx) const;
  static constexpr std::uint32_t kNoGroup = UINT32_MAX;

  struct Frame {
    std::string_view address;
    std::uint32_t program;               // ProgramTable::kNone when not ours
    std::uint32_t serial;                // numbers the invocations of the transaction
    std::optional<std::uint32_t> inner;  // its entry in the inner group, when known
  };

  void begin(const TxView& tx);
  void on_invoke(std::string_view address, std::uint32_t depth);
  void start_outer(std::string_view address);
  std::optional<std::uint32_t> match_outer(std::string_view address);
  const InnerInstruction* next_entry(std::string_view address, std::uint32_t depth);
  void on_exit(std::string_view address);
  void on_failed(std::string_view address, std::string_view reason);
  void on_payload(std::string_view line);
  void lose();
  void try_self_cpi(const InnerInstruction& entry, std::uint32_t program, std::optional<std::uint32_t> instruction,
                    std::uint32_t group, std::uint32_t inner, std::optional<std::uint32_t> depth, std::uint32_t frame);
  void collect_unplaced();
  void publish();

  ProgramTable programs_;

  // State of the walk in progress.
  const TxView* tx_ = nullptr;
  bool events_ = true;                        // payloads are wanted
  std::vector<Frame> frames_;                 // the invoke stack; frames_[d - 1] has depth d
  bool lost_ = false;                         // out of step with the logs until the next invoke [1]
  bool outer_known_ = true;                   // false once an invoke [1] did not match its instruction
  std::size_t next_outer_ = 0;                // in tx.outer_programs
  std::optional<std::uint32_t> outer_;        // the outer instruction running
  std::uint32_t group_ = kNoGroup;            // its inner group, a position in tx.inner
  bool mapping_ = false;                      // invokes still match the group's entries
  std::uint32_t next_entry_ = 0;              // in that group
  std::uint32_t serial_ = 0;
  std::vector<std::uint32_t> group_of_outer_;  // outer instruction -> position in tx.inner
  std::vector<std::uint32_t> placed_;          // per group: entries matched to invoke lines
  std::vector<std::uint32_t> scratch_;
  std::vector<Candidate> found_;
  ByteArena arena_;
  WalkResult result_;
};

}  // namespace brisquel::tx
