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

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "codec/base58.hpp"
#include "codec/base64.hpp"
#include "core/cursor.hpp"
#include "core/error.hpp"
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
  // The state for another body: a loop over many keeps one, so that neither
  // the error value nor the text's buffer is made again for each.
  void restart(std::span<const std::uint8_t> body) {
    cursor = Cursor(body);
    depth = 0;
    zero_sized = 0;
    if (error.kind != Error::Kind::None || !error.path.empty()) [[unlikely]] error = Error();
  }
  Cursor cursor;
  int depth = 0;
  std::uint32_t zero_sized = 0;
  Error error;
  std::string text;  // a string's text where it is not its bytes (NULs dropped, base58, ...)
};

class SkipSink;
// SkipSink, named so that the walk's template sees it when it is instantiated
// (it is a sink, made after the walk).
template <class>
struct SkipSinkOf {
  using type = SkipSink;
};

template <class Sink>
class BorshWalk {
 public:
  using Value = typename Sink::Value;
  using Slot = typename Sink::Slot;
  using Kind = TypeNode::Kind;
  using Why = Error::Kind;

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

  // A variant's data: its fields, or the layout they are wrapped in (a size
  // prefix before a Codama variant's struct).
  Value decode_variant(const Variant& variant, Slot slot) {
    Value value = variant.data != nullptr ? decode_type(*variant.data, slot) : decode_fields(variant.fields, slot);
    if (!value) [[unlikely]] state_.error.path.add_name(variant.name);
    return value;
  }

  // Field `i` of `list`, after the padding before it (C layouts). Every sink
  // decodes a field through this, so padding is applied in one place.
  Value decode_field(const FieldList& list, std::size_t i, Slot slot) {
    if (!list.gaps.empty() && !skip(list.gaps[i])) [[unlikely]] return Sink::failure();
    Value value = decode_type(*list.types[i], slot);
    if (!value) [[unlikely]] add_field_step(list, i);
    return value;
  }

  // Whether a body that may end early has ended before field `i` of `list`:
  // only padding, if anything, is left before it. That padding is then
  // taken, so every later field of the list finds the body ended too.
  bool ended_before(const FieldList& list, std::size_t i) {
    const std::uint64_t left = state_.cursor.remaining();
    if (left > (list.gaps.empty() ? 0 : list.gaps[i])) return false;
    // A field that reads what is left may be empty: it is there.
    const Layout layout = list.types[i]->layout;
    if (layout == Layout::Remainder || layout == Layout::RemainderCount || layout == Layout::RemainderOption) [[unlikely]] {
      return false;
    }
    state_.cursor.try_take(left);
    return true;
  }

  Value decode_type(const TypeNode& type, Slot slot);
  Value decode_layout(const TypeNode& type, Slot slot);
  Value decode_defined(const TypeNode& type, Slot slot);
  Value decode_enum(const Definition& enumeration, Slot slot);
  Value decode_c_enum(const Definition& enumeration, Slot slot);

  // Element `index` of a vec or array, counted against the zero-size bound.
  Value decode_element(const TypeNode& element, Slot slot, std::uint64_t index) {
    const std::uint64_t before = state_.cursor.pos();
    Value value = decode_type(element, slot);
    if (!value) [[unlikely]] {
      state_.error.path.add_index(index);
      return value;
    }
    if (state_.cursor.pos() == before && ++state_.zero_sized > kMaxZeroSizedElements) [[unlikely]] {
      return fail(Error(Why::TooManyZeroSized, kMaxZeroSizedElements));
    }
    return value;
  }

  // Ends the walk with `error`, met where the cursor stands; the levels it
  // unwinds through add their steps to its path.
  [[gnu::cold]] Value fail(Error error) { return fail_at(std::move(error), state_.cursor.pos()); }
  // The same for a value read already, which begins at `at`.
  [[gnu::cold]] Value fail_at(Error error, std::uint64_t at) {
    error.offset = at;
    state_.error = std::move(error);
    return Sink::failure();
  }

