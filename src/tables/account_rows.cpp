#include "src/tables/account_rows.hpp"

#include <optional>
#include <string_view>

#include "core/acct/account_data.hpp"

namespace brisquel::tables {
namespace {

bool bytes_like(PyObject* obj) { return PyBytes_Check(obj) || PyByteArray_Check(obj) || PyMemoryView_Check(obj); }

// A row: a tuple or list of 3 to 5 items whose third is bytes-like.
bool is_row(PyObject* obj) {
  if (PyTuple_Check(obj)) {
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    return n >= 3 && n <= 5 && bytes_like(PyTuple_GET_ITEM(obj, 2));
  }
  if (!PyList_Check(obj)) return false;
  // Another thread may change the list meanwhile: the item is held while looked at.
  const Py_ssize_t n = PyList_GET_SIZE(obj);
  if (n < 3 || n > 5) return false;
  PyRef third(PyList_GetItemRef(obj, 2));
  if (!third) {
    PyErr_Clear();
    return false;
  }
  return bytes_like(third.get());
}

void raise_row(PyObject* type, std::size_t index, const char* what, PyObject* given) {
  PyErr_Format(type, "accounts[%zu]: %s, not '%.100s'", index, what, Py_TYPE(given)->tp_name);
}

// The UTF-8 text of a str item (None: empty when `may_be_none`); false with the error set.
bool text_item(PyObject* item, bool may_be_none, std::size_t index, const char* what, std::string_view& out) {
  if (may_be_none && item == Py_None) return true;
  if (!PyUnicode_Check(item)) {
    raise_row(PyExc_TypeError, index, what, item);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(item, &size);
  if (text == nullptr) return false;
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

bool int_item(PyObject* item, std::size_t index, const char* what, std::optional<std::uint64_t>& out) {
  if (item == Py_None) return true;
  if (!PyLong_Check(item)) {
    raise_row(PyExc_TypeError, index, what, item);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(item);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "accounts[%zu]: %s, not %R", index, what, item);
    return false;
  }
  out = value;
  return true;
}

}  // namespace

AccountRows::~AccountRows() {
  for (Py_buffer& b : buffers_) PyBuffer_Release(&b);
}

AccountRows::Read AccountRows::read(PyObject* obj) {
  if (is_row(obj)) return add(obj, 0) ? Read::Done : Read::Failed;
  if (!PyTuple_Check(obj) && !PyList_Check(obj)) return Read::NotRows;
  // A private copy of the sequence: another thread may change a list meanwhile.
  PyRef items(PySequence_Tuple(obj));
  if (!items) return Read::Failed;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (n == 0 || !is_row(PyTuple_GET_ITEM(items.get(), 0))) return Read::NotRows;
  PyObject* rows = items.get();
  held_.push_back(std::move(items));
  views_.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!add(PyTuple_GET_ITEM(rows, i), static_cast<std::size_t>(i))) return Read::Failed;
  }
  return Read::Done;
}

bool AccountRows::add(PyObject* row, std::size_t index) {
  if (!is_row(row)) {
    raise_row(PyExc_TypeError, index,
              "expected a row (pubkey, owner, data[, lamports[, slot]]) with bytes-like data", row);
    return false;
  }
  PyRef items(PySequence_Tuple(row));
  if (!items) return false;
  PyObject* const* item = &PyTuple_GET_ITEM(items.get(), 0);
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  held_.push_back(std::move(items));
  acct::AccountView view;
  if (!text_item(item[0], true, index, "pubkey must be a base58 str or None", view.pubkey) ||
      !text_item(item[1], false, index, "owner must be a base58 str", view.owner)) {
    return false;
  }
  if ((n > 3 && !int_item(item[3], index, "lamports must be an int from 0 to 2**64-1 or None", view.lamports)) ||
      (n > 4 && !int_item(item[4], index, "slot must be an int from 0 to 2**64-1 or None", view.slot))) {
    return false;
  }
  Py_buffer& buffer = buffers_.emplace_back();
  if (PyObject_GetBuffer(item[2], &buffer, PyBUF_SIMPLE) < 0) {
    buffers_.pop_back();
    return false;
  }
  const auto size = static_cast<std::size_t>(buffer.len);
  if (size > acct::kMaxAccountBytes) {
    // As the readers treat data past Solana's bound: this account only fails.
    view.state = acct::DataState::kUnreadable;
    view.data_error = "account data is more than 10485760 bytes";
  } else {
    view.data = {static_cast<const std::uint8_t*>(buffer.buf), size};
  }
  views_.push_back(view);
  return true;
}

}  // namespace brisquel::tables
