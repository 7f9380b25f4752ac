#include "src/values.hpp"

#include <bit>
#include <cstring>

#include "codec/base58.hpp"
#include "codec/utf8.hpp"

namespace brisquel {
namespace {

using u128 = unsigned __int128;

// The interpreter's own digits, least significant first, when it uses the
// usual 30-bit digits in 32-bit words; nullptr for any other layout.
const PyLongLayout* word_digits() {
  static const PyLongLayout* const layout = [] {
    const PyLongLayout* l = PyLong_GetNativeLayout();
    const bool usual = l->digit_size == 4 && l->bits_per_digit <= 32 && l->digits_order == -1 &&
                       l->digit_endianness == (std::endian::native == std::endian::little ? -1 : 1);
    return usual ? l : nullptr;
  }();
  return layout;
}

// An int of more than 64 bits from its magnitude, written digit by digit into
// the new object: no byte-at-a-time conversion and no temporary object.
PyRef py_wide_int(u128 magnitude, bool negative, const PyLongLayout& layout) {
  const int bits = layout.bits_per_digit;
  const int width = 128 - (static_cast<std::uint64_t>(magnitude >> 64) != 0
                               ? std::countl_zero(static_cast<std::uint64_t>(magnitude >> 64))
                               : 64 + std::countl_zero(static_cast<std::uint64_t>(magnitude)));
  const Py_ssize_t ndigits = (width + bits - 1) / bits;
  void* digits = nullptr;
  PyLongWriter* writer = PyLongWriter_Create(negative, ndigits, &digits);
  if (writer == nullptr) [[unlikely]] panic_after_python_error();
  const u128 mask = (u128{1} << bits) - 1;
  auto* out = static_cast<std::uint32_t*>(digits);
  for (Py_ssize_t i = 0; i < ndigits; ++i, magnitude >>= bits) out[i] = static_cast<std::uint32_t>(magnitude & mask);
  return made(PyLongWriter_Finish(writer));
}

}  // namespace

PyRef py_int128(const std::array<std::uint8_t, 16>& le_bytes, bool is_signed) {
  // Most 128-bit amounts fit 64 bits, where the plain constructors are several
  // times faster than the general byte-array path; the value is the same.
  std::uint64_t low, high;
  std::memcpy(&low, le_bytes.data(), 8);
  std::memcpy(&high, le_bytes.data() + 8, 8);
  if (high == 0 && (!is_signed || static_cast<std::int64_t>(low) >= 0)) return py_uint64(low);
  if (is_signed && high == ~0ull && static_cast<std::int64_t>(low) < 0) return py_int(static_cast<std::int64_t>(low));
  if (const PyLongLayout* layout = word_digits()) {
    const u128 value = (u128{high} << 64) | low;
    const bool negative = is_signed && static_cast<std::int64_t>(high) < 0;
    return py_wide_int(negative ? -value : value, negative, *layout);
  }
  int flags = Py_ASNATIVEBYTES_NATIVE_ENDIAN;
  if (!is_signed) flags |= Py_ASNATIVEBYTES_UNSIGNED_BUFFER;
  return made(PyLong_FromNativeBytes(le_bytes.data(), le_bytes.size(), flags));
}

PyRef pyint_from_le_bytes(const std::array<std::uint8_t, 32>& le_bytes, bool is_signed) {
  PyRef module;
  {
    PyRef name(PyUnicode_FromString("builtins"));
    if (!name) return name;
    module = PyRef(PyImport_Import(name.get()));
  }
  if (!module) return module;
  PyRef int_type(PyObject_GetAttrString(module.get(), "int"));
  if (!int_type) return int_type;
  PyRef raw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(le_bytes.data()), 32));
  if (!raw) return raw;
  PyRef kwargs(PyDict_New());
  if (!kwargs || PyDict_SetItemString(kwargs.get(), "signed", is_signed ? Py_True : Py_False) < 0) return PyRef();
  PyRef from_bytes(PyObject_GetAttrString(int_type.get(), "from_bytes"));
  if (!from_bytes) return from_bytes;
  PyRef little(PyUnicode_FromString("little"));
  if (!little) return little;
  PyObject* args[] = {raw.get(), little.get()};
  return PyRef(PyObject_VectorcallDict(from_bytes.get(), args, 2, kwargs.get()));
}

PyRef py_bytes(std::span<const std::uint8_t> body) {
  return made(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body.data()),
                                        static_cast<Py_ssize_t>(body.size())));
}

PyRef py_ascii_str(std::string_view ascii) {
  // The compact ASCII form takes a plain copy: no decoding pass.
  PyRef s = made(PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127));
  std::memcpy(PyUnicode_DATA(s.get()), ascii.data(), ascii.size());
  return s;
}

PyRef py_str(std::string_view utf8) {
  if (codec::is_ascii(utf8)) return py_ascii_str(utf8);
  return made(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}

PyRef py_pubkey(const std::array<std::uint8_t, 32>& key) {
  codec::Base58Buffer buffer;
  return py_ascii_str(codec::encode_base58_pubkey(key, buffer, kPythonValuesSimd));
}

}  // namespace brisquel
