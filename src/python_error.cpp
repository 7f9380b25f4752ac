#include "src/python_error.hpp"

#include "codec/utf8.hpp"
#include "src/panic.hpp"

namespace brisquel {

std::string utf8_text_of(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(utf8, static_cast<std::size_t>(size));
  PyErr_Clear();
  // Surrogates pass through as their three-byte forms, which the repair then
  // replaces like any other ill-formed sequence.
  PyRef raw(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!raw) panic_after_python_error();
  return codec::utf8_lossy(std::string_view(PyBytes_AS_STRING(raw.get()),
                                            static_cast<std::size_t>(PyBytes_GET_SIZE(raw.get()))));
}

PyRef take_python_error() {
  PyRef exc(PyErr_GetRaisedException());
  if (!exc) {
    exc = PyRef(PyObject_CallFunction(PyExc_SystemError, "s", "attempted to fetch exception but none was set"));
    if (!exc) panic_after_python_error();
  }
  return exc;
}

std::string python_error_text(PyObject* exc) {
  PyRef qualname(PyType_GetQualName(Py_TYPE(exc)));
  if (!qualname) panic_after_python_error();
  std::string text = utf8_text_of(qualname.get());
  text += ": ";
  PyRef str(PyObject_Str(exc));
  if (!str) {
    PyErr_Clear();
    text += "<exception str() failed>";
    return text;
  }
  text += utf8_text_of(str.get());
  return text;
}

}  // namespace brisquel
