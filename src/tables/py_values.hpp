// Small Python values the second module's files all make, defined once here.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "src/py_ref.hpp"

namespace brisquel::tables {

// A str of UTF-8 text (bad bytes replaced); nullptr with the error set.
inline PyRef str_of(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// An int, or None.
inline PyRef optional_int(const std::optional<std::uint32_t>& v) {
  return v ? PyRef(PyLong_FromUnsignedLong(*v)) : PyRef(Py_NewRef(Py_None));
}

}  // namespace brisquel::tables
