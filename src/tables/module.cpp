// The compiled module brisquel._tables: decoders whose output is Arrow tables
// or attributed transaction events. Its classes and exceptions are made per
// module object, so each interpreter has its own; it needs no global
// interpreter lock, and loads in interpreters with a lock of their own.
#include "src/tables/errors.hpp"
#include "src/tables/state.hpp"

#ifdef BRISQUEL_TEST_HOOKS
#include "core/shared_mutex.hpp"
#endif

namespace brisquel::tables {
namespace {

State& state(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// Keeps `type` (a new reference, or nullptr after a failure) in the state and
// adds it to the module; false with the error set.
bool add_type(PyObject* module, const char* name, PyTypeObject* type, PyTypeObject*& slot) {
  if (type == nullptr) return false;
  slot = type;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

int module_exec(PyObject* module) {
  State& s = state(module);
  const bool ok = add_type(module, "EventTable", create_event_table_type(module), s.event_table) &&
                  add_type(module, "Schema", create_schema_type(module), s.schema) &&
                  add_type(module, "DecodedEvents", create_decoded_events_type(module), s.decoded_events) &&
                  add_type(module, "TableDecoder", create_table_decoder_type(module), s.table_decoder) &&
                  add_type(module, "TransactionDecoder", create_transaction_decoder_type(module),
                           s.transaction_decoder) &&
                  add_type(module, "TxEvent", create_tx_event_type(module), s.tx_event) &&
                  add_type(module, "TxCall", create_tx_call_type(module), s.tx_call) &&
                  add_type(module, "CallError", create_call_error_type(module), s.call_error) &&
                  add_type(module, "DecodedCalls", create_decoded_calls_type(module), s.decoded_calls) &&
                  add_type(module, "AccountDecoder", create_account_decoder_type(module), s.account_decoder) &&
                  add_type(module, "DecodedAccounts", create_decoded_accounts_type(module), s.decoded_accounts) &&
                  add_type(module, "AccountState", create_account_state_type(module), s.account_state) &&
                  add_exceptions(module, s);
  return ok ? 0 : -1;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  State& s = state(module);
  Py_VISIT(s.table_decoder);
  Py_VISIT(s.decoded_events);
  Py_VISIT(s.event_table);
  Py_VISIT(s.schema);
  Py_VISIT(s.transaction_decoder);
  Py_VISIT(s.tx_event);
  Py_VISIT(s.tx_call);
  Py_VISIT(s.call_error);
  Py_VISIT(s.decoded_calls);
  Py_VISIT(s.account_decoder);
  Py_VISIT(s.decoded_accounts);
  Py_VISIT(s.account_state);
  Py_VISIT(s.read_error);
  Py_VISIT(s.idl_error);
  return 0;
}

int module_clear(PyObject* module) {
  State& s = state(module);
  Py_CLEAR(s.table_decoder);
  Py_CLEAR(s.decoded_events);
  Py_CLEAR(s.event_table);
  Py_CLEAR(s.schema);
  Py_CLEAR(s.transaction_decoder);
  Py_CLEAR(s.tx_event);
  Py_CLEAR(s.tx_call);
  Py_CLEAR(s.call_error);
  Py_CLEAR(s.decoded_calls);
  Py_CLEAR(s.account_decoder);
  Py_CLEAR(s.decoded_accounts);
  Py_CLEAR(s.account_state);
  Py_CLEAR(s.read_error);
  Py_CLEAR(s.idl_error);
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
