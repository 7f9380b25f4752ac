#include "src/parse_logs.hpp"

#include "core/event_lines.hpp"
#include "src/python_sink.hpp"

namespace brisquel {

PyObject* parse_lines(const Decoder& decoder, const LogBatch& lines) {
  PyRef result = made(PyList_New(0));
  PayloadBuffer buffer;
  PySink sink(decoder.names);
  const auto events = decoder.idl->events();
  for (std::size_t i = 0, n = lines.size(); i < n; ++i) {
    const auto match = match_event_line(*decoder.idl, lines[i], buffer, kPythonValuesSimd);
    if (!match) continue;
    WalkState state(match->body);
    PySink::Walk walk(sink, state);
    PyRef fields = walk.decode_fields(*match->layout->fields, {});
    if (!fields) {
      if (sink.aborted()) [[unlikely]] {
        sink.reraise();
        return nullptr;
      }
      continue;
    }
    PyRef pair = made(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, Py_NewRef(decoder.names.event(match->layout - events.data())));
    PyTuple_SET_ITEM(pair.get(), 1, fields.release());
    if (PyList_Append(result.get(), pair.get()) < 0) return nullptr;
  }
  return result.release();
}

}  // namespace brisquel
