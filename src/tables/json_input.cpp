#include "src/tables/json_input.hpp"

#include <string>

#include "src/tables/py_json.hpp"

namespace brisquel::tables {

bool JsonInput::open(const State& state, PyObject* obj, bool balances) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return false;
    text_ = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
  }
  if (PyBytes_Check(obj) || PyByteArray_Check(obj) || PyMemoryView_Check(obj)) {
    if (PyObject_GetBuffer(obj, &buffer_, PyBUF_SIMPLE) < 0) return false;
    has_buffer_ = true;
    text_ = std::string_view(static_cast<const char*>(buffer_.buf), static_cast<std::size_t>(buffer_.len));
    return true;
  }
  // Python objects: written as the JSON text they came from, and read as such.
  switch (dump_json(obj, dumped_, balances)) {
    case DumpResult::kDone: break;
    case DumpResult::kFailed: return false;
    case DumpResult::kTooDeep: {
      // As the same value written as text fails.
      const std::string reason = "nesting deeper than " + std::to_string(max_dump_depth()) + " levels";
      raise_read_error(state, "transactions", Error(Error::Kind::TooLarge, reason));
      return false;
    }
    case DumpResult::kTooLarge: {
      const std::string reason = "JSON text of the objects longer than " + std::to_string(max_dump_bytes()) + " bytes";
      raise_read_error(state, "transactions", Error(Error::Kind::TooLarge, reason));
      return false;
    }
  }
  text_ = dumped_;
  return true;
}

}  // namespace brisquel::tables
