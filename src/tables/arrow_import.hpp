// Arrow data taken from a producer (`__arrow_c_stream__` or
// `__arrow_c_array__`): the schema and arrays are moved out of its capsules,
// once even when threads share a capsule, and released when this goes, with
// the interpreter lock held. A producer's callbacks and capsule destructors
// may run Python code, which must not meet a pending exception: ours is set
// aside while they run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/arrow/c_data.hpp"
#include "src/py_ref.hpp"
#include "src/tables/state.hpp"

namespace brisquel::tables {

class ArrowImport {
 public:
  enum class Read : std::uint8_t {
    NotArrow,  // the object offers neither method: no error set
    Done,
    Failed,    // an error set
  };

  // `param`: the argument's name, which errors start with.
  explicit ArrowImport(const char* param) : param_(param) {}
  ArrowImport(const ArrowImport&) = delete;
  ArrowImport& operator=(const ArrowImport&) = delete;
  ~ArrowImport();

  // check() once the schema is in, then take(array) for each array, kept
  // here; either returns false with the error set to stop.
  // With `state`, a value fault (ValueError) is raised as the module's
  // ReadError (kind "shape", input the argument's name).
  Read read(PyObject* obj, const std::function<bool()>& check, const std::function<bool(ArrowArray&)>& take,
            const State* state = nullptr);

  const ArrowSchema& schema() const { return schema_; }
  // Raises `type` with "argument '<param>': <reason>".
  void raise(PyObject* type, const std::string& reason) const;

 private:
  Read read_from(PyObject* obj, const std::function<bool()>& check, const std::function<bool(ArrowArray&)>& take);
  Read read_stream(PyObject* capsule, const std::function<bool()>& check,
                   const std::function<bool(ArrowArray&)>& take);
  Read read_array(PyObject* pair, const std::function<bool()>& check, const std::function<bool(ArrowArray&)>& take);
  bool keep(ArrowArray& array, const std::function<bool(ArrowArray&)>& take);

  // Gives the producer's stream and capsules back; with `data`, the schema
  // and arrays too. Keeps any pending exception as it was.
  void let_go(bool data);

  const char* param_;
  const State* state_ = nullptr;
  PyRef source_;  // the producer's capsule (or pair) while reading
  ArrowArrayStream stream_{};
  ArrowSchema schema_{};
  std::vector<ArrowArray> arrays_;
};

}  // namespace brisquel::tables
