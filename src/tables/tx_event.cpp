// TxEvent: a named tuple, so that it unpacks, compares and prints as one.
#include "src/tables/tx_event.hpp"

namespace brisquel::tables {

PyTypeObject* create_tx_event_type(PyObject*) {
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

PyObject* TxEventMaker::make(std::array<PyObject*, kTxEventFields>& values) {
  PyRef items(PyTuple_New(kTxEventFields));
  if (!items) {
    for (PyObject* v : values) Py_XDECREF(v);
    return nullptr;
  }
  for (std::size_t k = 0; k < kTxEventFields; ++k) PyTuple_SET_ITEM(items.get(), k, values[k]);
  if (!args_) {
    args_ = PyRef(PyTuple_New(1));
    if (!args_) return nullptr;
  }
  PyTuple_SET_ITEM(args_.get(), 0, items.release());
  PyObject* event = PyTuple_Type.tp_new(type_, args_.get(), nullptr);
  PyObject* used = PyTuple_GET_ITEM(args_.get(), 0);
  PyTuple_SET_ITEM(args_.get(), 0, nullptr);
  Py_DECREF(used);
  return event;
}

}  // namespace brisquel::tables
