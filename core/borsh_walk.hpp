// The IDL-driven walk over one Borsh event body: it reads exactly the bytes
// each type prescribes, enforces the bounds, and hands every value to a sink
// that makes the output (Python objects, Arrow column entries, JSON text).
// There is one walk; outputs differ only in their sink, so they cannot
// disagree on which bytes mean what or on which bodies fail.
//
// A sink provides, with `W` the walk type:
//   using Value;  // what a value becomes; false when decoding failed
//   using Slot;   // where the value goes (an output column, or nothing)
//   static Value failure();
//   Value scalar(W&, Slot, Kind, const uint8_t* bytes);  // a type of fixed width
//   bool bulk(Kind) const;  // whether scalars() takes a run of this kind
//   Value scalars(W&, Slot, Kind, const uint8_t* bytes, uint64_t count);
//   Value bytes(W&, Slot, std::span<const uint8_t>);
//   Value string(W&, Slot, std::string_view utf8, bool ascii);
//   Value none(W&, Slot);  Slot some(Slot);  // option
//   Value list(W&, Slot, const TypeNode& element, uint64_t count);  // calls W::decode_element
//   Value fields(W&, Slot, const FieldList&, bool may_end);  // calls W::decode_field
//   Value no_fields(W&, Slot);  // a struct without a field list
//   Value variant(W&, Slot, const Definition& enumeration, size_t index);  // calls W::decode_fields
// and optionally `bool diverted(Slot) const` with `Value divert(W&, const TypeNode&, Slot)`,
// for a slot whose value another sink makes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/cursor.hpp"
#include "core/decode_error.hpp"
#include "codec/utf8.hpp"
#include "core/compiled_idl.hpp"

namespace brisquel {

// How deep types may nest while decoding (each decoded type counts one level):
// self-referential definitions end here instead of exhausting the stack.
inline constexpr int kMaxTypeDepth = 128;
// How many elements that take no payload bytes one body may produce, so a
// forged count of empty structs cannot create billions of values.
inline constexpr std::uint32_t kMaxZeroSizedElements = 1u << 20;

// What one body's walk has read and counted; shared by every sink that takes
// part in it, so limits hold across a change of sink.
struct WalkState {
  explicit WalkState(std::span<const std::uint8_t> body) : cursor(body) {}
  Cursor cursor;
  int depth = 0;
  std::uint32_t zero_sized = 0;
  DecodeError error;
};

template <class Sink>
class BorshWalk {
 public:
  using Value = typename Sink::Value;
  using Slot = typename Sink::Slot;
  using Kind = TypeNode::Kind;
  using Why = DecodeError::Kind;

  BorshWalk(Sink& sink, WalkState& state) : sink_(sink), state_(state) {}

  // A field list: named, tuple, or absent. `may_end`: the body may stop
  // where a field begins, the rest being missing (older layouts of an event).
  Value decode_fields(const std::optional<FieldList>& fields, Slot slot, bool may_end = false) {
    if (!fields) return sink_.no_fields(*this, slot);
    Value value = sink_.fields(*this, slot, *fields, may_end);
    if (!fields->gaps.empty() && value) [[unlikely]] {
      // The padding after the last field, unless the body already ended.
      const std::uint32_t gap = fields->gaps.back();
      if (!(may_end && state_.cursor.remaining() <= gap) && !skip(gap)) return Sink::failure();
    }
    return value;
  }

  // Field `i` of `list`, after the padding before it (C layouts). Every sink
  // decodes a field through this, so padding is applied in one place.
  Value decode_field(const FieldList& list, std::size_t i, Slot slot) {
    if (!list.gaps.empty() && !skip(list.gaps[i])) [[unlikely]] return Sink::failure();
    return decode_type(*list.types[i], slot);
  }

  // Whether a body that may end early has ended before field `i` of `list`:
  // only padding, if anything, is left before it. That padding is then
  // taken, so every later field of the list finds the body ended too.
  bool ended_before(const FieldList& list, std::size_t i) {
    const std::uint64_t left = state_.cursor.remaining();
    if (left > (list.gaps.empty() ? 0 : list.gaps[i])) return false;
    state_.cursor.try_take(left);
    return true;
  }

