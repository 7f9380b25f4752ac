// Python objects for decoded values. Each returns a new reference; a null from
// the interpreter (memory exhaustion) panics, except on the 256-bit path,
// which runs Python code and whose failures are ordinary exceptions.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "codec/simd_level.hpp"
#include "src/panic.hpp"
#include "src/py_ref.hpp"

namespace brisquel {

inline PyRef made(PyObject* object) {
  if (object == nullptr) [[unlikely]] panic_after_python_error();
  return PyRef(object);
}

inline PyRef py_bool(bool v) { return PyRef(Py_NewRef(v ? Py_True : Py_False)); }
inline PyRef py_none() { return PyRef(Py_NewRef(Py_None)); }
inline PyRef py_int(std::int64_t v) { return made(PyLong_FromLong(static_cast<long>(v))); }
inline PyRef py_uint64(std::uint64_t v) { return made(PyLong_FromUnsignedLongLong(v)); }
inline PyRef py_float(double v) { return made(PyFloat_FromDouble(v)); }

static_assert(sizeof(long) == 8, "64-bit long expected (Linux x86-64)");

// u128 / i128 from their 16 little-endian bytes, in one call.
PyRef py_int128(const std::array<std::uint8_t, 16>& le_bytes, bool is_signed);

// u256 / i256 through Python's int.from_bytes, importing builtins on each call
// so that import hooks and a replaced builtins.int apply. Empty, with the
// exception of the step that failed pending, on failure.
PyRef pyint_from_le_bytes(const std::array<std::uint8_t, 32>& le_bytes, bool is_signed);

PyRef py_bytes(std::span<const std::uint8_t> body);

// `utf8` must be valid UTF-8.
PyRef py_str(std::string_view utf8);
PyRef py_ascii_str(std::string_view ascii);

// The vector instructions the codecs may use while Python values are made
// between their calls: AVX2 at most (see codec::simd_level).
inline constexpr codec::SimdLevel kPythonValuesSimd = codec::SimdLevel::avx2;

// The base58 text of a public key.
PyRef py_pubkey(const std::array<std::uint8_t, 32>& key);

}  // namespace brisquel
