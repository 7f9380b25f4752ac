// Instruction calls: every outer and inner instruction of a transaction that
// invokes one of the decoder's programs with data that starts with one of its
// IDL's instruction discriminators, in execution order (outer instruction i,
// then its inner instructions in order), whoever made the call. A self-CPI
// event is an event, never a call.
//
// The finder works from what a reader (ReadScope::kCalls) and the walker
// gave: the walk's invoke stack tells each inner instruction's depth when the
// node gave no stackHeight, and which invocation failed first. A failed
// transaction fails every call; the error goes to the call whose invocation
// failed innermost (the first "Program <id> failed: <reason>" line), or, when
// the logs do not tell (none, cut short, out of step), to the outer
// instruction meta.err names. A failure inside a program that is not ours
// (the System Program under a pump call, a router around an AMM) gives no
// call an error.
//
// For the layer above: find() gives each call with its layout, place, named
// and remaining accounts, argument bytes and failure; decoding the arguments
// is the one walk's job (BorshWalk over call.layout->args, with the
// old-version option of events: a body that stops where an argument begins
// leaves the rest null; bytes after the arguments are the program's to
// ignore). A call whose instruction cannot be read carries a problem instead,
// described by describe_problem().
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/compiled_idl.hpp"
#include "core/error.hpp"
#include "core/tx/byte_arena.hpp"
#include "core/tx/found_event.hpp"
#include "core/tx/program_table.hpp"
#include "core/tx/tx_tables.hpp"
#include "core/tx/tx_view.hpp"

namespace brisquel::tx {

// Why a call's instruction could not be read: None, or one of the error kinds
// DataNotBase58, AccountPastKeys and NoInstruction (whole-program descriptions
// only), which describe_problem() puts in words.
using CallProblem = Error::Kind;

// What a failed call says about its failure.
struct CallError {
  std::optional<std::uint32_t> code;  // the custom program error code
  // From the program's IDL, else from the Anchor framework's table (codes
  // below 6000); empty when neither names the code.
  std::string_view name;
  std::optional<std::string_view> message;  // the IDL's (when it gives one) or the framework's
  std::string_view text;  // the runtime's: the failed line's reason, else meta.err's ("ProgramFailedToComplete")
};

struct FoundCall {
  std::uint32_t program = 0;                     // index into the decoder's programs
  const InstructionLayout* layout = nullptr;     // nullptr only with DataNotBase58 and NoInstruction
  std::uint32_t instruction = 0;                 // outer instruction index
  std::optional<std::uint32_t> inner;            // entry of that instruction's inner group; none when outer
  std::optional<std::uint32_t> depth;            // invoke depth: 1 for an outer instruction
  // One address per layout account, in order; empty when absent (fewer
  // accounts given, or an optional account given as the program's own address).
  std::span<const std::string_view> named;
  std::span<const std::string_view> remaining;   // the accounts past the layout's
  std::span<const std::uint8_t> args;            // the data after the discriminator
  bool failed = false;                           // the transaction failed
  const CallError* error = nullptr;              // set on the call whose invocation failed
  CallProblem problem = CallProblem::None;
  std::uint32_t bad_index = 0;                   // AccountPastKeys: the index, and how many keys there are
  std::uint32_t key_count = 0;
};

// "instruction data is not base58", "account index 40 is beyond the
// transaction's 12 account keys"; empty for a call without a problem.
std::string describe_problem(const FoundCall& call);

// A finder keeps its buffers from one transaction to the next: one per thread.
class CallFinder {
 public:
  // `programs` in the walker's order (FoundCall::program indexes them); they must outlive the finder.
  explicit CallFinder(std::span<const TxProgram> programs);

  // The calls of `tx`, which must have been read with ReadScope::kCalls, and
  // `walk`, the walker's result for it. Valid until the next call; once the
  // buffers have grown to a transaction's size, nothing is allocated.
  const std::vector<FoundCall>& find(const TxView& tx, const WalkResult& walk);

 private:
  struct Place {
    std::uint32_t instruction;
    std::optional<std::uint32_t> inner;
    bool operator==(const Place&) const = default;
  };
  struct Pending {  // a call whose spans are offsets until the buffers stop growing
    FoundCall call;
    std::size_t data = 0, data_size = 0, named = 0, remaining = 0, remaining_size = 0;
  };

  void locate_failure(const TxView& tx, const WalkResult& walk);
  void consider(const TxView& tx, std::string_view program, AccountSpan accounts, const InstructionData& data,
                Place place, std::optional<std::uint32_t> depth);

  std::span<const TxProgram> programs_;
  ProgramTable table_;
  std::optional<Place> failed_at_;
  CallError error_;
  std::string error_text_;
  std::vector<std::uint32_t> group_order_;
  ByteArena data_;
  std::vector<std::string_view> addresses_;
  std::vector<Pending> pending_;
  std::vector<FoundCall> calls_;
};

}  // namespace brisquel::tx