  // A field's step: its name, or its place in a tuple.
  [[gnu::cold]] void add_field_step(const FieldList& list, std::size_t i) {
    if (list.named && i < list.names.size()) state_.error.path.add_name(list.names[i]);
    else state_.error.path.add_index(i);
  }

  WalkState& state() { return state_; }
  std::uint64_t remaining() const { return state_.cursor.remaining(); }
  bool at_end() const { return state_.cursor.remaining() == 0; }

 private:
  Value decode_list(const TypeNode& element, std::uint64_t count, Slot slot);
  Value decode_text(const TypeNode& type, Slot slot);
  Value decode_remainder_list(const TypeNode& type, Slot slot);
  Value decode_tagged_enum(const Definition& enumeration, Slot slot);
  Value in_window(const TypeNode& inner, std::uint64_t size, std::uint64_t after, Slot slot);
  bool read_number(const TypeNode& number, std::uint64_t& out);
  bool expect(std::span<const std::uint8_t> constant);
  bool move(const TypeNode& type, std::uint64_t start);

  // Passes over `n` bytes of padding; false (the walk failed) when they are not there.
  bool skip(std::uint64_t n) {
    if (state_.cursor.try_take(n) != nullptr) return true;
    fail(state_.cursor.read_error(n));
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
  if (state_.depth >= kMaxTypeDepth) [[unlikely]] return fail(Error(Why::TooDeep, kMaxTypeDepth));
  const Level level(state_.depth);
  if (type.layout != Layout::Borsh) [[unlikely]] return decode_layout(type, slot);
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
        return fail_at(Error(Why::InvalidUtf8, error->error_len, error->valid_up_to), state_.cursor.pos() - n);
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
      if (type.generic_len) return fail(Error(Why::GenericArrayLength));
      return decode_list(*type.inner, type.len, slot);
    case Kind::Defined:
      return decode_defined(type, slot);
    case Kind::Generic:
      return fail(Error(Why::GenericParameter));
  }
  return fail(Error(Why::GenericParameter));  // no other kind exists
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
  if (type.has_generics) return fail(Error(Why::GenericDefined, std::string_view(type.name)));
  if (type.definition == nullptr) return fail(Error(Why::UnknownDefined, std::string_view(type.name)));
  const Definition& d = *type.definition;
  switch (d.kind) {
    case Definition::Kind::Struct: return decode_fields(d.fields, slot);
    case Definition::Kind::Enum: return decode_enum(d, slot);
    case Definition::Kind::Type: return decode_type(*d.alias, slot);
  }
  return fail(Error(Why::UnknownDefined, std::string_view(type.name)));  // no other kind exists
}

template <class Sink>
auto BorshWalk<Sink>::decode_enum(const Definition& enumeration, Slot slot) -> Value {
  if (enumeration.tag_bytes != 1 || enumeration.c_size != 0) [[unlikely]] {
    if (enumeration.tag != nullptr) return decode_tagged_enum(enumeration, slot);
    return decode_c_enum(enumeration, slot);
  }
  BRISQUEL_READ(index, 1);
  if (index[0] >= enumeration.variants.size()) {
    return fail_at(Error(Why::EnumOutOfRange, index[0]), state_.cursor.pos() - 1);
  }
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
  if (index >= enumeration.variants.size()) return fail_at(Error(Why::EnumOutOfRange, index), start);
  Value value = sink_.variant(*this, slot, enumeration, static_cast<std::size_t>(index));
  if (!value) return value;
  const std::uint64_t used = state_.cursor.pos() - start;
  if (enumeration.c_size > used && !skip(enumeration.c_size - used)) return Sink::failure();
  return value;
}

// ---- layouts other than Borsh's (Codama's encodings) ----

