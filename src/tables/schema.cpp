// Schema: an event table's Arrow schema, without data.
#include "src/tables/schema.hpp"

#include <string>

#include "src/tables/binding.hpp"
#include "src/tables/capsules.hpp"

namespace brisquel::tables {
namespace {

struct Schema {
  std::vector<arrow::Field> fields;
};

using SchemaType = TablesType<Schema>;

PyObject* schema_c_schema(PyObject* self, PyObject*) {
  return SchemaType::call(self, [](const Schema& s) { return schema_capsule(s.fields); });
}

PyObject* schema_names(PyObject* self, void*) {
  return SchemaType::call(self, [](const Schema& s) { return field_names(s.fields); });
}

PyObject* schema_repr(PyObject* self) {
  return SchemaType::call(self, [](const Schema& s) {
    std::string text = "<Schema";
    for (const auto& f : s.fields) {
      text += text.size() == 7 ? " " : ", ";
      text += f.name + ": " + arrow::type_name(f.type);
    }
    text += ">";
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  });
}

PyMethodDef schema_methods[] = {
    {"__arrow_c_schema__", schema_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe schema as an Arrow PyCapsule (\"arrow_schema\")."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef schema_getset[] = {
    {"names", schema_names, nullptr, "Names of the columns.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot schema_slots[] = {
    {Py_tp_doc, const_cast<char*>("An event table's Arrow schema: pyarrow.schema(s) reads it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(SchemaType::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(schema_repr)},
    {Py_tp_methods, schema_methods},
    {Py_tp_getset, schema_getset},
    {0, nullptr},
};

PyType_Spec schema_spec = SchemaType::spec("brisquel.Schema", schema_slots, Py_TPFLAGS_DISALLOW_INSTANTIATION);

}  // namespace

PyTypeObject* create_schema_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &schema_spec, nullptr));
}

PyObject* new_schema(State& state, std::vector<arrow::Field> fields) {
  return SchemaType::create(state.schema, Schema{std::move(fields)});
}

PyObject* field_names(const std::vector<arrow::Field>& fields) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(fields.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string& name = fields[i].name;
    PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

}  // namespace brisquel::tables
