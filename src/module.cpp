// The compiled module brisquel._brisquel: two-phase initialisation whose exec
// step adds the EventDecoder class; the module needs no global interpreter lock.
#include "src/event_decoder.hpp"

namespace brisquel {
namespace {

int module_exec(PyObject* module) {
  PyRef type(create_event_decoder_type(module));
  if (!type) return -1;
  PyObject* existing = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &existing) < 0) return -1;
  PyRef all(existing);
  if (!all) {
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef name(PyUnicode_FromString("EventDecoder"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, "EventDecoder", type.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_brisquel",
    "The compiled extension module: `brisquel._brisquel`.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace brisquel

PyMODINIT_FUNC PyInit__brisquel() { return PyModuleDef_Init(&brisquel::module_def); }
