// The interpreter embedded in a fuzz target, with the module registered as a
// built-in, and one EventDecoder over fuzz/layouts.json built once.
#pragma once

#include <Python.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

extern "C" PyObject* PyInit__brisquel();

namespace brisquel::fuzz {

inline const std::string_view kDiscTail = "\xf0\xf1\xf2\xf3\xf4\xf5\xf6";

[[noreturn]] inline void die(const char* what) {
  std::fprintf(stderr, "fuzz harness: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

inline std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read fuzz/layouts.json");
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The parse_logs method of the shared decoder, and the number of its events.
struct Decoder {
  PyObject* parse_logs = nullptr;
  std::size_t events = 0;
};

inline Decoder& decoder() {
  static Decoder d = [] {
    // Plain malloc lets AddressSanitizer see every object's lifetime.
    setenv("PYTHONMALLOC", "malloc", 1);
    if (PyImport_AppendInittab("_brisquel", PyInit__brisquel) < 0) die("inittab");
    Py_InitializeEx(0);
    PyObject* module = PyImport_ImportModule("_brisquel");
    if (!module) die("import _brisquel");
    std::string text = read_file(BRISQUEL_SOURCE_DIR "/fuzz/layouts.json");
    PyObject* decoder = PyObject_CallMethod(module, "EventDecoder", "s#", text.data(), Py_ssize_t(text.size()));
    if (!decoder) die("EventDecoder(layouts.json)");
    PyObject* names = PyObject_GetAttrString(decoder, "event_names");
    if (!names) die("event_names");
    Decoder out{PyObject_GetAttrString(decoder, "parse_logs"), std::size_t(PyList_Size(names))};
    if (!out.parse_logs || out.events == 0) die("parse_logs");
    Py_DECREF(names);
    Py_DECREF(decoder);
    Py_DECREF(module);
    return out;
  }();
  return d;
}

// Runs parse_logs on the one line `text` (UTF-8) and checks its result: a list
// of (str, dict-or-list) pairs, never an exception for a list of str.
inline void parse_one_line(std::string_view text) {
  Decoder& d = decoder();
  PyObject* line = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "strict");
  if (!line) die("line is not UTF-8");
  PyObject* logs = PyList_New(1);
  if (!logs) die("list");
  PyList_SET_ITEM(logs, 0, line);
  PyObject* events = PyObject_CallOneArg(d.parse_logs, logs);
  if (!events) die("parse_logs raised");
  if (!PyList_CheckExact(events) || PyList_GET_SIZE(events) > 1) die("parse_logs result");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(events); ++i) {
    PyObject* pair = PyList_GET_ITEM(events, i);
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair, 0)))
      die("event pair");
    PyObject* fields = PyTuple_GET_ITEM(pair, 1);
    if (!PyDict_CheckExact(fields) && !PyList_CheckExact(fields)) die("event fields");
  }
  Py_DECREF(events);
  Py_DECREF(logs);
  if (PyErr_Occurred()) die("exception left pending");
}

}  // namespace brisquel::fuzz
