// The compiled module brisquel._tables: decoders whose output is Arrow tables
// or attributed transaction events. Its classes are made per module object,
// so each interpreter has its own; it needs no global interpreter lock.
#include "src/tables/state.hpp"

namespace brisquel::tables {
namespace {

State& state(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

int add_type(PyObject* module, const char* name, PyTypeObject* type, PyTypeObject*& slot) {
  if (type == nullptr) return -1;
  slot = type;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

// TxEvent: a named tuple, so that it unpacks, compares and prints as one.
PyTypeObject* create_tx_event_type() {
  PyRef collections(PyImport_ImportModule("collections"));
  if (!collections) return nullptr;
  PyRef type(PyObject_CallMethod(
      collections.get(), "namedtuple", "ss", "TxEvent",
      "tx signature slot block_time program instruction inner depth source truncated name fields"));
  if (!type) return nullptr;
  PyRef module(PyUnicode_FromString("brisquel"));
  PyRef doc(PyUnicode_FromString(
      "One event of a transaction: where it was found (tx: the transaction's index in the input; instruction:\n"
      "the outer instruction; inner: the inner instruction that carried it or whose invocation logged it;\n"
      "depth: the invoke depth of the program that emitted it; source: 'log', 'cpi' or 'log+cpi'), its\n"
      "program's address, and the event's name and fields as parse_logs makes them."));
  if (!module || !doc || PyObject_SetAttrString(type.get(), "__module__", module.get()) < 0 ||
      PyObject_SetAttrString(type.get(), "__doc__", doc.get()) < 0) {
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

int module_exec(PyObject* module) {
  State& s = state(module);
  if (add_type(module, "EventTable", create_event_table_type(module), s.event_table) < 0) return -1;
  if (add_type(module, "Schema", create_schema_type(module), s.schema) < 0) return -1;
  if (add_type(module, "DecodedEvents", create_decoded_events_type(module), s.decoded_events) < 0) return -1;
  if (add_type(module, "TableDecoder", create_table_decoder_type(module), s.table_decoder) < 0) return -1;
  if (add_type(module, "TransactionDecoder", create_transaction_decoder_type(module), s.transaction_decoder) < 0) {
    return -1;
  }
  return add_type(module, "TxEvent", create_tx_event_type(), s.tx_event);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  State& s = state(module);
  Py_VISIT(s.table_decoder);
  Py_VISIT(s.decoded_events);
  Py_VISIT(s.event_table);
  Py_VISIT(s.schema);
  Py_VISIT(s.transaction_decoder);
  Py_VISIT(s.tx_event);
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
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tables",
    "Decoders whose output is Arrow tables or attributed transaction events: `brisquel._tables`.",
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace brisquel::tables

PyMODINIT_FUNC PyInit__tables() { return PyModuleDef_Init(&brisquel::tables::module_def); }