// A number of `number`'s node (a size, count, flag or enum index) as an
// unsigned 64-bit value; false, failed, when it is not one.
template <class Sink>
bool BorshWalk<Sink>::read_number(const TypeNode& number, std::uint64_t& out) {
  const std::uint64_t start = state_.cursor.pos();
  if (number.layout == Layout::ShortU16) {
    out = 0;
    for (int i = 0; i < 3; ++i) {
      const std::uint8_t* b = state_.cursor.try_take(1);
      if (b == nullptr) return fail(state_.cursor.read_error(1)), false;
      out |= std::uint64_t{b[0] & 0x7fu} << (7 * i);
      if ((b[0] & 0x80) == 0) return out <= 0xffff || (fail(Error(Why::NumberTooLarge, 0, start)), false);
    }
    return fail(Error(Why::NumberTooLarge, 0, start)), false;
  }
  const std::uint64_t width = scalar_width(number.kind);
  const std::uint8_t* b = state_.cursor.try_take(width);
  if (b == nullptr) return fail(state_.cursor.read_error(width)), false;
  std::uint8_t le[16] = {};
  std::memcpy(le, b, width);
  if (number.layout == Layout::BigEndian) std::reverse(le, le + width);
  const bool is_signed = number.kind == Kind::I8 || number.kind == Kind::I16 || number.kind == Kind::I32 ||
                         number.kind == Kind::I64 || number.kind == Kind::I128;
  const bool is_float = number.kind == Kind::F32 || number.kind == Kind::F64;
  if (is_float || (is_signed && (le[width - 1] & 0x80) != 0)) return fail(Error(Why::NumberTooLarge, 0, start)), false;
  for (std::uint64_t i = 8; i < width; ++i) {
    if (le[i] != 0) return fail(Error(Why::NumberTooLarge, 0, start)), false;
  }
  out = load_le<std::uint64_t>(le);
  return true;
}

// Takes `constant`, or fails where the bytes differ.
template <class Sink>
bool BorshWalk<Sink>::expect(std::span<const std::uint8_t> constant) {
  const std::uint64_t at = state_.cursor.pos();
  const std::uint8_t* b = state_.cursor.try_take(constant.size());
  if (b == nullptr) return fail(state_.cursor.read_error(constant.size())), false;
  if (!std::equal(constant.begin(), constant.end(), b)) return fail(Error(Why::ConstantMismatch, 0, at)), false;
  return true;
}

// An offset node's move; `start`: where its value began.
template <class Sink>
bool BorshWalk<Sink>::move(const TypeNode& type, std::uint64_t start) {
  const std::int64_t pos = static_cast<std::int64_t>(state_.cursor.pos());
  const std::int64_t size = static_cast<std::int64_t>(state_.cursor.size());
  std::int64_t to = pos;
  switch (type.strategy) {
    case OffsetStrategy::Relative:
    case OffsetStrategy::Padded: to = pos + type.offset; break;
    case OffsetStrategy::Absolute: to = type.offset >= 0 ? type.offset : size + type.offset; break;
    case OffsetStrategy::PreOffset: to = static_cast<std::int64_t>(start) + type.offset; break;
  }
  if (to < 0 || !state_.cursor.seek(static_cast<std::uint64_t>(to))) {
    return fail(Error(Why::OffsetOutside, 0, static_cast<std::uint64_t>(std::max<std::int64_t>(to, 0)))), false;
  }
  return true;
}

// `inner` read from the next `size` bytes alone (a value that runs to the
// end stops at theirs); the walk then goes on `after` bytes past them.
template <class Sink>
auto BorshWalk<Sink>::in_window(const TypeNode& inner, std::uint64_t size, std::uint64_t after, Slot slot) -> Value {
  if (size > state_.cursor.remaining()) return fail(state_.cursor.read_error(size));
  const Cursor outer = state_.cursor;
  state_.cursor = Cursor(outer.rest().first(size));
  Value value = decode_type(inner, slot);
  state_.cursor = outer;
  if (!value) return value;
  state_.cursor.try_take(size);
  if (after != 0 && state_.cursor.try_take(after) == nullptr) return fail(state_.cursor.read_error(after));
  return value;
}

