// EventTable: the rows of one event, readable by any Arrow consumer without a copy.
#include "src/tables/event_table.hpp"

#include "src/arguments.hpp"
#include "src/tables/binding.hpp"
#include "src/tables/capsules.hpp"
#include "src/tables/schema.hpp"

namespace brisquel::tables {
namespace {

struct EventTable {
  std::shared_ptr<const arrow::Table> table;
  PyRef name;  // its key in the DecodedEvents
  std::int64_t rows;
};

using EventTableType = TablesType<EventTable>;

Py_ssize_t event_table_len(PyObject* self) {
  const EventTable* t = EventTableType::get(self);
  return t != nullptr ? static_cast<Py_ssize_t>(t->rows) : -1;
}

PyObject* event_table_name(PyObject* self, void*) {
  return EventTableType::call(self, [](const EventTable& t) { return t.name.new_ref(); });
}

PyObject* event_table_column_names(PyObject* self, void*) {
  return EventTableType::call(self, [](const EventTable& t) { return field_names(t.table->fields); });
}

PyObject* event_table_schema(PyObject* self, void*) {
  return EventTableType::call(self, [&](const EventTable& t) {
    return new_schema(state_of(Py_TYPE(self)), t.table->fields);
  });
}

PyObject* event_table_c_schema(PyObject* self, PyObject*) {
  return EventTableType::call(self, [](const EventTable& t) { return schema_capsule(t.table->fields); });
}

// A producer may ignore the requested schema; these tables have one form.
constexpr Parameter kStreamParams[] = {optional("requested_schema")};
constexpr Signature kStreamSignature{"EventTable.__arrow_c_stream__()", kStreamParams};

PyObject* event_table_c_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return EventTableType::call(self, [&](const EventTable& t) -> PyObject* {
    Arguments<1> a;
    if (!a.bind(kStreamSignature, args, nargs, kwnames)) return nullptr;
    return stream_capsule(t.table);
  });
}

PyObject* event_table_repr(PyObject* self) {
  return EventTableType::call(self, [](const EventTable& t) {
    return PyUnicode_FromFormat("<EventTable %R: %lld rows, %zu columns>", t.name.get(),
                                static_cast<long long>(t.rows), t.table->fields.size());
  });
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
    {Py_tp_dealloc, reinterpret_cast<void*>(EventTableType::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(event_table_repr)},
    {Py_tp_methods, event_table_methods},
    {Py_tp_getset, event_table_getset},
    {Py_sq_length, reinterpret_cast<void*>(event_table_len)},
    {0, nullptr},
};

// Made only by the decoders.
PyType_Spec event_table_spec =
    EventTableType::spec("brisquel.EventTable", event_table_slots, Py_TPFLAGS_DISALLOW_INSTANTIATION);

}  // namespace

PyTypeObject* create_event_table_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &event_table_spec, nullptr));
}

PyObject* new_event_table(State& state, PyObject* name, std::shared_ptr<const arrow::Table> table) {
  std::int64_t rows = 0;
  for (const auto& b : table->batches) rows += b->length;
  return EventTableType::create(state.event_table, EventTable{std::move(table), PyRef::borrow(name), rows});
}

}  // namespace brisquel::tables
