#include "src/tables/arrow_objects.hpp"

#include <new>
#include <string>
#include <system_error>

#include "core/arrow/export.hpp"
#include "src/arguments.hpp"
#include "src/panic.hpp"

namespace brisquel::tables {
namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kArrayCapsule = "arrow_array";

PyRef utf8(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// --- capsules ---------------------------------------------------------------

// A capsule's struct is released when the capsule goes, unless a consumer
// moved it out (and set its release to null), as the interface asks.
template <class Struct, const char* const* Name>
void free_capsule(PyObject* capsule) {
  auto* s = static_cast<Struct*>(PyCapsule_GetPointer(capsule, *Name));
  if (s == nullptr) {
    PyErr_Clear();
    return;
  }
  if (s->release != nullptr) s->release(s);
  delete s;
}

constexpr auto free_schema_capsule = free_capsule<ArrowSchema, &kSchemaCapsule>;
constexpr auto free_stream_capsule = free_capsule<ArrowArrayStream, &kStreamCapsule>;

PyObject* schema_capsule(std::span<const arrow::Field> fields) {
  auto* s = new ArrowSchema{};
  arrow::export_schema(fields, s);
  PyObject* capsule = PyCapsule_New(s, kSchemaCapsule, free_schema_capsule);
  if (capsule == nullptr) {
    s->release(s);
    delete s;
  }
  return capsule;
}

PyObject* stream_capsule(std::shared_ptr<const arrow::Table> table) {
  auto* s = new ArrowArrayStream{};
  if (auto ok = arrow::export_stream(std::move(table), s); !ok) {
    delete s;
    throw Panic{"table refused by its own export: " + ok.error()};
  }
  PyObject* capsule = PyCapsule_New(s, kStreamCapsule, free_stream_capsule);
  if (capsule == nullptr) {
    s->release(s);
    delete s;
  }
  return capsule;
}

// The optional `requested_schema` of the capsule methods. A producer may
// ignore it; these tables have one form, which is what they give.
bool bind_requested_schema(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"requested_schema"};
  if (nargs == 0 && kwnames == nullptr) return true;
  PyObject* given = nullptr;
  const Signature sig{method, kParams};
  return bind_vectorcall(sig, args, nargs, kwnames, &given);
}

// --- EventTable --------------------------------------------------------------

struct EventTableObject {
  PyObject_HEAD
  std::shared_ptr<const arrow::Table> table;
  PyObject* name;
  std::int64_t rows;
};

EventTableObject* as_table(PyObject* self) { return reinterpret_cast<EventTableObject*>(self); }

void event_table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_table(self)->table.~shared_ptr();
  Py_XDECREF(as_table(self)->name);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t event_table_len(PyObject* self) { return static_cast<Py_ssize_t>(as_table(self)->rows); }

PyObject* event_table_name(PyObject* self, void*) { return Py_NewRef(as_table(self)->name); }

// The names of `fields` as a new list of str.
PyObject* names_of(const std::vector<arrow::Field>& fields) {
  return guard([&]() -> PyObject* {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      PyRef name = utf8(fields[i].name);
      if (!name) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    return list.release();
  });
}

PyObject* event_table_column_names(PyObject* self, void*) { return names_of(as_table(self)->table->fields); }

PyObject* event_table_schema(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    return new_schema(state_of(Py_TYPE(self)), as_table(self)->table->fields);
  });
}

PyObject* event_table_c_schema(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* { return schema_capsule(as_table(self)->table->fields); });
}

PyObject* event_table_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    if (!bind_requested_schema("EventTable.__arrow_c_stream__()", args, nargs, kwnames)) return nullptr;
    return stream_capsule(as_table(self)->table);
  });
}

PyObject* event_table_repr(PyObject* self) {
  const auto* t = as_table(self);
  return PyUnicode_FromFormat("<EventTable %R: %lld rows, %zu columns>", t->name, static_cast<long long>(t->rows),
                              t->table->fields.size());
}

