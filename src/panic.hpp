// How the Python-facing layer fails. There are four ways, each with its place:
// - A line that does not decode is a value (an Error: what, where, how
//   much), formatted only where a text is read; parse_logs drops it unread.
// - A Python-callable function that fails returns nullptr (or false inside)
//   with the interpreter's exception set, as the C API does; arguments, the
//   IDL's errors and the interpreter's own errors take this way.
// - An internal fault (a broken invariant: core's Fault; or the interpreter
//   failing to create an object mid-decode, when unwinding through half-made
//   values is the only sound exit: Panic) is thrown, and guard() raises it as
//   PanicException with its message.
// - A failed native allocation aborts the process after a message.
#pragma once

#include "core/fault.hpp"
#include "src/py_ref.hpp"

#include <string>
#include <string_view>

namespace brisquel {

// The interpreter failed while values were being made. Its exception (an
// owned reference) is reported only once the call has unwound, so that Python
// code run by the unraisable hook can never reach a half-built list or dict.
class Panic : public Fault {
 public:
  Panic(std::string message, PyObject* cause) : Fault(std::move(message)), cause(cause) {}
  PyObject* cause;
};

// Abandons the method call with the pending Python exception as its cause; the
// boundary reports it through the unraisable-exception hook.
[[noreturn]] void panic_after_python_error();

// "pyo3_runtime.PanicException" (a BaseException), created on first use in
// each interpreter; a new reference, or nullptr with the creation error set.
PyObject* panic_exception_type();

// Sets PanicException(message) as the pending exception.
void raise_panic(std::string_view message);

// Runs `body` (returning a new reference or nullptr with an exception set) and
// turns what it throws into a Python exception or, for native allocation
// failure, a message on standard error and an abort.
template <class F>
PyObject* guard(F&& body) noexcept;

[[noreturn]] void abort_out_of_memory() noexcept;

}  // namespace brisquel

#include <new>

template <class F>
PyObject* brisquel::guard(F&& body) noexcept {
  try {
    return body();
  } catch (const Panic& p) {
    if (p.cause != nullptr) {
      PyErr_SetRaisedException(p.cause);  // takes the reference
      PyErr_WriteUnraisable(nullptr);
    }
    raise_panic(p.message());
    return nullptr;
  } catch (const Fault& f) {
    raise_panic(f.message());
    return nullptr;
  } catch (const std::bad_alloc&) {
    abort_out_of_memory();
  } catch (...) {
    raise_panic("unexpected native exception");
    return nullptr;
  }
}
