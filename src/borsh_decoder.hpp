// Decodes one event body from Borsh into Python values, driven by the
// prepared type nodes: one pass, each value made as soon as its bytes are read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "idl/result.hpp"
#include "src/codec/cursor.hpp"
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

  // Returns a dict (named), a list (tuple) or an empty dict (no field list).
  Result<PyRef> decode_fields(const std::optional<FieldList>& fields);
  Result<PyRef> decode_type(const TypeNode& type);
  Result<PyRef> decode_defined(const TypeNode& type);
  Result<PyRef> decode_enum(const std::vector<Variant>& variants);

  const codec::Cursor& cursor() const { return cursor_; }

 private:
  Result<PyRef> decode_value(const TypeNode& type);
  Result<PyRef> decode_list(const TypeNode& element, std::uint64_t count);
  Result<PyRef> decode_string();

  codec::Cursor cursor_;
  int depth_ = 0;
  std::uint32_t zero_sized_ = 0;
};

}  // namespace brisquel