PyMethodDef event_table_methods[] = {
    {"__arrow_c_schema__", event_table_c_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe table's schema as an Arrow PyCapsule (\"arrow_schema\")."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(event_table_c_stream)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The table's record batches as an Arrow PyCapsule (\"arrow_array_stream\"), without a copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef event_table_getset[] = {
    {"name", event_table_name, nullptr, "The event's key in its DecodedEvents.", nullptr},
    {"column_names", event_table_column_names, nullptr, "Names of the columns: context first, then fields.", nullptr},
    {"schema", event_table_schema, nullptr, "The table's schema (an object with __arrow_c_schema__).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot event_table_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The rows of one event, readable by any Arrow consumer without a copy:\n"
                    "pyarrow.table(t), pyarrow.RecordBatchReader.from_stream(t), polars.from_arrow(t), ...")},
    {Py_tp_dealloc, reinterpret_cast<void*>(event_table_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(event_table_repr)},
    {Py_tp_methods, event_table_methods},
    {Py_tp_getset, event_table_getset},
    {Py_sq_length, reinterpret_cast<void*>(event_table_len)},
    {0, nullptr},
};

// Made only by the decoders: a type from a spec without Py_tp_new would take
// object.__new__, and an instance made that way holds no table.
PyType_Spec event_table_spec = {"brisquel.EventTable", sizeof(EventTableObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, event_table_slots};

// --- Schema --------------------------------------------------------------------

struct SchemaObject {
  PyObject_HEAD
  std::vector<arrow::Field>* fields;
};

SchemaObject* as_schema(PyObject* self) { return reinterpret_cast<SchemaObject*>(self); }

void schema_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_schema(self)->fields;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* schema_c_schema(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* { return schema_capsule(*as_schema(self)->fields); });
}

PyObject* schema_names(PyObject* self, void*) { return names_of(*as_schema(self)->fields); }

PyObject* schema_repr(PyObject* self) {
  std::string text = "<Schema";
  for (const auto& f : *as_schema(self)->fields) {
    text += text.size() == 7 ? " " : ", ";
    text += f.name + ": " + arrow::type_name(f.type);
  }
  text += ">";
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
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
    {Py_tp_dealloc, reinterpret_cast<void*>(schema_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(schema_repr)},
    {Py_tp_methods, schema_methods},
    {Py_tp_getset, schema_getset},
    {0, nullptr},
};

PyType_Spec schema_spec = {"brisquel.Schema", sizeof(SchemaObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, schema_slots};

// --- DecodedEvents -----------------------------------------------------------

struct DecodedEventsObject {
  PyObject_HEAD
  PyObject* tables;  // dict: key -> EventTable, in declaration order
  PyObject* errors;  // EventTable
  std::int64_t inputs;
};

DecodedEventsObject* as_events(PyObject* self) { return reinterpret_cast<DecodedEventsObject*>(self); }

void decoded_events_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(as_events(self)->tables);
  Py_XDECREF(as_events(self)->errors);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t decoded_events_len(PyObject* self) { return PyDict_GET_SIZE(as_events(self)->tables); }

PyObject* decoded_events_getitem(PyObject* self, PyObject* key) {
  PyObject* table = nullptr;
  const int found = PyDict_GetItemRef(as_events(self)->tables, key, &table);
  if (found == 0) PyErr_SetObject(PyExc_KeyError, key);
  return table;
}

int decoded_events_contains(PyObject* self, PyObject* key) { return PyDict_Contains(as_events(self)->tables, key); }

PyObject* decoded_events_iter(PyObject* self) { return PyObject_GetIter(as_events(self)->tables); }

// keys(), values() and items(): the views of the private dict, which cannot
// change it.
PyObject* call_dict(PyObject* self, const char* method) {
  return PyObject_CallMethod(as_events(self)->tables, method, nullptr);
}
PyObject* decoded_events_keys(PyObject* self, PyObject*) { return call_dict(self, "keys"); }
PyObject* decoded_events_values(PyObject* self, PyObject*) { return call_dict(self, "values"); }
PyObject* decoded_events_items(PyObject* self, PyObject*) { return call_dict(self, "items"); }

PyObject* decoded_events_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 2) {
    PyErr_Format(PyExc_TypeError, "get expected 1 or 2 arguments, got %zd", nargs);
    return nullptr;
  }
  PyObject* table = nullptr;
  const int found = PyDict_GetItemRef(as_events(self)->tables, args[0], &table);
  if (found != 0) return table;
  return Py_NewRef(nargs == 2 ? args[1] : Py_None);
}

PyObject* decoded_events_errors(PyObject* self, void*) { return Py_NewRef(as_events(self)->errors); }

PyObject* decoded_events_inputs(PyObject* self, void*) { return PyLong_FromLongLong(as_events(self)->inputs); }

PyObject* decoded_events_repr(PyObject* self) {
  PyRef parts(PyList_New(0));
  if (!parts) return nullptr;
  Py_ssize_t pos = 0;
  PyObject *key, *table;
  while (PyDict_Next(as_events(self)->tables, &pos, &key, &table)) {
    PyRef part(PyUnicode_FromFormat("%R: %zd", key, PyObject_Length(table)));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
  }
  PyRef sep(PyUnicode_FromString(", "));
  if (!sep) return nullptr;
  PyRef joined(PyUnicode_Join(sep.get(), parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("<DecodedEvents {%U}, %zd errors>", joined.get(),
                              PyObject_Length(as_events(self)->errors));
}

PyMethodDef decoded_events_methods[] = {
    {"keys", decoded_events_keys, METH_NOARGS, "keys($self)\n--\n\nThe keys, in declaration order."},
    {"values", decoded_events_values, METH_NOARGS, "values($self)\n--\n\nThe tables, in declaration order."},
    {"items", decoded_events_items, METH_NOARGS, "items($self)\n--\n\n(key, table) pairs, in declaration order."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoded_events_get)), METH_FASTCALL,
     "get($self, key, default=None, /)\n--\n\nThe table of `key`, or `default`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoded_events_getset[] = {
    {"errors", decoded_events_errors, nullptr,
     "Every body whose discriminator matched an event but that did not decode: where it was, the event and\n"
     "the decoder's message.",
     nullptr},
    {"inputs", decoded_events_inputs, nullptr,
     "How many inputs the call read: transactions, rows of nested input, or lines of flat input.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoded_events_slots[] = {
    {Py_tp_doc, const_cast<char*>("A read-only mapping from event key to EventTable, one entry per event the\n"
                                  "IDL declares, in declaration order, empty tables included.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoded_events_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(decoded_events_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(decoded_events_iter)},
    {Py_tp_methods, decoded_events_methods},
    {Py_tp_getset, decoded_events_getset},
    {Py_mp_length, reinterpret_cast<void*>(decoded_events_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(decoded_events_getitem)},
    {Py_sq_contains, reinterpret_cast<void*>(decoded_events_contains)},
    {0, nullptr},
};

PyType_Spec decoded_events_spec = {"brisquel.DecodedEvents", sizeof(DecodedEventsObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, decoded_events_slots};

}  // namespace

PyTypeObject* create_event_table_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &event_table_spec, nullptr));
}
PyTypeObject* create_schema_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &schema_spec, nullptr));
}
PyTypeObject* create_decoded_events_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &decoded_events_spec, nullptr));
}