// A string or bytes value that takes every byte left.
template <class Sink>
auto BorshWalk<Sink>::decode_text(const TypeNode& type, Slot slot) -> Value {
  const std::uint64_t start = state_.cursor.pos();
  const std::uint64_t n = state_.cursor.remaining();
  const std::uint8_t* body = state_.cursor.try_take(n);
  const std::span<const std::uint8_t> bytes(body, n);
  if (type.kind == Kind::Bytes) return sink_.bytes(*this, slot, bytes);
  std::string& text = state_.text;
  text.clear();
  switch (type.text) {
    case TextEncoding::Utf8: {
      const std::string_view raw(reinterpret_cast<const char*>(body), n);
      if (auto error = codec::check_utf8(raw)) {
        return fail_at(Error(Why::InvalidUtf8, error->error_len, start + error->valid_up_to), start);
      }
      // NULs pad fixed-size text: they are no part of it.
      if (raw.find('\0') == std::string_view::npos) return sink_.string(*this, slot, raw, codec::is_ascii(raw));
      for (char c : raw) {
        if (c != '\0') text += c;
      }
      return sink_.string(*this, slot, text, codec::is_ascii(text));
    }
    case TextEncoding::Base16: {
      static constexpr char kDigits[] = "0123456789abcdef";
      for (std::uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
      }
      break;
    }
    case TextEncoding::Base58: {
      if (n > codec::kBase58MaxBytes) return fail(Error(Why::ValueTooLarge, codec::kBase58MaxBytes));
      text.resize(codec::base58_encoded_capacity(n));
      text.resize(codec::encode_base58(bytes, text.data()).value_or(0));
      break;
    }
    case TextEncoding::Base64:
      codec::encode_base64(bytes, text);
      break;
  }
  return sink_.string(*this, slot, text, true);
}

// Elements until the bytes end. Elements of fixed width are counted at once;
// others are counted by a first pass that only reads them, so a sink is told
// the count before the elements, as for every list.
template <class Sink>
auto BorshWalk<Sink>::decode_remainder_list(const TypeNode& type, Slot slot) -> Value {
  const TypeNode& element = *type.inner;
  const std::uint64_t left = state_.cursor.remaining();
  if (element.width != 0) {
    if (left % element.width != 0) return fail(state_.cursor.read_error(left / element.width * element.width + element.width));
    return decode_list(element, left / element.width, slot);
  }
  using Skip = typename SkipSinkOf<Sink>::type;
  if constexpr (std::is_same_v<Sink, Skip>) {
    // Only passing over them: no count is needed, and none is taken, so
    // nested lists of this kind cost one pass each rather than twice the
    // one inside (which would double with every level).
    while (state_.cursor.remaining() != 0) {
      const std::uint64_t before = state_.cursor.pos();
      if (!decode_type(element, {})) return Sink::failure();
      if (state_.cursor.pos() == before) return fail(Error(Why::TooManyZeroSized, kMaxZeroSizedElements));
    }
    return true;
  }
  Skip skip;
  WalkState probe(state_.cursor.rest());
  probe.depth = state_.depth;
  BorshWalk<Skip> counter(skip, probe);
  std::uint64_t count = 0;
  while (probe.cursor.remaining() != 0) {
    const std::uint64_t before = probe.cursor.pos();
    if (!counter.decode_type(element, {})) {
      state_.error = std::move(probe.error);
      state_.error.pos += state_.cursor.pos();
      state_.error.offset += state_.cursor.pos();
      state_.error.path.add_index(count);
      return Sink::failure();
    }
    // An element that takes no bytes would repeat for ever.
    if (probe.cursor.pos() == before) return fail(Error(Why::TooManyZeroSized, kMaxZeroSizedElements));
    ++count;
  }
  return decode_list(element, count, slot);
}

// An enum whose index is read as a number and names a variant by its value.
template <class Sink>
auto BorshWalk<Sink>::decode_tagged_enum(const Definition& enumeration, Slot slot) -> Value {
  std::uint64_t tag = 0;
  if (!read_number(*enumeration.tag, tag)) return Sink::failure();
  const auto found = std::ranges::find(enumeration.tags, tag);
  if (found == enumeration.tags.end()) return fail(Error(Why::EnumOutOfRange, tag));
  return sink_.variant(*this, slot, enumeration, static_cast<std::size_t>(found - enumeration.tags.begin()));
}

