#include "src/borsh_decoder.hpp"

#include <bit>
#include <format>
#include <string_view>

#include "src/codec/utf8.hpp"
#include "src/python_error.hpp"
#include "src/values.hpp"

namespace brisquel {
namespace {

using Kind = TypeNode::Kind;
using codec::load_le;

[[gnu::cold]] std::string too_deep_text() { return std::format("type nesting exceeds {} levels", kMaxTypeDepth); }
[[gnu::cold]] std::string too_many_zero_sized_text() {
  return std::format("too many zero-sized elements (limit {})", kMaxZeroSizedElements);
}

// Propagates the error of a Result into the enclosing function's Result.
#define TRY_ASSIGN(var, expr)                                   \
  auto var##_result = (expr);                                   \
  if (!var##_result) [[unlikely]] return fail(std::move(var##_result.error())); \
  auto var = std::move(*var##_result)

}  // namespace

Result<PyRef> BorshDecoder::decode_type(const TypeNode& type) {
  if (depth_ >= kMaxTypeDepth) [[unlikely]] return fail(too_deep_text());
  ++depth_;
  Result<PyRef> value = decode_value(type);
  --depth_;
  return value;
}

Result<PyRef> BorshDecoder::decode_value(const TypeNode& type) {
  switch (type.kind) {
    case Kind::Bool: {
      TRY_ASSIGN(b, cursor_.take(1));
      return py_bool(b[0] != 0);
    }
    case Kind::U8: {
      TRY_ASSIGN(b, cursor_.take(1));
      return py_int(b[0]);
    }
    case Kind::I8: {
      TRY_ASSIGN(b, cursor_.take(1));
      return py_int(static_cast<std::int8_t>(b[0]));
    }
    case Kind::U16: {
      TRY_ASSIGN(a, cursor_.take_array<2>());
      return py_int(load_le<std::uint16_t>(a));
    }
    case Kind::I16: {
      TRY_ASSIGN(a, cursor_.take_array<2>());
      return py_int(load_le<std::int16_t>(a));
    }
    case Kind::U32: {
      TRY_ASSIGN(a, cursor_.take_array<4>());
      return py_int(load_le<std::uint32_t>(a));
    }
    case Kind::I32: {
      TRY_ASSIGN(a, cursor_.take_array<4>());
      return py_int(load_le<std::int32_t>(a));
    }
    case Kind::F32: {
      TRY_ASSIGN(a, cursor_.take_array<4>());
      return py_float(static_cast<double>(std::bit_cast<float>(load_le<std::uint32_t>(a))));
    }
    case Kind::U64: {
      TRY_ASSIGN(a, cursor_.take_array<8>());
      return py_uint64(load_le<std::uint64_t>(a));
    }
    case Kind::I64: {
      TRY_ASSIGN(a, cursor_.take_array<8>());
      return py_int(load_le<std::int64_t>(a));
    }
    case Kind::F64: {
      TRY_ASSIGN(a, cursor_.take_array<8>());
      return py_float(std::bit_cast<double>(load_le<std::uint64_t>(a)));
    }
    case Kind::U128:
    case Kind::I128: {
      TRY_ASSIGN(a, cursor_.take_array<16>());
      return py_int128(a, type.kind == Kind::I128);
    }
    case Kind::U256:
    case Kind::I256: {
      TRY_ASSIGN(a, cursor_.take_array<32>());
      return pyint_from_le_bytes(a, type.kind == Kind::I256);
    }
    case Kind::Bytes: {
      TRY_ASSIGN(len, cursor_.take_array<4>());
      TRY_ASSIGN(body, cursor_.take(load_le<std::uint32_t>(len)));
      return py_bytes(body);
    }
    case Kind::String:
      return decode_string();
    case Kind::Pubkey: {
      TRY_ASSIGN(key, cursor_.take_array<32>());
      return py_pubkey(key);
    }
    case Kind::Option: {
      TRY_ASSIGN(tag, cursor_.take(1));
      if (tag[0] == 0) return py_none();
      return decode_type(*type.inner);
    }
    case Kind::Vec: {
      TRY_ASSIGN(count, cursor_.take_array<4>());
      return decode_list(*type.inner, load_le<std::uint32_t>(count));
    }
    case Kind::Array:
      if (type.generic_len) return fail("generic array length is not supported");
      return decode_list(*type.inner, type.len);
    case Kind::Defined:
      return decode_defined(type);
    case Kind::Generic:
      return fail("generic type parameter is not supported");
  }
  throw Panic{"unknown IDL type kind"};
}

Result<PyRef> BorshDecoder::decode_string() {
  TRY_ASSIGN(len, cursor_.take_array<4>());
  TRY_ASSIGN(body, cursor_.take(load_le<std::uint32_t>(len)));
  const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  if (codec::is_ascii(text)) return py_ascii_str(text);
  if (auto error = codec::check_utf8(text)) return fail("invalid utf-8: " + codec::describe(*error));
  return py_str(text);
}

Result<PyRef> BorshDecoder::decode_list(const TypeNode& element, std::uint64_t count) {
  // Size the list up front only when the unread payload could hold every
  // element, so a forged count costs nothing; otherwise grow by appending.
  const std::uint64_t remaining = cursor_.remaining();
  const bool presize = element.min_size != 0 && count <= kMaxPresizedList && count <= remaining / element.min_size;
  PyRef list = made(PyList_New(presize ? static_cast<Py_ssize_t>(count) : 0));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t before = cursor_.pos();
    TRY_ASSIGN(item, decode_type(element));
    if (cursor_.pos() == before && ++zero_sized_ > kMaxZeroSizedElements) [[unlikely]] {
      return fail(too_many_zero_sized_text());
    }
    if (presize) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    } else if (PyList_Append(list.get(), item.get()) < 0) [[unlikely]] {
      return fail(take_python_error_text());
    }
  }
  return list;
}

Result<PyRef> BorshDecoder::decode_fields(const std::optional<FieldList>& fields) {
  if (!fields) return made(PyDict_New());
  const std::size_t n = fields->types.size();
  if (fields->named) {
    PyRef dict = made(PyDict_New());
    for (std::size_t i = 0; i < n; ++i) {
      TRY_ASSIGN(value, decode_type(*fields->types[i]));
      if (PyDict_SetItem(dict.get(), fields->keys[i].get(), value.get()) < 0) [[unlikely]] {
        return fail(take_python_error_text());
      }
    }
    return dict;
  }
  PyRef list = made(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t i = 0; i < n; ++i) {
    TRY_ASSIGN(value, decode_type(*fields->types[i]));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
  }
  return list;
}

Result<PyRef> BorshDecoder::decode_defined(const TypeNode& type) {
  if (type.has_generics) return fail(std::format("generic defined type '{}' is not supported", type.name));
  if (type.definition == nullptr) return fail(std::format("unknown defined type '{}'", type.name));
  const Definition& d = *type.definition;
  switch (d.kind) {
    case Definition::Kind::Struct: return decode_fields(d.fields);
    case Definition::Kind::Enum: return decode_enum(d.variants);
    case Definition::Kind::Type: return decode_type(*d.alias);
  }
  throw Panic{"unknown type definition kind"};
}

Result<PyRef> BorshDecoder::decode_enum(const std::vector<Variant>& variants) {
  TRY_ASSIGN(index, cursor_.take(1));
  if (index[0] >= variants.size()) return fail(std::format("enum discriminant {} out of range", unsigned{index[0]}));
  const Variant& v = variants[index[0]];
  if (!v.fields) return PyRef(v.name.new_ref());
  TRY_ASSIGN(fields, decode_fields(v.fields));
  PyRef dict = made(PyDict_New());
  if (PyDict_SetItem(dict.get(), v.name.get(), fields.get()) < 0) [[unlikely]] return fail(take_python_error_text());
  return dict;
}

}  // namespace brisquel
