// TransactionDecoder's instruction calls: every call to one of its programs,
// as TxCall items or as Arrow tables per (program, instruction). Transactions
// are read with their instructions only here, so that reading for events
// alone stays as fast as it was.
#include <array>
#include <string>
#include <type_traits>
#include <vector>

#include "core/tx/calls.hpp"
#include "core/tx/walk.hpp"
#include "src/arguments.hpp"
#include "src/tables/decoded_events.hpp"
#include "src/tables/json_input.hpp"
#include "src/tables/schema.hpp"
#include "src/tables/tx_decoder.hpp"
#include "src/tables/tx_event.hpp"

namespace brisquel::tables {
namespace {

// The arguments of calls and call_tables.
struct CallArgs {
  Arguments<4> bound;  // calls takes `json_fields`
  JsonInput input;
  bool include_failed = false;
  std::size_t start = 0;
  bool json_fields = false;

  // False with the error set.
  bool bind(const State& state, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!bound.bind(sig, args, nargs, kwnames)) return false;
    const auto failed = flag_argument(bound[1], false);
    const auto first = index_argument(bound[2], "start");
    const auto json = flag_argument(bound[3], false);
    if (!failed || !first || !json) return false;
    include_failed = *failed;
    start = *first;
    json_fields = *json;
    return input.open(state, bound[0]);
  }

  // Calls need the invocations only, of every transaction: none is left out as a duplicate.
  TxPass pass() const {
    return {.include_failed = include_failed, .events = false, .start = start, .scope = tx::ReadScope::kCalls};
  }
};

constexpr Parameter kCallsParams[] = {required("transactions"), keyword("include_failed"), keyword("start"),
                                      keyword("json_fields")};
constexpr Parameter kCallTablesParams[] = {required("transactions"), keyword("include_failed"), keyword("start")};
constexpr Signature kCallsSignature{"TransactionDecoder.calls()", kCallsParams};
constexpr Signature kCallTablesSignature{"TransactionDecoder.call_tables()", kCallTablesParams};

PyRef none() { return PyRef(Py_NewRef(Py_None)); }

PyRef str_or_none(std::string_view text) { return text.empty() ? none() : str_of(text); }

std::size_t instruction_of(const TxProgram& program, const tx::FoundCall& call) {
  return static_cast<std::size_t>(call.layout - program.idl->instructions().data());
}

// The CallError of a failed call; nullptr with the error set.
PyObject* call_error(const State& state, const tx::CallError& e) {
  PyRef code = optional_int(e.code);
  PyRef name = str_or_none(e.name);
  PyRef message = e.message ? str_of(*e.message) : none();
  PyRef text = str_or_none(e.text);
  if (!code || !name || !message || !text) return nullptr;
  PyObject* args[] = {code.get(), name.get(), message.get(), text.get()};
  return PyObject_Vectorcall(reinterpret_cast<PyObject*>(state.call_error), args, kCallErrorFields, nullptr);
}

// A call's accounts: path -> address or None, and the remaining ones; false with the error set.
bool call_accounts(const TxDecoder& d, const tx::FoundCall& call, PyRef& accounts, PyRef& remaining) {
  accounts = PyRef(PyDict_New());
  remaining = PyRef(PyList_New(static_cast<Py_ssize_t>(call.remaining.size())));
  if (!accounts || !remaining) return false;
  if (call.layout != nullptr) {
    const auto& names = d.account_names[call.program][instruction_of(d.programs[call.program], call)];
    for (std::size_t a = 0; a < call.named.size() && a < names.size(); ++a) {
      PyRef address = str_or_none(call.named[a]);
      if (!address || PyDict_SetItem(accounts.get(), names[a].get(), address.get()) < 0) return false;
    }
  }
  for (std::size_t a = 0; a < call.remaining.size(); ++a) {
    PyRef address = str_or_none(call.remaining[a]);
    if (!address) return false;
    PyList_SET_ITEM(remaining.get(), static_cast<Py_ssize_t>(a), address.release());
  }
  return true;
}

}  // namespace