PyObject* new_event_table(State& state, PyObject* name, std::shared_ptr<const arrow::Table> table) {
  PyObject* self = state.event_table->tp_alloc(state.event_table, 0);
  if (self == nullptr) return nullptr;
  std::int64_t rows = 0;
  for (const auto& b : table->batches) rows += b->length;
  new (&as_table(self)->table) std::shared_ptr<const arrow::Table>(std::move(table));
  as_table(self)->name = Py_NewRef(name);
  as_table(self)->rows = rows;
  return self;
}

PyObject* new_schema(State& state, std::vector<arrow::Field> fields) {
  PyObject* self = state.schema->tp_alloc(state.schema, 0);
  if (self == nullptr) return nullptr;
  as_schema(self)->fields = new std::vector<arrow::Field>(std::move(fields));
  return self;
}

PyObject* new_decoded_events(State& state, std::span<PyObject* const> keys,
                             std::vector<std::shared_ptr<const arrow::Table>>&& tables,
                             std::shared_ptr<const arrow::Table> errors, std::int64_t inputs) {
  PyRef mapping(PyDict_New());
  if (!mapping) return nullptr;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyRef table(new_event_table(state, keys[i], std::move(tables[i])));
    if (!table || PyDict_SetItem(mapping.get(), keys[i], table.get()) < 0) return nullptr;
  }
  PyRef name(PyUnicode_FromString("errors"));
  if (!name) return nullptr;
  PyRef errors_table(new_event_table(state, name.get(), std::move(errors)));
  if (!errors_table) return nullptr;
  PyObject* self = state.decoded_events->tp_alloc(state.decoded_events, 0);
  if (self == nullptr) return nullptr;
  as_events(self)->tables = mapping.release();
  as_events(self)->errors = errors_table.release();
  as_events(self)->inputs = inputs;
  return self;
}

