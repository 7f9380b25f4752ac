// The second module, brisquel._tables: decoders whose output is Arrow tables
// (and transactions' events). Its classes and exceptions live in the module's
// state, so each interpreter that imports it has its own.
#pragma once

#include "src/py_ref.hpp"

namespace brisquel::tables {

struct State {
  PyTypeObject* table_decoder = nullptr;
  PyTypeObject* decoded_events = nullptr;
  PyTypeObject* event_table = nullptr;
  PyTypeObject* schema = nullptr;
  PyTypeObject* transaction_decoder = nullptr;
  PyTypeObject* tx_event = nullptr;  // a named tuple class
  PyTypeObject* tx_call = nullptr;     // a named tuple class
  PyTypeObject* call_error = nullptr;  // a named tuple class
  PyTypeObject* decoded_calls = nullptr;
  PyTypeObject* account_decoder = nullptr;
  PyTypeObject* decoded_accounts = nullptr;
  PyTypeObject* account_state = nullptr;  // a named tuple class
  PyObject* error = nullptr;         // Error(ValueError), the family's base
  PyObject* read_error = nullptr;    // ReadError(Error)
  PyObject* idl_error = nullptr;     // IdlError(Error)
  PyObject* decode_error = nullptr;  // DecodeError(Error)
};

extern PyModuleDef module_def;

// The state of the module that defined `type` (one of the module's classes).
inline State& state_of(PyTypeObject* type) {
  return *static_cast<State*>(PyModule_GetState(PyType_GetModuleByDef(type, &module_def)));
}

// Each creates its class from its spec, bound to `module`: a new reference or nullptr.
PyTypeObject* create_table_decoder_type(PyObject* module);
PyTypeObject* create_decoded_events_type(PyObject* module);
PyTypeObject* create_event_table_type(PyObject* module);
PyTypeObject* create_schema_type(PyObject* module);
PyTypeObject* create_transaction_decoder_type(PyObject* module);
PyTypeObject* create_tx_event_type(PyObject* module);
PyTypeObject* create_tx_call_type(PyObject* module);
PyTypeObject* create_call_error_type(PyObject* module);
PyTypeObject* create_decoded_calls_type(PyObject* module);
PyTypeObject* create_account_decoder_type(PyObject* module);
PyTypeObject* create_decoded_accounts_type(PyObject* module);
PyTypeObject* create_account_state_type(PyObject* module);

}  // namespace brisquel::tables