PyObject* decoded_of(State& state, const std::vector<std::vector<PyRef>>& keys,
                     std::vector<std::vector<std::shared_ptr<const arrow::Table>>>&& tables,
                     std::shared_ptr<const arrow::Table> errors, std::size_t inputs, PyTypeObject* type) {
  std::vector<PyObject*> flat_keys;
  std::vector<std::shared_ptr<const arrow::Table>> in_order;
  for (std::size_t p = 0; p < tables.size(); ++p) {
    for (std::size_t i = 0; i < tables[p].size(); ++i) {
      flat_keys.push_back(keys[p][i].get());
      in_order.push_back(std::move(tables[p][i]));
    }
  }
  return new_decoded_events(state, flat_keys, std::move(in_order), std::move(errors), static_cast<std::int64_t>(inputs),
                            type);
}

bool make_call_names(TxDecoder& d) {
  for (std::size_t p = 0; p < d.programs.size(); ++p) {
    const TxProgram& program = d.programs[p];
    const CallSchemas& schemas = d.call_schemas.emplace_back(CallSchemas::make(*program.idl, program.schemas.options));
    auto& keys = d.call_keys.emplace_back();
    auto& accounts = d.account_names.emplace_back();
    for (std::size_t i = 0; i < schemas.keys.size(); ++i) {
      PyRef name = str_of(schemas.keys[i]);
      if (!name) return false;
      keys.emplace_back(PyTuple_Pack(2, d.addresses[p].get(), name.get()));
      if (!keys.back()) return false;
      auto& names = accounts.emplace_back();
      for (const arrow::Field& f : schemas.accounts[i]) {
        constexpr std::string_view kPrefix = "account_";
        names.push_back(str_of(std::string_view(f.name).substr(kPrefix.size())));
        if (!names.back()) return false;
      }
    }
  }
  return true;
}

bool TxCallItems::add(std::int64_t at, const tx::TxView& view, std::span<const tx::FoundCall> calls) {
  if (calls.empty() && !view.problem) return true;
  PyRef tx_index(PyLong_FromLongLong(at));
  PyRef signature = str_or_none(view.signature);
  PyRef slot = view.slot ? PyRef(PyLong_FromUnsignedLongLong(*view.slot)) : none();
  PyRef block_time = view.block_time ? PyRef(PyLong_FromLongLong(*view.block_time)) : none();
  if (!tx_index || !signature || !slot || !block_time) return false;
  if (view.problem) {
    // A transaction that could not be read: one item saying why, with no program or instruction.
    PyRef problem = str_of(view.problem.text), accounts(PyDict_New()), remaining(PyList_New(0));
    if (!problem || !accounts || !remaining) return false;
    std::array<PyObject*, kTxCallFields> values = {
        tx_index.release(), signature.release(), slot.release(), block_time.release(),
        none().release(), none().release(), none().release(), none().release(),
        PyBool_FromLong(view.failed), none().release(), none().release(), none().release(), accounts.release(),
        remaining.release(), problem.release(), none().release()};
    PyRef item(maker_.make(values));
    return item && PyList_Append(out_, item.get()) == 0;
  }
  for (const tx::FoundCall& call : calls) {
    const TxProgram& program = d_.programs[call.program];
    PyRef name = none(), fields = none(), problem = none(), path = none();
    if (call.layout != nullptr) {
      name = PyRef(Py_NewRef(PyTuple_GET_ITEM(d_.call_keys[call.program][instruction_of(program, call)].get(), 1)));
    }
    if (call.problem != tx::CallProblem::None) {
      problem = str_of(tx::describe_problem(call));
    } else {
      WalkState& walk_state = walk_state_;
      walk_state.restart(call.args);
      PyRef decoded = fields_.make(d_.names[call.program], [&](auto& sink) {
        typename std::remove_reference_t<decltype(sink)>::Walk w(sink, walk_state);
        return w.decode_fields(call.layout->args, {}, program.schemas.options.null_short_events);
      });
      if (decoded) {
        fields = std::move(decoded);
      } else {
        if (fields_.raised()) return false;
        problem = str_of(describe(walk_state.error));
        path = PyRef(path_tuple(walk_state.error.path));
      }
    }
    PyRef error = call.error != nullptr ? PyRef(call_error(state_, *call.error)) : none();
    PyRef accounts, remaining;
    PyRef inner = optional_int(call.inner), depth = optional_int(call.depth);
    PyRef instruction(PyLong_FromUnsignedLong(call.instruction));
    if (!problem || !path || !error || !inner || !depth || !instruction ||
        !call_accounts(d_, call, accounts, remaining)) {
      return false;
    }
    std::array<PyObject*, kTxCallFields> values = {
        tx_index.new_ref(), signature.new_ref(), slot.new_ref(), block_time.new_ref(),
        d_.addresses[call.program].new_ref(), instruction.release(), inner.release(), depth.release(),
        PyBool_FromLong(call.failed), error.release(), name.release(), fields.release(), accounts.release(),
        remaining.release(), problem.release(), path.release()};
    PyRef item(maker_.make(values));
    if (!item || PyList_Append(out_, item.get()) < 0) return false;
  }
  return true;
}

