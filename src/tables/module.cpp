// The compiled module brisquel._tables: decoders whose output is Arrow tables
// or attributed transaction events. Its classes and exceptions are made per
// module object, so each interpreter has its own; it needs no global
// interpreter lock, and loads in interpreters with a lock of their own.
#include <iterator>

#include "src/tables/errors.hpp"
#include "src/tables/state.hpp"

#ifdef BRISQUEL_TEST_HOOKS
#include "core/shared_mutex.hpp"
#endif

namespace brisquel::tables {
namespace {

State& state(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// The module's classes: each made, kept in the state and added to the module
// from this one table, and visited and cleared from it.
struct TypeEntry {
  const char* name;
  PyTypeObject* (*create)(PyObject* module);
  PyTypeObject* State::*slot;
};

constexpr TypeEntry kTypes[] = {
    {"EventTable", create_event_table_type, &State::event_table},
    {"Schema", create_schema_type, &State::schema},
    {"DecodedEvents", create_decoded_events_type, &State::decoded_events},
    {"TableDecoder", create_table_decoder_type, &State::table_decoder},
    {"TransactionDecoder", create_transaction_decoder_type, &State::transaction_decoder},
    {"TxEvent", create_tx_event_type, &State::tx_event},
    {"TxCall", create_tx_call_type, &State::tx_call},
    {"CallError", create_call_error_type, &State::call_error},
    {"DecodedCalls", create_decoded_calls_type, &State::decoded_calls},
    {"AccountDecoder", create_account_decoder_type, &State::account_decoder},
    {"DecodedAccounts", create_decoded_accounts_type, &State::decoded_accounts},
    {"AccountState", create_account_state_type, &State::account_state},
};

// The exceptions, made by add_exceptions.
constexpr PyObject* State::*kExceptions[] = {&State::error, &State::read_error, &State::idl_error,
                                             &State::decode_error};

int module_exec(PyObject* module) {
  State& s = state(module);
  for (const TypeEntry& t : kTypes) {
    PyTypeObject* type = t.create(module);
    if (type == nullptr) return -1;
    s.*t.slot = type;
    if (PyModule_AddObjectRef(module, t.name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
  }
  return add_exceptions(module, s) ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  State& s = state(module);
  for (const TypeEntry& t : kTypes) Py_VISIT(s.*t.slot);
  for (PyObject* State::*e : kExceptions) Py_VISIT(s.*e);
  return 0;
}

int module_clear(PyObject* module) {
  State& s = state(module);
  for (const TypeEntry& t : kTypes) Py_CLEAR(s.*t.slot);
  for (PyObject* State::*e : kExceptions) Py_CLEAR(s.*e);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

#ifdef BRISQUEL_TEST_HOOKS
// _shared_locks() -> {name: (taken, waited)}: the mutexes this module's
// decoding threads share, with how often each was taken and found held.
// Here, not in the test-hook module, which has pools of its own.
PyObject* shared_locks(PyObject*, PyObject*) {
  PyRef out(PyDict_New());
  if (!out) return nullptr;
  for (const SharedMutexCount& c : shared_mutex_counts()) {
    PyRef counts(Py_BuildValue("(KK)", static_cast<unsigned long long>(c.taken),
                               static_cast<unsigned long long>(c.waited)));
    if (!counts || PyDict_SetItemString(out.get(), c.name, counts.get()) < 0) return nullptr;
  }
  return out.release();
}

PyMethodDef module_methods[] = {
    {"_shared_locks", shared_locks, METH_NOARGS, "_shared_locks() -> {name: (taken, waited)}"},
    {nullptr, nullptr, 0, nullptr},
};
#else
PyMethodDef* const module_methods = nullptr;
#endif

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tables",
    "Decoders whose output is Arrow tables or attributed transaction events: `brisquel._tables`.",
    sizeof(State),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace brisquel::tables

PyMODINIT_FUNC PyInit__tables() { return PyModuleDef_Init(&brisquel::tables::module_def); }