template <class Sink>
auto BorshWalk<Sink>::decode_layout(const TypeNode& type, Slot slot) -> Value {
  switch (type.layout) {
    case Layout::Borsh: break;
    case Layout::BigEndian: {
      const std::uint64_t width = scalar_width(type.kind);
      BRISQUEL_READ(b, width);
      // As wide as the widest scalar a sink may read from it (a key), though
      // only numbers are big-endian.
      std::uint8_t le[32];
      std::reverse_copy(b, b + width, le);
      return sink_.scalar(*this, slot, type.kind, le);
    }
    case Layout::ShortU16: {
      std::uint64_t v = 0;
      if (!read_number(type, v)) return Sink::failure();
      std::uint8_t le[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
      return sink_.scalar(*this, slot, Kind::U16, le);
    }
    case Layout::SizedBool: {
      std::uint64_t v = 0;
      if (!read_number(*type.prefix, v)) return Sink::failure();
      const std::uint8_t b = v != 0;
      return sink_.scalar(*this, slot, Kind::Bool, &b);
    }
    case Layout::Remainder: return decode_text(type, slot);
    case Layout::FixedSize: return in_window(*type.inner, type.len, 0, slot);
    case Layout::SizePrefix: {
      std::uint64_t size = 0;
      if (!read_number(*type.prefix, size)) return Sink::failure();
      return in_window(*type.inner, size, 0, slot);
    }
    case Layout::Sentinel: {
      const std::span<const std::uint8_t> rest = state_.cursor.rest();
      const auto& sentinel = type.constant;
      // A plain search costs the sentinel's length per byte: long ones take a searcher that does not.
      const auto found = sentinel.size() <= 16
          ? std::search(rest.begin(), rest.end(), sentinel.begin(), sentinel.end())
          : std::search(rest.begin(), rest.end(), std::boyer_moore_searcher(sentinel.begin(), sentinel.end()));
      if (found == rest.end()) return fail(Error(Why::NoSentinel, 0, state_.cursor.pos()));
      return in_window(*type.inner, static_cast<std::uint64_t>(found - rest.begin()), sentinel.size(), slot);
    }
    case Layout::PrefixedCount: {
      std::uint64_t count = 0;
      if (!read_number(*type.prefix, count)) return Sink::failure();
      return decode_list(*type.inner, count, slot);
    }
    case Layout::RemainderCount: return decode_remainder_list(type, slot);
    case Layout::PrefixedOption: {
      std::uint64_t flag = 0;
      if (!read_number(*type.prefix, flag)) return Sink::failure();
      if (flag != 0) return decode_type(*type.inner, sink_.some(slot));
      if (type.fixed) {
        BRISQUEL_READ(padding, type.len);  // None takes the value's bytes all the same
      }
      return sink_.none(*this, slot);
    }
    case Layout::ZeroableOption: {
      const std::span<const std::uint8_t> rest = state_.cursor.rest();
      if (rest.size() < type.len) return fail(state_.cursor.read_error(type.len));
      if (std::equal(type.constant.begin(), type.constant.end(), rest.begin())) {
        state_.cursor.try_take(type.len);
        return sink_.none(*this, slot);
      }
      return decode_type(*type.inner, sink_.some(slot));
    }
    case Layout::RemainderOption:
      if (state_.cursor.remaining() == 0) return sink_.none(*this, slot);
      return decode_type(*type.inner, sink_.some(slot));
    case Layout::HiddenPrefix:
      if (!expect(type.constant)) return Sink::failure();
      return decode_type(*type.inner, slot);
    case Layout::HiddenSuffix: {
      Value value = decode_type(*type.inner, slot);
      if (value && !expect(type.constant)) return Sink::failure();
      return value;
    }
    case Layout::PreOffset: {
      if (!move(type, state_.cursor.pos())) return Sink::failure();
      return decode_type(*type.inner, slot);
    }
    case Layout::PostOffset: {
      const std::uint64_t start = state_.cursor.pos();
      Value value = decode_type(*type.inner, slot);
      if (value && !move(type, start)) return Sink::failure();
      return value;
    }
  }
  return fail(Error(Why::GenericParameter));  // no other layout exists
}

#undef BRISQUEL_READ

}  // namespace brisquel

#include "core/json_sink.hpp"  // SkipSink, which remainder lists need