PyObject* tx_decoder_calls(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return TxDecoderType::call(self, [&](const TxDecoder& d) -> PyObject* {
    CallArgs a;
    const State& state = state_of(Py_TYPE(self));
    if (!a.bind(state, kCallsSignature, args, nargs, kwnames)) return nullptr;
    PyRef result(PyList_New(0));
    if (!result) return nullptr;
    tx::CallFinder finder(d.programs);
    TxCallItems items(state, d, result.get(), a.json_fields);
    auto collect = [&](std::int64_t at, const tx::TxView& view, const tx::WalkResult& walk) {
      return items.add(at, view, finder.find(view, walk));
    };
    TxPass pass = a.pass();
    pass.release_lock = false;
    if (!walk_transactions(state, d, a.input.text(), pass, collect)) return nullptr;
    return result.release();
  });
}

PyObject* tx_decoder_call_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return TxDecoderType::call(self, [&](const TxDecoder& d) -> PyObject* {
    CallArgs a;
    State& state = state_of(Py_TYPE(self));
    if (!a.bind(state, kCallTablesSignature, args, nargs, kwnames)) return nullptr;
    tx::CallFinder finder(d.programs);
    CallTables tables(d.programs, d.call_schemas);
    auto collect = [&](std::int64_t at, const tx::TxView& view, const tx::WalkResult& walk) {
      tables.add(at, view, walk, finder.find(view, walk));
      return true;
    };
    const auto read = walk_transactions(state, d, a.input.text(), a.pass(), collect);
    if (!read) return nullptr;
    CallTables::Output out;
    {
      ReleasedLock unlocked;
      out = tables.finish();
    }
    return decoded_of(state, d.call_keys, std::move(out.calls), std::move(out.errors), *read, state.decoded_calls);
  });
}

PyObject* tx_decoder_call_schema(PyObject* self, PyObject* key) {
  return TxDecoderType::call(self, [&](const TxDecoder& d) -> PyObject* {
    for (std::size_t p = 0; p < d.call_keys.size(); ++p) {
      for (std::size_t i = 0; i < d.call_keys[p].size(); ++i) {
        const int equal = PyObject_RichCompareBool(d.call_keys[p][i].get(), key, Py_EQ);
        if (equal < 0) return nullptr;
        if (equal == 0) continue;
        return new_schema(state_of(Py_TYPE(self)), call_table_fields(d.call_schemas[p], i));
      }
    }
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  });
}

PyObject* tx_decoder_instruction_names(PyObject* self, PyObject* program) {
  return TxDecoderType::call(self, [&](const TxDecoder& d) -> PyObject* {
    for (std::size_t p = 0; p < d.addresses.size(); ++p) {
      const int equal = PyObject_RichCompareBool(d.addresses[p].get(), program, Py_EQ);
      if (equal < 0) return nullptr;
      if (equal == 0) continue;
      PyRef names(PyList_New(static_cast<Py_ssize_t>(d.call_keys[p].size())));
      if (!names) return nullptr;
      for (std::size_t i = 0; i < d.call_keys[p].size(); ++i) {
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), Py_NewRef(PyTuple_GET_ITEM(d.call_keys[p][i].get(), 1)));
      }
      return names.release();
    }
    PyErr_SetObject(PyExc_KeyError, program);
    return nullptr;
  });
}

}  // namespace brisquel::tables