  Value decode_type(const TypeNode& type, Slot slot);
  Value decode_defined(const TypeNode& type, Slot slot);
  Value decode_enum(const Definition& enumeration, Slot slot);
  Value decode_c_enum(const Definition& enumeration, Slot slot);

  // One element of a vec or array, counted against the zero-size bound.
  Value decode_element(const TypeNode& element, Slot slot) {
    const std::uint64_t before = state_.cursor.pos();
    Value value = decode_type(element, slot);
    if (value && state_.cursor.pos() == before && ++state_.zero_sized > kMaxZeroSizedElements) [[unlikely]] {
      return fail(DecodeError(Why::TooManyZeroSized, kMaxZeroSizedElements));
    }
    return value;
  }

  [[gnu::cold]] Value fail(DecodeError error) {
    state_.error = error;
    return Sink::failure();
  }

  WalkState& state() { return state_; }
  std::uint64_t remaining() const { return state_.cursor.remaining(); }
  bool at_end() const { return state_.cursor.remaining() == 0; }

 private:
  Value decode_list(const TypeNode& element, std::uint64_t count, Slot slot);

  // Passes over `n` bytes of padding; false (the walk failed) when they are not there.
  bool skip(std::uint64_t n) {
    if (state_.cursor.try_take(n) != nullptr) return true;
    state_.error = state_.cursor.read_error(n);
    return false;
  }

  // Counts one type level for as long as it lives.
  struct Level {
    int& depth;
    explicit Level(int& d) : depth(d) { ++depth; }
    ~Level() { --depth; }
  };

