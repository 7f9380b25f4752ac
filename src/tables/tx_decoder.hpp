// What a TransactionDecoder holds, shared by the files of its methods:
// immutable after construction, shared by threads.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/tx/call_tables.hpp"
#include "core/tx/summary_tables.hpp"
#include "core/tx/tx_tables.hpp"
#include "src/arguments.hpp"
#include "src/native_type.hpp"
#include "src/tables/json_input.hpp"
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

using TxDecoderType = NativeType<TxDecoder>;

inline PyRef str_of(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

inline PyRef optional_int(const std::optional<std::uint32_t>& v) {
  return v ? PyRef(PyLong_FromUnsignedLong(*v)) : PyRef(Py_NewRef(Py_None));
}

// The arguments of decode, decode_tables, all_tables and block_tables.
struct DecodeArgs {
  Arguments<5> bound;  // block_tables takes a fifth, `slot`
  JsonInput input;
  bool include_failed = false;
  bool dedupe = true;
  std::size_t start = 0;  // the index of the first transaction (a file read in pieces counts on)
  bool balances = false;  // Python objects keep their balances (for the balances table)

  // False with the error set.
  bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bound.bind(sig, args, nargs, kwnames)) return false;
    const auto failed = flag_argument(bound[1], false);
    const auto once = flag_argument(bound[2], true);
    const auto first = index_argument(bound[3], "start");
    if (!failed || !once || !first) return false;
    include_failed = *failed;
    dedupe = *once;
    start = *first;
    return input.open(bound[0], balances);
  }
};

inline constexpr Parameter kDecodeParams[] = {required("transactions"), keyword("include_failed"), keyword("dedupe"),
                                              keyword("start")};

// The tables that need no IDL (transaction_summary.cpp): the method, and
// {"transactions": table, "balances": table} of finished tables (nullptr
// with the error set).
PyObject* tx_decoder_transaction_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* summary_dict(State& state, SummaryTables::Output&& out);

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
