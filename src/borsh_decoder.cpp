#include "src/borsh_decoder.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <format>
#include <string_view>

#include "codec/utf8.hpp"
#include "src/python_error.hpp"
#include "src/values.hpp"

namespace brisquel {
namespace {

using Kind = TypeNode::Kind;
using codec::load_le;

// Counts one type level for as long as it lives.
struct Level {
  int& depth;
  explicit Level(int& d) : depth(d) { ++depth; }
  ~Level() { --depth; }
};

// The dict for a named field list, before its values are stored. With the
// interpreter lock, a copy of a long list's blank dict comes presized and
// keyed, so each store replaces a None. Without it, copying the one shared
// blank dict would lock it for every value that any thread decodes.
PyRef new_fields_dict(const FieldList& fields) {
#ifndef Py_GIL_DISABLED
  if (fields.blank) return made(PyDict_Copy(fields.blank.get()));
#else
  (void)fields;
#endif
  return made(PyDict_New());
}

// Bytes a scalar of fixed width takes; 0 for other kinds and for the 256-bit
// integers, which run Python code.
constexpr std::uint64_t fixed_width(Kind kind) {
  switch (kind) {
    case Kind::Bool: case Kind::U8: case Kind::I8: return 1;
    case Kind::U16: case Kind::I16: return 2;
    case Kind::U32: case Kind::I32: case Kind::F32: return 4;
    case Kind::U64: case Kind::I64: case Kind::F64: return 8;
    case Kind::U128: case Kind::I128: return 16;
    case Kind::Pubkey: return 32;
    default: return 0;
  }
}

// The value of a scalar of fixed width from its bytes at `b`.
inline PyRef scalar_at(Kind kind, const std::uint8_t* b) {
  switch (kind) {
    case Kind::Bool: return py_bool(b[0] != 0);
    case Kind::U8: return py_int(b[0]);
    case Kind::I8: return py_int(static_cast<std::int8_t>(b[0]));
    case Kind::U16: return py_int(load_le<std::uint16_t>(b));
    case Kind::I16: return py_int(load_le<std::int16_t>(b));
    case Kind::U32: return py_int(load_le<std::uint32_t>(b));
    case Kind::I32: return py_int(load_le<std::int32_t>(b));
    case Kind::F32: return py_float(static_cast<double>(std::bit_cast<float>(load_le<std::uint32_t>(b))));
    case Kind::U64: return py_uint64(load_le<std::uint64_t>(b));
    case Kind::I64: return py_int(load_le<std::int64_t>(b));
    case Kind::F64: return py_float(std::bit_cast<double>(load_le<std::uint64_t>(b)));
    case Kind::U128:
    case Kind::I128: {
      std::array<std::uint8_t, 16> a;
      std::memcpy(a.data(), b, 16);
      return py_int128(a, kind == Kind::I128);
    }
    case Kind::Pubkey: {
      std::array<std::uint8_t, 32> key;
      std::memcpy(key.data(), b, 32);
      return py_pubkey(key);
    }
    default: break;
  }
  throw Panic{"not a scalar of fixed width"};
}

}  // namespace

PyRef BorshDecoder::python_failed() { return failed(take_python_error_text()); }

// Reads N bytes into `p`, or returns the read's failure.
#define READ(p, n)                                   \
  const std::uint8_t* p = cursor_.try_take(n);       \
  if (p == nullptr) [[unlikely]] return read_failed(n)

PyRef BorshDecoder::value_of(const TypeNode& type) {
  if (depth_ >= kMaxTypeDepth) [[unlikely]] {
    return failed(std::format("type nesting exceeds {} levels", kMaxTypeDepth));
  }
  const Level level(depth_);
  switch (type.kind) {
    case Kind::Bool:
    case Kind::U8:
    case Kind::I8:
    case Kind::U16:
    case Kind::I16:
    case Kind::U32:
    case Kind::I32:
    case Kind::F32:
    case Kind::U64:
    case Kind::I64:
    case Kind::F64:
    case Kind::U128:
    case Kind::I128:
    case Kind::Pubkey: {
      const std::uint64_t width = fixed_width(type.kind);
      READ(b, width);
      return scalar_at(type.kind, b);
    }
    case Kind::U256:
    case Kind::I256: {
      READ(b, 32);
      std::array<std::uint8_t, 32> a;
      std::memcpy(a.data(), b, 32);
      auto v = pyint_from_le_bytes(a, type.kind == Kind::I256);
      if (!v) return failed(std::move(v.error()));
      return std::move(*v);
    }
    case Kind::Bytes: {
      READ(len, 4);
      const std::uint32_t n = load_le<std::uint32_t>(len);
      READ(body, n);
      return py_bytes(std::span<const std::uint8_t>(body, n));
    }
    case Kind::String:
      return string_of();
    case Kind::Option: {
      READ(tag, 1);
      if (tag[0] == 0) return py_none();
      return value_of(*type.inner);
    }
    case Kind::Vec: {
      READ(count, 4);
      return list_of(*type.inner, load_le<std::uint32_t>(count));
    }
    case Kind::Array:
      if (type.generic_len) return failed("generic array length is not supported");
      return list_of(*type.inner, type.len);
    case Kind::Defined:
      return defined_of(type);
    case Kind::Generic:
      return failed("generic type parameter is not supported");
  }
  throw Panic{"unknown IDL type kind"};
}

PyRef BorshDecoder::string_of() {
  READ(len, 4);
  const std::uint32_t n = load_le<std::uint32_t>(len);
  READ(body, n);  // consumed before it is checked
  const std::string_view text(reinterpret_cast<const char*>(body), n);
  if (codec::is_ascii(text)) return py_ascii_str(text);
  if (auto error = codec::check_utf8(text)) return failed("invalid utf-8: " + codec::describe(*error));
  return py_str(text);
}

PyRef BorshDecoder::list_of(const TypeNode& element, std::uint64_t count) {
  // Size a list of plain scalars up front when the unread payload could hold
  // every element, so a forged count costs nothing; otherwise grow by appending.
  const std::uint64_t remaining = cursor_.remaining();
  const bool presize = element.plain && count <= kMaxPresizedList && count <= remaining / element.min_size;
  const std::uint64_t width = fixed_width(element.kind);
  if (presize && width != 0 && depth_ < kMaxTypeDepth) {
    // Scalars of fixed width whose bytes are all there: no element can fail,
    // so they are read at once and made in one tight loop.
    const std::uint8_t* b = cursor_.try_take(count * width);
    PyRef list = made(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::uint64_t i = 0; i < count; ++i, b += width) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), scalar_at(element.kind, b).release());
    }
    return list;
  }
  PyRef list = made(PyList_New(presize ? static_cast<Py_ssize_t>(count) : 0));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t before = cursor_.pos();
    PyRef item = value_of(element);
    if (!item) return item;
    if (cursor_.pos() == before && ++zero_sized_ > kMaxZeroSizedElements) [[unlikely]] {
      return failed(std::format("too many zero-sized elements (limit {})", kMaxZeroSizedElements));
    }
    if (presize) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    } else if (PyList_Append(list.get(), item.get()) < 0) [[unlikely]] {
      return python_failed();
    }
  }
  return list;
}

