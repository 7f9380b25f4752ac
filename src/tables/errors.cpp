#include "src/tables/errors.hpp"

#include <string>

namespace brisquel::tables {
namespace {

PyRef text_of(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyRef optional_index(const std::optional<std::size_t>& value) {
  return value ? PyRef(PyLong_FromSize_t(*value)) : PyRef(Py_NewRef(Py_None));
}

const char* kind_name(tx::ReadErrorKind kind) {
  switch (kind) {
    case tx::ReadErrorKind::kInvalidJson: return "invalid_json";
    case tx::ReadErrorKind::kTruncated: return "truncated";
    case tx::ReadErrorKind::kShape: return "shape";
    case tx::ReadErrorKind::kRpcError: return "rpc_error";
    case tx::ReadErrorKind::kTooLarge: return "too_large";
  }
  return "invalid_json";
}

// A class whose instances have every attribute, None until set, so that one
// made by hand (a test, a re-raise) reads like one raised here.
PyObject* new_class(const char* name, const char* doc, std::initializer_list<const char*> attributes) {
  PyRef defaults(PyDict_New());
  if (!defaults) return nullptr;
  for (const char* a : attributes) {
    if (PyDict_SetItemString(defaults.get(), a, Py_None) < 0) return nullptr;
  }
  return PyErr_NewExceptionWithDoc(name, doc, PyExc_ValueError, defaults.get());
}

// Raises an instance of `type` with message `message` and the given attributes.
void raise_with(PyObject* type, std::string_view message, std::initializer_list<std::pair<const char*, PyRef>> attrs) {
  PyRef text = text_of(message);
  if (!text) return;
  PyRef exc(PyObject_CallOneArg(type, text.get()));
  if (!exc) return;
  for (const auto& [name, value] : attrs) {
    if (!value || PyObject_SetAttrString(exc.get(), name, value.get()) < 0) return;
  }
  PyErr_SetRaisedException(exc.release());
}

}  // namespace

bool add_exceptions(PyObject* module, State& state) {
  state.read_error = new_class("brisquel.ReadError",
                               "A text of transactions that cannot be read: where (line, column, offset), what\n"
                               "kind of failure, and where the next line starts (JSON lines).",
                               {"input", "kind", "line", "column", "offset", "resume_at", "reason"});
  if (state.read_error == nullptr || PyModule_AddObjectRef(module, "ReadError", state.read_error) < 0) return false;
  state.idl_error = new_class("brisquel.IdlError",
                              "An IDL that cannot be used: which one (index) and why (reason).",
                              {"index", "reason", "duplicate_of", "program"});
  return state.idl_error != nullptr && PyModule_AddObjectRef(module, "IdlError", state.idl_error) >= 0;
}

void raise_read_error(const State& state, const char* input, const tx::ReadError& error) {
  const std::string message = std::string(input) + ": " + error.describe();
  raise_with(state.read_error, message,
             {{"input", PyRef(PyUnicode_FromString(input))},
              {"kind", PyRef(PyUnicode_FromString(kind_name(error.kind)))},
              {"line", PyRef(PyLong_FromSize_t(error.line))},
              {"column", PyRef(PyLong_FromSize_t(error.column))},
              {"offset", PyRef(PyLong_FromSize_t(error.offset))},
              {"resume_at", optional_index(error.resume_at)},
              {"reason", text_of(error.message)}});
}

void raise_idl_error(const State& state, const IdlFailure& failure) {
  std::string message;
  if (failure.index && !failure.duplicate_of) message = "idls[" + std::to_string(*failure.index) + "]: ";
  message += failure.reason;
  raise_with(state.idl_error, message,
             {{"index", optional_index(failure.index)},
              {"reason", text_of(failure.reason)},
              {"duplicate_of", optional_index(failure.duplicate_of)},
              {"program", failure.program.empty() ? PyRef(Py_NewRef(Py_None)) : text_of(failure.program)}});
}

}  // namespace brisquel::tables
