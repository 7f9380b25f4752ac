// DecodedEvents: one call's tables, a read-only mapping from key to EventTable
// in declaration order, with the bodies that did not decode. DecodedAccounts
// is the same mapping over account tables, with counts of what was not decoded.
#include "src/tables/decoded_events.hpp"

#include "src/arguments.hpp"
#include "src/tables/binding.hpp"
#include "src/tables/event_table.hpp"

namespace brisquel::tables {
namespace {

struct DecodedEvents {
  PyRef tables;  // dict: key -> EventTable, in declaration order; never handed out
  PyRef errors;  // EventTable
  std::int64_t inputs;
  PyRef counts;        // DecodedAccounts: dict of str -> int; else empty
  PyRef other_owners;  // DecodedAccounts: dict of owner (str or None) -> int; else empty
};

using DecodedEventsType = TablesType<DecodedEvents>;

Py_ssize_t decoded_events_len(PyObject* self) {
  const DecodedEvents* e = DecodedEventsType::get(self);
  return e != nullptr ? PyDict_GET_SIZE(e->tables.get()) : -1;
}

PyObject* decoded_events_getitem(PyObject* self, PyObject* key) {
  return DecodedEventsType::call(self, [&](const DecodedEvents& e) -> PyObject* {
    PyObject* table = nullptr;
    if (PyDict_GetItemRef(e.tables.get(), key, &table) == 0) PyErr_SetObject(PyExc_KeyError, key);
    return table;
  });
}

int decoded_events_contains(PyObject* self, PyObject* key) {
  const DecodedEvents* e = DecodedEventsType::get(self);
  return e != nullptr ? PyDict_Contains(e->tables.get(), key) : -1;
}

PyObject* decoded_events_iter(PyObject* self) {
  return DecodedEventsType::call(self, [](const DecodedEvents& e) { return PyObject_GetIter(e.tables.get()); });
}

// keys(), values() and items(): views of the private dict, which cannot change it.
template <const char* Method>
PyObject* dict_view(PyObject* self, PyObject*) {
  return DecodedEventsType::call(self, [](const DecodedEvents& e) {
    return PyObject_CallMethod(e.tables.get(), Method, nullptr);
  });
}
constexpr char kKeys[] = "keys";
constexpr char kValues[] = "values";
constexpr char kItems[] = "items";

constexpr Parameter kGetParams[] = {positional("key"), positional("default", false)};
constexpr Signature kGetSignature{"DecodedEvents.get()", kGetParams};

PyObject* decoded_events_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return DecodedEventsType::call(self, [&](const DecodedEvents& e) -> PyObject* {
    Arguments<2> a;
    if (!a.bind(kGetSignature, args, nargs, kwnames)) return nullptr;
    PyObject* table = nullptr;
    if (PyDict_GetItemRef(e.tables.get(), a[0], &table) != 0) return table;  // found, or failed
    return Py_NewRef(a.given(1) ? a[1] : Py_None);
  });
}

PyObject* decoded_events_errors(PyObject* self, void*) {
  return DecodedEventsType::call(self, [](const DecodedEvents& e) { return e.errors.new_ref(); });
}

PyObject* decoded_events_inputs(PyObject* self, void*) {
  return DecodedEventsType::call(self, [](const DecodedEvents& e) { return PyLong_FromLongLong(e.inputs); });
}

PyObject* decoded_events_repr(PyObject* self) {
  return DecodedEventsType::call(self, [self](const DecodedEvents& e) -> PyObject* {
    PyRef parts(PyList_New(0));
    if (!parts) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *table;
    while (PyDict_Next(e.tables.get(), &pos, &key, &table)) {
      PyRef part(PyUnicode_FromFormat("%R: %zd", key, PyObject_Length(table)));
      if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
    }
    PyRef sep(PyUnicode_FromString(", "));
    if (!sep) return nullptr;
    PyRef joined(PyUnicode_Join(sep.get(), parts.get()));
    if (!joined) return nullptr;
    PyRef type_name(PyType_GetName(Py_TYPE(self)));
    if (!type_name) return nullptr;
    return PyUnicode_FromFormat("<%U {%U}, %zd errors>", type_name.get(), joined.get(),
                                PyObject_Length(e.errors.get()));
  });
}

PyMethodDef decoded_events_methods[] = {
    {"keys", dict_view<kKeys>, METH_NOARGS, "keys($self)\n--\n\nThe keys, in declaration order."},
    {"values", dict_view<kValues>, METH_NOARGS, "values($self)\n--\n\nThe tables, in declaration order."},
    {"items", dict_view<kItems>, METH_NOARGS, "items($self)\n--\n\n(key, table) pairs, in declaration order."},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoded_events_get)),
     METH_FASTCALL | METH_KEYWORDS, "get($self, key, default=None, /)\n--\n\nThe table of `key`, or `default`."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* decoded_accounts_counts(PyObject* self, void*) {
  return DecodedEventsType::call(self, [](const DecodedEvents& e) { return PyDict_Copy(e.counts.get()); });
}

PyObject* decoded_accounts_other_owners(PyObject* self, void*) {
  return DecodedEventsType::call(self, [](const DecodedEvents& e) { return PyDict_Copy(e.other_owners.get()); });
}

