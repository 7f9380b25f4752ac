// What a TransactionDecoder holds, shared by the files of its methods:
// immutable after construction, shared by threads.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/tx/call_tables.hpp"
#include "core/tx/calls.hpp"
#include "core/tx/summary_tables.hpp"
#include "core/tx/tx_tables.hpp"
#include "core/tx/walk.hpp"
#include "src/arguments.hpp"
#include "src/tables/binding.hpp"
#include "src/tables/fields_maker.hpp"
#include "src/tables/json_input.hpp"
#include "src/tables/named_tuple.hpp"
#include "src/tables/py_values.hpp"
#include "src/python_names.hpp"

namespace brisquel::tables {

struct TxDecoder {
  std::vector<TxProgram> programs;
  std::vector<PyNames> names;            // per program: the names its Python values use
  std::vector<PyRef> addresses;          // per program: str
  std::vector<std::vector<PyRef>> keys;  // per program: (address, event key) tuples
  PyRef sources[3];                      // "log", "cpi", "log+cpi"
  // Instruction calls, per program: the tables' forms, the (address,
  // instruction key) tuples, and per instruction its account names (str).
  std::vector<CallSchemas> call_schemas;
  std::vector<std::vector<PyRef>> call_keys;
  std::vector<std::vector<std::vector<PyRef>>> account_names;

  std::vector<std::string> program_addresses() const {
    std::vector<std::string> out;
    for (const TxProgram& p : programs) out.push_back(p.address);
    return out;
  }
};

using TxDecoderType = TablesType<TxDecoder>;

// How a method reads its transactions: which it walks, how far, and whether
// without the interpreter lock (then nothing it does touches a Python object).
struct TxPass {
  bool include_failed = false;
  bool dedupe = true;
  bool events = true;  // decode events while walking; calls need only the invocations
  bool release_lock = true;
  std::size_t start = 0;  // the index of the first transaction
  tx::ReadScope scope = tx::ReadScope::kEvents;
  std::optional<std::uint64_t> block_slot = std::nullopt;
};

// Every method's one read -> walk -> collect: reads `text` once; each
// transaction goes to every(at, view) (the summary tables take them all)
// and, unless it failed and failed ones are left out, is walked and goes to
// collect(at, view, walk), which returns false (the error set) to stop.
// `at` counts from pass.start. The number of transactions read, or nullopt
// with the error set (ReadError for a text that cannot be read).
struct EveryTransaction {
  void operator()(std::int64_t, const tx::TxView&) const {}
};

template <class Collect, class Every = EveryTransaction>
std::optional<std::size_t> walk_transactions(const State& state, const TxDecoder& d, std::string_view text,
                                             const TxPass& pass, Collect&& collect, Every&& every = {}) {
  tx::TxWalker walker(d.program_addresses());
  std::size_t read = 0;
  auto visit = [&](const tx::TxView& view, std::size_t index) {
    read = index + 1;
    const auto at = static_cast<std::int64_t>(pass.start + index);
    every(at, view);
    if (view.failed && !pass.include_failed) return true;
    return collect(at, view, walker.walk(view, pass.dedupe, pass.events));
  };
  if (!read_transactions(state, text, pass.release_lock, visit, pass.scope, pass.block_slot)) return std::nullopt;
  return read;
}

// The arguments of decode, decode_counted, decode_tables, all_tables and block_tables.
struct DecodeArgs {
  Arguments<6> bound;  // decode takes `strict` and `json_fields`, block_tables `slot`
  JsonInput input;
  bool include_failed = false;
  bool dedupe = true;
  std::size_t start = 0;  // the index of the first transaction (a file read in pieces counts on)
  bool balances = false;  // Python objects keep their balances (for the balances table)

  // False with the error set.
  bool bind(const State& state, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bound.bind(sig, args, nargs, kwnames)) return false;
    const auto failed = flag_argument(bound[1], false);
    const auto once = flag_argument(bound[2], true);
    const auto first = index_argument(bound[3], "start");
    if (!failed || !once || !first) return false;
    include_failed = *failed;
    dedupe = *once;
    start = *first;
    return input.open(state, bound[0], balances);
  }

  TxPass pass() const { return {.include_failed = include_failed, .dedupe = dedupe, .start = start}; }
};

inline constexpr Parameter kDecodeParams[] = {required("transactions"), keyword("include_failed"), keyword("dedupe"),
                                              keyword("start")};

// The tables that need no IDL (transaction_summary.cpp): the method, and
// {"transactions": table, "balances": table} of finished tables (nullptr
// with the error set).
PyObject* tx_decoder_transaction_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* summary_dict(State& state, SummaryTables::Output&& out);

// Appends the TxCall items of walked transactions to `out` (calls,
// decode_counted): each call of the programs found, args as Python values or,
// with `json_fields`, as JSON text; for a transaction that could not be read,
// one item saying why.
class TxCallItems {
 public:
  TxCallItems(const State& state, const TxDecoder& d, PyObject* out, bool json_fields)
      : state_(state), d_(d), out_(out), maker_(state.tx_call), fields_(json_fields) {}

  // The items of transaction `at`; false with the error set.
  bool add(std::int64_t at, const tx::TxView& view, std::span<const tx::FoundCall> calls);

 private:
  const State& state_;
  const TxDecoder& d_;
  PyObject* out_;
  NamedTupleMaker maker_;
  FieldsMaker fields_;
  WalkState walk_state_{std::span<const std::uint8_t>{}};  // one for every call, restarted
};

// The call methods of TransactionDecoder (transaction_calls.cpp).
PyObject* tx_decoder_calls(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tx_decoder_call_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* tx_decoder_call_schema(PyObject* self, PyObject* key);
PyObject* tx_decoder_instruction_names(PyObject* self, PyObject* program);

// A DecodedEvents (`type` nullptr) or DecodedCalls of per-program, per-key
// tables, keyed by `keys` in the same order; nullptr with the error set.
PyObject* decoded_of(State& state, const std::vector<std::vector<PyRef>>& keys,
                     std::vector<std::vector<std::shared_ptr<const arrow::Table>>>&& tables,
                     std::shared_ptr<const arrow::Table> errors, std::size_t inputs, PyTypeObject* type);

// The call forms of every program, and their Python names; false with the error set.
bool make_call_names(TxDecoder& d);

}  // namespace brisquel::tables
