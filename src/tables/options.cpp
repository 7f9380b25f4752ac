#include "src/tables/options.hpp"

#include "src/arguments.hpp"

namespace brisquel::tables {
namespace {

// Which of `a` (false) or `b` (true) `value` names; nullptr leaves `out` as it is.
bool choose(PyObject* value, const char* name, const char* a, const char* b, bool& out) {
  if (value == nullptr) return true;
  if (!PyUnicode_Check(value)) {
    raise_not_instance(name, value, "str");
    return false;
  }
  if (PyUnicode_EqualToUTF8(value, a) || PyUnicode_EqualToUTF8(value, b)) {
    out = PyUnicode_EqualToUTF8(value, b) != 0;
    return true;
  }
  PyErr_Format(PyExc_ValueError, "%s must be '%s' or '%s', not %R", name, a, b, value);
  return false;
}

}  // namespace

bool parse_options(PyObject* pubkeys, PyObject* wide_ints, PyObject* short_events, TableOptions& out) {
  return choose(pubkeys, "pubkeys", "base58", "binary", out.binary_pubkeys) &&
         choose(wide_ints, "wide_ints", "decimal", "string", out.text_wide_ints) &&
         choose(short_events, "short_events", "skip", "null", out.null_short_events);
}

std::optional<std::string_view> idl_text(PyObject* idl_json, const char* param) {
  if (!PyUnicode_Check(idl_json)) {
    raise_not_instance(param, idl_json, "str");
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(idl_json, &size);
  if (text == nullptr) return std::nullopt;  // UnicodeEncodeError passes unchanged
  return std::string_view(text, static_cast<std::size_t>(size));
}

}  // namespace brisquel::tables