PyGetSetDef decoded_events_getset[] = {
    {"errors", decoded_events_errors, nullptr,
     "Every body whose discriminator matched an event but that did not decode: where it was, the event and\n"
     "the decoder's message.",
     nullptr},
    {"inputs", decoded_events_inputs, nullptr,
     "How many inputs the call read: transactions, rows of nested input, or lines of flat input.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef decoded_accounts_getset[] = {
    {"errors", decoded_events_errors, nullptr,
     "Every account that matched a type but did not decode, and every account of these programs whose data\n"
     "did not decode: where it lives, its program, its type (None for unreadable data) and the message.",
     nullptr},
    {"inputs", decoded_events_inputs, nullptr, "How many accounts the call read, missing ones included.", nullptr},
    {"counts", decoded_accounts_counts, nullptr,
     "What became of the accounts read: decoded, failed (error rows), missing, other_owner, parsed (jsonParsed\n"
     "data), unreadable (data that did not decode; error rows too) and no_match (no discriminator matched).",
     nullptr},
    {"other_owners", decoded_accounts_other_owners, nullptr,
     "The owners of the accounts of other programs (None where the input does not say) and how many accounts\n"
     "each owns, most first; at most 256 owners.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// DecodedEvents, and DecodedCalls: the same mapping under a name that says what it holds.
constexpr char kEventsDoc[] =
    "A read-only mapping from event key to EventTable, one entry per event the\n"
    "IDL declares, in declaration order, empty tables included.";
constexpr char kCallsDoc[] =
    "A read-only mapping from (program, instruction) to the EventTable of its calls,\n"
    "one entry per instruction the IDLs declare, in declaration order, empty tables\n"
    "included; `errors` holds the calls that could not be read or decoded.";

template <const char* Doc>
PyType_Slot mapping_slots[] = {
    {Py_tp_doc, const_cast<char*>(Doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(DecodedEventsType::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(decoded_events_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(decoded_events_iter)},
    {Py_tp_methods, decoded_events_methods},
    {Py_tp_getset, decoded_events_getset},
    {Py_mp_length, reinterpret_cast<void*>(decoded_events_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(decoded_events_getitem)},
    {Py_sq_contains, reinterpret_cast<void*>(decoded_events_contains)},
    {0, nullptr},
};

PyType_Spec decoded_events_spec =
    DecodedEventsType::spec("brisquel.DecodedEvents", mapping_slots<kEventsDoc>, Py_TPFLAGS_DISALLOW_INSTANTIATION);
PyType_Spec decoded_calls_spec =
    DecodedEventsType::spec("brisquel.DecodedCalls", mapping_slots<kCallsDoc>, Py_TPFLAGS_DISALLOW_INSTANTIATION);

PyType_Slot decoded_accounts_slots[] = {
    {Py_tp_doc, const_cast<char*>("A read-only mapping from (program, account type) to EventTable, one entry per\n"
                                  "account type of each IDL, in declaration order, empty tables included.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(DecodedEventsType::dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(decoded_events_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(decoded_events_iter)},
    {Py_tp_methods, decoded_events_methods},
    {Py_tp_getset, decoded_accounts_getset},
    {Py_mp_length, reinterpret_cast<void*>(decoded_events_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(decoded_events_getitem)},
    {Py_sq_contains, reinterpret_cast<void*>(decoded_events_contains)},
    {0, nullptr},
};

PyType_Spec decoded_accounts_spec =
    DecodedEventsType::spec("brisquel.DecodedAccounts", decoded_accounts_slots, Py_TPFLAGS_DISALLOW_INSTANTIATION);

// The mapping of keys[i] -> EventTable over tables[i] and the errors table; false with the error set.
bool make_tables(State& state, std::span<PyObject* const> keys,
                 std::vector<std::shared_ptr<const arrow::Table>>& tables, std::shared_ptr<const arrow::Table> errors,
                 PyRef& mapping, PyRef& errors_table) {
  mapping = PyRef(PyDict_New());
  if (!mapping) return false;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyRef table(new_event_table(state, keys[i], std::move(tables[i])));
    if (!table || PyDict_SetItem(mapping.get(), keys[i], table.get()) < 0) return false;
  }
  PyRef name(PyUnicode_FromString("errors"));
  if (!name) return false;
  errors_table = PyRef(new_event_table(state, name.get(), std::move(errors)));
  return static_cast<bool>(errors_table);
}

}  // namespace

PyTypeObject* create_decoded_events_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &decoded_events_spec, nullptr));
}

PyTypeObject* create_decoded_calls_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &decoded_calls_spec, nullptr));
}

PyTypeObject* create_decoded_accounts_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &decoded_accounts_spec, nullptr));
}

PyObject* new_decoded_events(State& state, std::span<PyObject* const> keys,
                             std::vector<std::shared_ptr<const arrow::Table>>&& tables,
                             std::shared_ptr<const arrow::Table> errors, std::int64_t inputs, PyTypeObject* type) {
  PyRef mapping, errors_table;
  if (!make_tables(state, keys, tables, std::move(errors), mapping, errors_table)) return nullptr;
  return DecodedEventsType::create(type != nullptr ? type : state.decoded_events,
                                   DecodedEvents{std::move(mapping), std::move(errors_table), inputs, PyRef(), PyRef()});
}

PyObject* new_decoded_accounts(State& state, std::span<PyObject* const> keys,
                               std::vector<std::shared_ptr<const arrow::Table>>&& tables,
                               std::shared_ptr<const arrow::Table> errors, std::int64_t inputs, PyRef counts,
                               PyRef other_owners) {
  PyRef mapping, errors_table;
  if (!make_tables(state, keys, tables, std::move(errors), mapping, errors_table)) return nullptr;
  return DecodedEventsType::create(state.decoded_accounts,
                                   DecodedEvents{std::move(mapping), std::move(errors_table), inputs, std::move(counts),
                                                 std::move(other_owners)});
}

}  // namespace brisquel::tables