// --- Arrow input -------------------------------------------------------------

ArrowLines::~ArrowLines() {
  for (ArrowArray& a : arrays_) {
    if (a.release != nullptr) a.release(&a);
  }
  if (schema_.release != nullptr) schema_.release(&schema_);
}

int ArrowLines::read(PyObject* obj) {
  PyObject* method = nullptr;
  if (PyObject_GetOptionalAttrString(obj, "__arrow_c_stream__", &method) < 0) return -1;
  if (method != nullptr) {
    PyRef m(method);
    PyRef capsule(PyObject_CallNoArgs(m.get()));
    if (!capsule) return -1;
    return read_stream(capsule.get());
  }
  if (PyObject_GetOptionalAttrString(obj, "__arrow_c_array__", &method) < 0) return -1;
  if (method == nullptr) return 0;
  PyRef m(method);
  PyRef pair(PyObject_CallNoArgs(m.get()));
  if (!pair) return -1;
  return read_array(pair.get());
}

bool ArrowLines::take_schema() {
  auto nested = arrow::LineColumn::check_schema(schema_);
  if (!nested) {
    PyRef text = utf8("argument 'logs': " + nested.error());
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
    return false;
  }
  nested_ = *nested;
  return true;
}

bool ArrowLines::take_array(ArrowArray& array) {
  arrays_.push_back(array);
  array.release = nullptr;
  auto column = arrow::LineColumn::open(schema_, arrays_.back());
  if (!column) {
    PyRef text = utf8("argument 'logs': " + column.error());
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    return false;
  }
  columns_.push_back(std::move(*column));
  return true;
}

int ArrowLines::read_stream(PyObject* capsule) {
  auto* given = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (given == nullptr) return -1;
  // Moved out of the capsule, which then releases nothing. A producer may hand
  // the same capsule to several threads: only one of them may take it.
  ArrowArrayStream stream{};
  Py_BEGIN_CRITICAL_SECTION(capsule);
  stream = *given;
  given->release = nullptr;
  Py_END_CRITICAL_SECTION();
  if (stream.release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "argument 'logs': the Arrow stream was already consumed");
    return -1;
  }
  struct Release {
    ArrowArrayStream& s;
    ~Release() { s.release(&s); }
  } release{stream};
  auto stream_error = [&](int code) {
    const char* why = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    // Not strerror, which need not be thread-safe: without the interpreter lock, calls may overlap.
    const std::string errno_text = why != nullptr ? std::string() : std::generic_category().message(code);
    PyErr_Format(PyExc_ValueError, "argument 'logs': the Arrow stream failed (%s)",
                 why != nullptr ? why : errno_text.c_str());
    return -1;
  };
  if (const int code = stream.get_schema(&stream, &schema_); code != 0) return stream_error(code);
  if (!take_schema()) return -1;
  for (;;) {
    ArrowArray array{};
    if (const int code = stream.get_next(&stream, &array); code != 0) return stream_error(code);
    if (array.release == nullptr) return 1;  // the end
    if (!take_array(array)) return -1;
  }
}

int ArrowLines::read_array(PyObject* pair) {
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
    PyErr_SetString(PyExc_TypeError, "argument 'logs': __arrow_c_array__ did not return a (schema, array) pair");
    return -1;
  }
  PyObject* schema_capsule = PyTuple_GET_ITEM(pair, 0);
  PyObject* array_capsule = PyTuple_GET_ITEM(pair, 1);
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, kSchemaCapsule));
  if (schema == nullptr) return -1;
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, kArrayCapsule));
  if (array == nullptr) return -1;
  // Both are taken, or neither, in one step that no other thread can split.
  bool consumed = false;
  ArrowArray moved{};
  Py_BEGIN_CRITICAL_SECTION2(schema_capsule, array_capsule);
  consumed = schema->release == nullptr || array->release == nullptr;
  if (!consumed) {
    schema_ = *schema;
    schema->release = nullptr;
    moved = *array;
    array->release = nullptr;
  }
  Py_END_CRITICAL_SECTION2();
  if (consumed) {
    PyErr_SetString(PyExc_ValueError, "argument 'logs': the Arrow array was already consumed");
    return -1;
  }
  if (!take_schema()) {
    moved.release(&moved);
    return -1;
  }
  return take_array(moved) ? 1 : -1;
}

}  // namespace brisquel::tables