  Sink& sink_;
  WalkState& state_;
};

// Reads N bytes into `p`, or fails the walk with the read's error.
#define BRISQUEL_READ(p, n)                                   \
  const std::uint8_t* p = state_.cursor.try_take(n);          \
  if (p == nullptr) [[unlikely]] return fail(state_.cursor.read_error(n))

template <class Sink>
auto BorshWalk<Sink>::decode_type(const TypeNode& type, Slot slot) -> Value {
  if constexpr (requires { sink_.diverted(slot); }) {
    if (sink_.diverted(slot)) [[unlikely]] return sink_.divert(*this, type, slot);
  }
  if (state_.depth >= kMaxTypeDepth) [[unlikely]] return fail(DecodeError(Why::TooDeep, kMaxTypeDepth));
  const Level level(state_.depth);
  switch (type.kind) {
    // Each scalar kind is its own case, so the sink sees a constant kind and
    // its own dispatch on it folds away.
#define BRISQUEL_SCALAR(K)                          \
  case Kind::K: {                                   \
    BRISQUEL_READ(b, scalar_width(Kind::K));        \
    return sink_.scalar(*this, slot, Kind::K, b);   \
  }
    BRISQUEL_SCALAR(Bool)
    BRISQUEL_SCALAR(U8)
    BRISQUEL_SCALAR(I8)
    BRISQUEL_SCALAR(U16)
    BRISQUEL_SCALAR(I16)
    BRISQUEL_SCALAR(U32)
    BRISQUEL_SCALAR(I32)
    BRISQUEL_SCALAR(F32)
    BRISQUEL_SCALAR(U64)
    BRISQUEL_SCALAR(I64)
    BRISQUEL_SCALAR(F64)
    BRISQUEL_SCALAR(U128)
    BRISQUEL_SCALAR(I128)
    BRISQUEL_SCALAR(U256)
    BRISQUEL_SCALAR(I256)
    BRISQUEL_SCALAR(Pubkey)
#undef BRISQUEL_SCALAR
    case Kind::Bytes: {
      BRISQUEL_READ(len, 4);
      const std::uint32_t n = load_le<std::uint32_t>(len);
      BRISQUEL_READ(body, n);
      return sink_.bytes(*this, slot, std::span<const std::uint8_t>(body, n));
    }
    case Kind::String: {
      BRISQUEL_READ(len, 4);
      const std::uint32_t n = load_le<std::uint32_t>(len);
      BRISQUEL_READ(body, n);  // consumed before it is checked
      const std::string_view text(reinterpret_cast<const char*>(body), n);
      if (codec::is_ascii(text)) return sink_.string(*this, slot, text, true);
      if (auto error = codec::check_utf8(text)) {
        return fail(DecodeError(Why::InvalidUtf8, error->error_len, error->valid_up_to));
      }
      return sink_.string(*this, slot, text, false);
    }
    case Kind::Option: {
      BRISQUEL_READ(tag, 1);
      if (tag[0] == 0) return sink_.none(*this, slot);
      return decode_type(*type.inner, sink_.some(slot));
    }
    case Kind::Vec: {
      BRISQUEL_READ(count, 4);
      return decode_list(*type.inner, load_le<std::uint32_t>(count), slot);
    }
    case Kind::Array:
      if (type.generic_len) return fail(DecodeError(Why::GenericArrayLength));
      return decode_list(*type.inner, type.len, slot);
    case Kind::Defined:
      return decode_defined(type, slot);
    case Kind::Generic:
      return fail(DecodeError(Why::GenericParameter));
  }
  return fail(DecodeError(Why::GenericParameter));  // no other kind exists
}

template <class Sink>
auto BorshWalk<Sink>::decode_list(const TypeNode& element, std::uint64_t count, Slot slot) -> Value {
  // Scalars of fixed width whose bytes are all there cannot fail one by one:
  // the sink takes them as one run.
  const std::uint64_t width = element.width;
  if (width != 0 && count <= state_.cursor.remaining() / width && state_.depth < kMaxTypeDepth &&
      sink_.bulk(element.kind)) {
    const std::uint8_t* b = state_.cursor.try_take(count * width);
    return sink_.scalars(*this, slot, element.kind, b, count);
  }
  return sink_.list(*this, slot, element, count);
}

template <class Sink>
auto BorshWalk<Sink>::decode_defined(const TypeNode& type, Slot slot) -> Value {
  if (type.has_generics) return fail(DecodeError(Why::GenericDefined, std::string_view(type.name)));
  if (type.definition == nullptr) return fail(DecodeError(Why::UnknownDefined, std::string_view(type.name)));
  const Definition& d = *type.definition;
  switch (d.kind) {
    case Definition::Kind::Struct: return decode_fields(d.fields, slot);
    case Definition::Kind::Enum: return decode_enum(d, slot);
    case Definition::Kind::Type: return decode_type(*d.alias, slot);
  }
  return fail(DecodeError(Why::UnknownDefined, std::string_view(type.name)));  // no other kind exists
}

template <class Sink>
auto BorshWalk<Sink>::decode_enum(const Definition& enumeration, Slot slot) -> Value {
  if (enumeration.tag_bytes != 1 || enumeration.c_size != 0) [[unlikely]] return decode_c_enum(enumeration, slot);
  BRISQUEL_READ(index, 1);
  if (index[0] >= enumeration.variants.size()) return fail(DecodeError(Why::EnumOutOfRange, index[0]));
  return sink_.variant(*this, slot, enumeration, index[0]);
}

// An enum in a C layout: a wider index, and a value that takes the same
// bytes whichever variant it holds.
template <class Sink>
auto BorshWalk<Sink>::decode_c_enum(const Definition& enumeration, Slot slot) -> Value {
  const std::uint64_t start = state_.cursor.pos();
  const std::uint8_t width = enumeration.tag_bytes;
  BRISQUEL_READ(tag, width);
  std::uint64_t index = tag[0];
  if (width == 2) index = load_le<std::uint16_t>(tag);
  if (width == 4) index = load_le<std::uint32_t>(tag);
  if (index >= enumeration.variants.size()) return fail(DecodeError(Why::EnumOutOfRange, index));
  Value value = sink_.variant(*this, slot, enumeration, static_cast<std::size_t>(index));
  if (!value) return value;
  const std::uint64_t used = state_.cursor.pos() - start;
  if (enumeration.c_size > used && !skip(enumeration.c_size - used)) return Sink::failure();
  return value;
}

#undef BRISQUEL_READ

}  // namespace brisquel