PyRef BorshDecoder::fields_of(const std::optional<FieldList>& fields) {
  if (!fields) return made(PyDict_New());
  const std::size_t n = fields->types.size();
  if (fields->named) {
    PyRef dict = new_fields_dict(*fields);
    for (std::size_t i = 0; i < n; ++i) {
      PyRef value = value_of(*fields->types[i]);
      if (!value) return value;
      if (PyDict_SetItem(dict.get(), fields->keys[i].get(), value.get()) < 0) [[unlikely]] return python_failed();
    }
    return dict;
  }
  PyRef list = made(PyList_New(fields->plain ? static_cast<Py_ssize_t>(n) : 0));
  for (std::size_t i = 0; i < n; ++i) {
    PyRef value = value_of(*fields->types[i]);
    if (!value) return value;
    if (fields->plain) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
    } else if (PyList_Append(list.get(), value.get()) < 0) [[unlikely]] {
      return python_failed();
    }
  }
  return list;
}

PyRef BorshDecoder::defined_of(const TypeNode& type) {
  if (type.has_generics) return failed(std::format("generic defined type '{}' is not supported", type.name));
  if (type.definition == nullptr) return failed(std::format("unknown defined type '{}'", type.name));
  const Definition& d = *type.definition;
  switch (d.kind) {
    case Definition::Kind::Struct: return fields_of(d.fields);
    case Definition::Kind::Enum: return enum_of(d.variants);
    case Definition::Kind::Type: return value_of(*d.alias);
  }
  throw Panic{"unknown type definition kind"};
}

PyRef BorshDecoder::enum_of(const std::vector<Variant>& variants) {
  READ(index, 1);
  if (index[0] >= variants.size()) {
    return failed(std::format("enum discriminant {} out of range", unsigned{index[0]}));
  }
  const Variant& v = variants[index[0]];
  if (!v.fields) return PyRef(v.name.new_ref());
  PyRef fields = fields_of(v.fields);
  if (!fields) return fields;
  PyRef dict = made(PyDict_New());
  if (PyDict_SetItem(dict.get(), v.name.get(), fields.get()) < 0) [[unlikely]] return python_failed();
  return dict;
}

#undef READ

}  // namespace brisquel
