// Decoded fields as Python values, or (json_fields=True) as the JSON text the
// command line prints, from one walk of the body with either sink.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/compiled_idl.hpp"
#include "core/json_sink.hpp"
#include "src/python_sink.hpp"

namespace brisquel::tables {

class FieldsMaker {
 public:
  explicit FieldsMaker(bool json) : json_(json) {}

  // walk(sink) runs the walk of one body with `sink` (a PySink or a JsonSink)
  // and returns what it returns. The fields, or an empty PyRef: the body did
  // not decode (the walk's state says why), or raised() and an exception is
  // set that must end the call.
  template <class Walk>
  PyRef make(const PyNames& names, Walk&& walk) {
    raised_ = false;
    if (json_) {
      text_.clear();
      JsonSink sink(text_);
      if (!walk(sink)) return PyRef();
      PyRef out(PyUnicode_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size())));
      raised_ = !out;
      return out;
    }
    PySink sink(names);
    PyRef out = walk(sink);
    if (!out) raised_ = sink.reraise_if_aborted();
    return out;
  }

  bool raised() const { return raised_; }

 private:
  bool json_;
  bool raised_ = false;
  std::string text_;  // reused from one body to the next
};

// Whether an event body that did not decode is an older, shorter version's:
// it decodes when it may end where a top-level field begins. Only failures
// pay for this second walk, which makes no values.
inline bool older_event_version(const EventLayout& layout, std::span<const std::uint8_t> body) {
  SkipSink skip;
  WalkState lenient(body);
  return SkipSink::Walk(skip, lenient).decode_fields(*layout.fields, {}, true);
}

}  // namespace brisquel::tables
