// Decodes one event body from Borsh into Python values, driven by the
// prepared type nodes: one pass, each value made as soon as its bytes are read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/result.hpp"
#include "codec/cursor.hpp"
#include "src/decoder_tables.hpp"
#include "src/py_ref.hpp"

namespace brisquel {

// How deep types may nest while decoding (each decoded type counts one level):
// self-referential definitions end here instead of exhausting the stack.
inline constexpr int kMaxTypeDepth = 128;
// How many elements that take no payload bytes one payload may produce, so a
// forged count of empty structs cannot create billions of objects.
inline constexpr std::uint32_t kMaxZeroSizedElements = 1u << 20;
// Lists whose count the payload could back are sized up front up to this many.
inline constexpr std::uint64_t kMaxPresizedList = 4096;

class BorshDecoder {
 public:
  explicit BorshDecoder(std::span<const std::uint8_t> body) : cursor_(body) {}

  // Each returns the new value or the decoder's error text. decode_fields
  // gives a dict (named fields), a list (tuple fields) or {} (no field list).
  Result<PyRef> decode_fields(const std::optional<FieldList>& fields) { return result(fields_of(fields)); }
  Result<PyRef> decode_type(const TypeNode& type) { return result(value_of(type)); }
  Result<PyRef> decode_defined(const TypeNode& type) { return result(defined_of(type)); }
  Result<PyRef> decode_enum(const std::vector<Variant>& variants) { return result(enum_of(variants)); }

  const codec::Cursor& cursor() const { return cursor_; }

 private:
  // The recursion itself passes one pointer around: an empty PyRef is a
  // failure whose text waits in error_.
  PyRef fields_of(const std::optional<FieldList>& fields);
  PyRef value_of(const TypeNode& type);
  PyRef defined_of(const TypeNode& type);
  PyRef enum_of(const std::vector<Variant>& variants);
  PyRef list_of(const TypeNode& element, std::uint64_t count);
  PyRef string_of();

  [[gnu::cold]] PyRef failed(std::string text) {
    error_ = std::move(text);
    return PyRef();
  }
  [[gnu::cold]] PyRef read_failed(std::uint64_t n) { return failed(cursor_.read_error(n)); }
  [[gnu::cold]] PyRef python_failed();

  Result<PyRef> result(PyRef value) {
    if (!value) return fail(std::move(error_));
    return value;
  }

  codec::Cursor cursor_;
  int depth_ = 0;
  std::uint32_t zero_sized_ = 0;
  std::string error_;
};

}  // namespace brisquel
