#include "src/tables/named_tuple.hpp"

namespace brisquel::tables {

PyTypeObject* create_named_tuple_type(const char* name, const char* fields, const char* doc,
                                      Py_ssize_t none_defaults) {
  PyRef collections(PyImport_ImportModule("collections"));
  if (!collections) return nullptr;
  PyRef make(PyObject_GetAttrString(collections.get(), "namedtuple"));
  PyRef args(Py_BuildValue("(ss)", name, fields));
  PyRef defaults(PyTuple_New(none_defaults));
  if (!make || !args || !defaults) return nullptr;
  for (Py_ssize_t i = 0; i < none_defaults; ++i) PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
  PyRef kwargs(Py_BuildValue("{s:O}", "defaults", defaults.get()));
  if (!kwargs) return nullptr;
  PyRef type(PyObject_Call(make.get(), args.get(), kwargs.get()));
  if (!type) return nullptr;
  PyRef module(PyUnicode_FromString("brisquel"));
  PyRef text(PyUnicode_FromString(doc));
  if (!module || !text || PyObject_SetAttrString(type.get(), "__module__", module.get()) < 0 ||
      PyObject_SetAttrString(type.get(), "__doc__", text.get()) < 0) {
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

PyObject* NamedTupleMaker::make(std::span<PyObject*> values) {
  const auto n = static_cast<Py_ssize_t>(values.size());
  PyRef items(PyTuple_New(n));
  if (!items) {
    for (PyObject* v : values) Py_XDECREF(v);
    return nullptr;
  }
  for (Py_ssize_t k = 0; k < n; ++k) PyTuple_SET_ITEM(items.get(), k, values[static_cast<std::size_t>(k)]);
  if (!args_) {
    args_ = PyRef(PyTuple_New(1));
    if (!args_) return nullptr;
  }
  PyTuple_SET_ITEM(args_.get(), 0, items.release());
  PyObject* made = PyTuple_Type.tp_new(type_, args_.get(), nullptr);
  PyObject* used = PyTuple_GET_ITEM(args_.get(), 0);
  PyTuple_SET_ITEM(args_.get(), 0, nullptr);
  Py_DECREF(used);
  return made;
}

}  // namespace brisquel::tables
