// The walk's sink that makes Python values: each value is created as soon as
// its bytes are read, with the decoder's prepared keys and names.
#pragma once

#include <array>
#include <bit>
#include <cstring>
#include <span>
#include <string_view>

#include "core/borsh_walk.hpp"
#include "src/python_error.hpp"
#include "src/python_names.hpp"
#include "src/values.hpp"

namespace brisquel {

// Lists whose count the payload could back are sized up front up to this many.
inline constexpr std::uint64_t kMaxPresizedList = 4096;

class PySink {
 public:
  using Value = PyRef;
  struct Slot {};
  using Walk = BorshWalk<PySink>;
  using Kind = TypeNode::Kind;

  explicit PySink(const PyNames& names) : names_(names) {}

  static PyRef failure() { return PyRef(); }

  [[gnu::always_inline]] PyRef scalar(Walk& w, Slot, Kind kind, const std::uint8_t* b) {
    if (kind == Kind::U256 || kind == Kind::I256) [[unlikely]] return wide(w, b, kind == Kind::I256);
    return scalar_at(kind, b);
  }

  // 256-bit values run Python code, which must never see a list half-made.
  bool bulk(Kind kind) const { return kind != Kind::U256 && kind != Kind::I256; }

  PyRef scalars(Walk&, Slot, Kind kind, const std::uint8_t* b, std::uint64_t count) {
    const std::uint64_t width = scalar_width(kind);
    PyRef list = made(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::uint64_t i = 0; i < count; ++i, b += width) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), scalar_at(kind, b).release());
    }
    return list;
  }

  PyRef bytes(Walk&, Slot, std::span<const std::uint8_t> body) { return py_bytes(body); }

  PyRef string(Walk&, Slot, std::string_view text, bool ascii) {
    return ascii ? py_ascii_str(text) : made(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                                 nullptr));
  }

  PyRef none(Walk&, Slot) { return py_none(); }
  Slot some(Slot slot) { return slot; }

  PyRef list(Walk& w, Slot, const TypeNode& element, std::uint64_t count) {
    // Size a list of plain scalars up front when the unread payload could hold
    // every element, so a forged count costs nothing; otherwise grow it.
    const bool presize = element.scalar && bulk(element.kind) && count <= kMaxPresizedList &&
                         count <= w.remaining() / element.min_size;
    PyRef list = made(PyList_New(presize ? static_cast<Py_ssize_t>(count) : 0));
    for (std::uint64_t i = 0; i < count; ++i) {
      PyRef item = w.decode_element(element, {}, i);
      if (!item) return item;
      if (presize) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
      } else if (PyList_Append(list.get(), item.get()) < 0) [[unlikely]] {
        return python_failed(w);
      }
    }
    return list;
  }

  PyRef fields(Walk& w, Slot, const FieldList& list, bool may_end) {
    const PyNames::Fields& names = names_.fields(list);
    const std::size_t n = list.types.size();
    if (list.named) {
      PyRef dict = new_fields_dict(names);
      for (std::size_t i = 0; i < n; ++i) {
        PyRef value = may_end && w.ended_before(list, i) ? py_none() : w.decode_field(list, i, {});
        if (!value) return value;
        if (PyDict_SetItem(dict.get(), names.keys[i].get(), value.get()) < 0) [[unlikely]] return python_failed(w);
      }
      return dict;
    }
    PyRef values = made(PyList_New(names.in_place ? static_cast<Py_ssize_t>(n) : 0));
    for (std::size_t i = 0; i < n; ++i) {
      PyRef value = may_end && w.ended_before(list, i) ? py_none() : w.decode_field(list, i, {});
      if (!value) return value;
      if (names.in_place) {
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), value.release());
      } else if (PyList_Append(values.get(), value.get()) < 0) [[unlikely]] {
        return python_failed(w);
      }
    }
    return values;
  }

  PyRef no_fields(Walk&, Slot) { return made(PyDict_New()); }

  PyRef variant(Walk& w, Slot, const Definition& enumeration, std::size_t index) {
    const Variant& v = enumeration.variants[index];
    PyObject* name = names_.variant(v);
    if (!v.fields) return PyRef(Py_NewRef(name));
    PyRef fields = w.decode_variant(v, {});
    if (!fields) return fields;
    PyRef dict = made(PyDict_New());
    if (PyDict_SetItem(dict.get(), name, fields.get()) < 0) [[unlikely]] return python_failed(w);
    return dict;
  }

  // The last Python exception that failed a value, kept for whoever reads the
  // error (parse_logs does not).
  PyObject* python_error() const { return error_.get(); }

  // Whether that exception must end the whole call: anything that is not an
  // Exception (KeyboardInterrupt, SystemExit) is never swallowed with a line.
  bool aborted() const { return aborted_; }
  // Raises it again; the call then returns nullptr.
  void reraise() { PyErr_SetRaisedException(error_.release()); }
  // After a value failed: whether the call must end, the exception then
  // raised again (the caller returns its failure); else the value is only
  // one that did not decode.
  bool reraise_if_aborted() {
    if (!aborted_) [[likely]] return false;
    reraise();
    return true;
  }

 private:
  // The value of a scalar of fixed width (not 256-bit) from its bytes at `b`.
  [[gnu::always_inline]] static PyRef scalar_at(Kind kind, const std::uint8_t* b) {
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
    throw Fault("not a scalar of fixed width");
  }

  PyRef wide(Walk& w, const std::uint8_t* b, bool is_signed) {
    std::array<std::uint8_t, 32> a;
    std::memcpy(a.data(), b, 32);
    PyRef value = pyint_from_le_bytes(a, is_signed);
    if (!value) return python_failed(w);
    return value;
  }

  // The dict for a named field list, before its values are stored. With the
  // interpreter lock, a copy of a long list's blank dict comes presized and
  // keyed, so each store replaces a None. Without it, copying the one shared
  // blank dict would lock it for every value that any thread decodes.
  static PyRef new_fields_dict(const PyNames::Fields& names) {
#ifndef Py_GIL_DISABLED
    if (names.blank) return made(PyDict_Copy(names.blank.get()));
#else
    (void)names;
#endif
    return made(PyDict_New());
  }

  [[gnu::cold]] PyRef python_failed(Walk& w) {
    error_ = take_python_error();
    aborted_ = PyErr_GivenExceptionMatches(error_.get(), PyExc_Exception) == 0;
    return w.fail(Error(Error::Kind::Python));
  }

  const PyNames& names_;
  PyRef error_;
  bool aborted_ = false;
};

}  // namespace brisquel
