// The one binder of call arguments to parameters, for METH_FASTCALL |
// METH_KEYWORDS methods and for tp_new's tuple and dict, with the messages
// of brisquel._brisquel's methods ("EventDecoder.parse_logs() missing 1
// required positional argument: 'logs'").
//
// Every bound argument is held by a strong reference for the whole call, so
// that a caller sharing its keyword dict with another thread cannot free a
// value that is read with the interpreter lock released.
#pragma once

#include "src/py_ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace brisquel {

struct Parameter {
  enum class Kind : std::uint8_t { PositionalOnly, PositionalOrKeyword, KeywordOnly };
  const char* name;
  Kind kind;
  bool required;
};

// Positional or keyword, as `def f(name)` / `def f(name=...)`.
constexpr Parameter required(const char* name) { return {name, Parameter::Kind::PositionalOrKeyword, true}; }
constexpr Parameter optional(const char* name) { return {name, Parameter::Kind::PositionalOrKeyword, false}; }
// After `*`: keyword only, as `def f(*, name=...)`.
constexpr Parameter keyword(const char* name) { return {name, Parameter::Kind::KeywordOnly, false}; }
// Before `/`: positional only, as `def f(name, /)`.
constexpr Parameter positional(const char* name, bool is_required = true) {
  return {name, Parameter::Kind::PositionalOnly, is_required};
}

// Parameters in the order of a Python signature: positional-only, then
// positional-or-keyword, then keyword-only.
struct Signature {
  const char* full_name;  // "EventDecoder.parse_logs()"
  std::span<const Parameter> params;
};

// Fills `out` (one slot per parameter) with new references; an optional
// parameter not given stays empty. False with a TypeError set.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyRef> out);
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyRef> out);

// The arguments of one call, bound to a signature of N parameters.
template <std::size_t N>
class Arguments {
 public:
  bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bind_arguments(sig, args, nargs, kwnames, refs_);
  }
  bool bind(const Signature& sig, PyObject* args, PyObject* kwargs) { return bind_arguments(sig, args, kwargs, refs_); }

  // The argument of parameter i; nullptr for an optional one not given.
  PyObject* operator[](std::size_t i) const { return refs_[i].get(); }
  bool given(std::size_t i) const { return static_cast<bool>(refs_[i]); }

 private:
  std::array<PyRef, N> refs_;
};

// TypeError "argument '{param}': '{type}' object is not an instance of '{target}'"
// ("'None' is not an instance of ..." for None).
void raise_not_instance(const char* param, PyObject* given, const char* target);

// Re-raises the pending exception for parameter `param`: a TypeError gets the
// prefix "argument '{param}': "; any other exception passes unchanged.
void prefix_argument_error(const char* param);

// The truth of an optional flag (absent: `fallback`), as `if value:` tests it;
// nullopt with the error of __bool__ set.
std::optional<bool> flag_argument(PyObject* value, bool fallback);

// An optional non-negative index (absent: 0), taken as `operator.index`
// takes it; nullopt with TypeError, OverflowError or ValueError set.
std::optional<std::size_t> index_argument(PyObject* value, const char* param);

}  // namespace brisquel
