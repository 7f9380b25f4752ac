#include "src/tables/arrow_import.hpp"

#include <system_error>

#include "src/tables/capsules.hpp"
#include "src/tables/errors.hpp"

namespace brisquel::tables {

ArrowImport::~ArrowImport() { let_go(true); }

void ArrowImport::let_go(bool data) {
  PyObject* pending = PyErr_GetRaisedException();
  if (stream_.release != nullptr) stream_.release(&stream_);
  if (data) {
    for (ArrowArray& a : arrays_) {
      if (a.release != nullptr) a.release(&a);
    }
    if (schema_.release != nullptr) schema_.release(&schema_);
  }
  source_ = PyRef();
  if (pending != nullptr) PyErr_SetRaisedException(pending);
}

void ArrowImport::raise(PyObject* type, const std::string& reason) const {
  const std::string message = std::string("argument '") + param_ + "': " + reason;
  if (state_ != nullptr && type == PyExc_ValueError) {
    raise_read_error(*state_, param_, Error(Error::Kind::Shape, reason), message);
    return;
  }
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

ArrowImport::Read ArrowImport::read(PyObject* obj, const std::function<bool()>& check,
                                    const std::function<bool(ArrowArray&)>& take, const State* state) {
  state_ = state;
  const Read read = read_from(obj, check, take);
  // What failed lets go of everything at once; what was read keeps its arrays.
  let_go(read == Read::Failed);
  return read;
}

ArrowImport::Read ArrowImport::read_from(PyObject* obj, const std::function<bool()>& check,
                                         const std::function<bool(ArrowArray&)>& take) {
  PyObject* method = nullptr;
  if (PyObject_GetOptionalAttrString(obj, "__arrow_c_stream__", &method) < 0) return Read::Failed;
  if (method != nullptr) {
    PyRef m(method);
    source_ = PyRef(PyObject_CallNoArgs(m.get()));
    if (!source_) return Read::Failed;
    return read_stream(source_.get(), check, take);
  }
  if (PyObject_GetOptionalAttrString(obj, "__arrow_c_array__", &method) < 0) return Read::Failed;
  if (method == nullptr) return Read::NotArrow;
  PyRef m(method);
  source_ = PyRef(PyObject_CallNoArgs(m.get()));
  if (!source_) return Read::Failed;
  return read_array(source_.get(), check, take);
}

bool ArrowImport::keep(ArrowArray& array, const std::function<bool(ArrowArray&)>& take) {
  arrays_.push_back(array);
  array.release = nullptr;
  return take(arrays_.back());
}

ArrowImport::Read ArrowImport::read_stream(PyObject* capsule, const std::function<bool()>& check,
                                           const std::function<bool(ArrowArray&)>& take) {
  auto* given = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (given == nullptr) return Read::Failed;
  // Moved out of the capsule, which then releases nothing. A producer may hand
  // the same capsule to several threads: only one of them may take it.
  ArrowArrayStream& stream = stream_;  // released by let_go
  Py_BEGIN_CRITICAL_SECTION(capsule);
  stream = *given;
  given->release = nullptr;
  Py_END_CRITICAL_SECTION();
  if (stream.release == nullptr) {
    raise(PyExc_ValueError, "the Arrow stream was already consumed");
    return Read::Failed;
  }
  auto stream_error = [&](int code) {
    const char* why = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    // Not strerror, which need not be thread-safe: without the interpreter lock, calls may overlap.
    const std::string text = why != nullptr ? std::string(why) : std::generic_category().message(code);
    raise(PyExc_ValueError, "the Arrow stream failed (" + text + ")");
    return Read::Failed;
  };
  if (const int code = stream.get_schema(&stream, &schema_); code != 0) return stream_error(code);
  if (!check()) return Read::Failed;
  for (;;) {
    ArrowArray array{};
    if (const int code = stream.get_next(&stream, &array); code != 0) return stream_error(code);
    if (array.release == nullptr) return Read::Done;  // the end
    if (!keep(array, take)) return Read::Failed;
  }
}

ArrowImport::Read ArrowImport::read_array(PyObject* pair, const std::function<bool()>& check,
                                          const std::function<bool(ArrowArray&)>& take) {
  if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
    raise(PyExc_TypeError, "__arrow_c_array__ did not return a (schema, array) pair");
    return Read::Failed;
  }
  PyObject* schema_capsule = PyTuple_GET_ITEM(pair, 0);
  PyObject* array_capsule = PyTuple_GET_ITEM(pair, 1);
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, kSchemaCapsule));
  if (schema == nullptr) return Read::Failed;
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, kArrayCapsule));
  if (array == nullptr) return Read::Failed;
  // Both are taken, or neither, in one step that no other thread can split.
  bool consumed = false;
  ArrowArray moved{};
  Py_BEGIN_CRITICAL_SECTION2(schema_capsule, array_capsule);
  consumed = schema->release == nullptr || array->release == nullptr;
  if (!consumed) {
    schema_ = *schema;
    schema->release = nullptr;
    moved = *array;
    array->release = nullptr;
  }
  Py_END_CRITICAL_SECTION2();
  if (consumed) {
    raise(PyExc_ValueError, "the Arrow array was already consumed");
    return Read::Failed;
  }
  if (!check()) {
    arrays_.push_back(moved);  // for let_go to release
    return Read::Failed;
  }
  return keep(moved, take) ? Read::Done : Read::Failed;
}

}  // namespace brisquel::tables
