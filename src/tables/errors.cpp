#include "src/tables/errors.hpp"

#include <string>

#include "src/tables/py_values.hpp"

namespace brisquel::tables {
namespace {

PyRef none() { return PyRef(Py_NewRef(Py_None)); }

PyRef optional_index(const std::optional<std::size_t>& value) {
  return value ? PyRef(PyLong_FromSize_t(*value)) : none();
}

PyRef optional_text(std::string_view text) { return text.empty() ? none() : str_of(text); }

// A class whose instances have every attribute, None until set, so that one
// made by hand (a test, a re-raise) reads like one raised here.
PyObject* new_class(const char* name, const char* doc, PyObject* base, std::initializer_list<const char*> attributes) {
  PyRef defaults(PyDict_New());
  if (!defaults) return nullptr;
  for (const char* a : attributes) {
    if (PyDict_SetItemString(defaults.get(), a, Py_None) < 0) return nullptr;
  }
  return PyErr_NewExceptionWithDoc(name, doc, base, defaults.get());
}

// Raises an instance of `type` with message `message` and the given attributes.
void raise_with(PyObject* type, std::string_view message, std::initializer_list<std::pair<const char*, PyRef>> attrs) {
  PyRef text = str_of(message);
  if (!text) return;
  PyRef exc(PyObject_CallOneArg(type, text.get()));
  if (!exc) return;
  for (const auto& [name, value] : attrs) {
    if (!value || PyObject_SetAttrString(exc.get(), name, value.get()) < 0) return;
  }
  PyErr_SetRaisedException(exc.release());
}

bool add_class(PyObject* module, const char* name, PyObject*& slot, PyObject* made) {
  slot = made;
  return made != nullptr && PyModule_AddObjectRef(module, name, made) >= 0;
}

}  // namespace

bool add_exceptions(PyObject* module, State& state) {
  PyObject* base = new_class("brisquel.Error",
                             "A failure that input caused: where in the value (path, offset), and the\n"
                             "program and item (event, instruction, account type) when known.",
                             PyExc_ValueError, {"path", "offset", "program", "item"});
  if (!add_class(module, "Error", state.error, base)) return false;
  return add_class(module, "ReadError", state.read_error,
                   new_class("brisquel.ReadError",
                             "A text of transactions that cannot be read: where (line, column, offset), what\n"
                             "kind of failure, and where the next line starts (JSON lines).",
                             base, {"input", "kind", "line", "column", "resume_at", "reason"})) &&
         add_class(module, "IdlError", state.idl_error,
                   new_class("brisquel.IdlError", "An IDL that cannot be used: which one (index) and why (reason).",
                             base, {"index", "reason", "duplicate_of"})) &&
         add_class(module, "DecodeError", state.decode_error,
                   new_class("brisquel.DecodeError",
                             "Bytes that do not decode as their type: what kind of failure, and where\n"
                             "in the value (path) and in the bytes (offset).",
                             base, {"kind", "reason"}));
}

void raise_read_error(const State& state, const char* input, const Error& error, std::string_view message) {
  const std::string reason = describe(error);
  const std::string made = message.data() == nullptr ? std::string(input) + ": " + describe_at(error) : std::string();
  // Outside a text (Python objects, Arrow arrays) there is no place to give.
  auto place = [&](std::size_t value) { return error.in_text() ? PyRef(PyLong_FromSize_t(value)) : none(); };
  raise_with(state.read_error, message.data() == nullptr ? std::string_view(made) : message,
             {{"input", PyRef(PyUnicode_FromString(input))},
              {"kind", PyRef(PyUnicode_FromString(kind_name(error.kind)))},
              {"line", place(error.line)},
              {"column", place(error.column)},
              {"offset", place(error.offset)},
              {"resume_at", optional_index(error.resume_at)},
              {"reason", str_of(reason)}});
}

void raise_idl_error(const State& state, const Error& error, std::optional<std::size_t> index,
                     std::optional<std::size_t> duplicate_of) {
  const std::string reason = describe(error);
  std::string message;
  if (index && !duplicate_of) message = "idls[" + std::to_string(*index) + "]: ";
  message += reason;
  raise_with(state.idl_error, message,
             {{"index", optional_index(index)},
              {"reason", str_of(reason)},
              {"duplicate_of", optional_index(duplicate_of)},
              {"program", optional_text(error.program)}});
}

PyObject* path_tuple(const FieldPath& path) {
  if (path.empty()) return Py_NewRef(Py_None);
  const std::vector<PathStep> steps = path.outward();
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(steps.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    PyObject* step = steps[i].is_index() ? PyLong_FromUnsignedLongLong(steps[i].index)
                                         : str_of(steps[i].name).release();
    if (step == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), step);
  }
  return tuple.release();
}

void raise_decode_error(const State& state, const Error& error) {
  const std::string reason = describe(error);
  const std::string message = describe_at(error);
  raise_with(state.decode_error, message,
             {{"kind", PyRef(PyUnicode_FromString(kind_name(error.kind)))},
              {"reason", str_of(reason)},
              {"path", PyRef(path_tuple(error.path))},
              {"offset", PyRef(PyLong_FromUnsignedLongLong(error.offset))},
              {"program", optional_text(error.program)},
              {"item", optional_text(error.item)}});
}

PyObject* in_family(const State& state, PyObject* result) {
  if (result != nullptr) return result;
  PyRef cause(PyErr_GetRaisedException());
  // Only a plain ValueError: its subclasses (UnicodeError for a str that is
  // not text, the family itself) keep their type, which callers catch.
  if (cause.get() == nullptr || Py_TYPE(cause.get()) != reinterpret_cast<PyTypeObject*>(PyExc_ValueError)) {
    PyErr_SetRaisedException(cause.release());
    return nullptr;
  }
  PyRef text(PyObject_Str(cause.get()));
  if (!text) return nullptr;
  PyRef exc(PyObject_CallOneArg(state.error, text.get()));
  if (!exc) return nullptr;
  PyException_SetCause(exc.get(), cause.release());  // steals the reference
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

}  // namespace brisquel::tables
