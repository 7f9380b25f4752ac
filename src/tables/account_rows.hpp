// Accounts given as Python rows: (pubkey, owner, data) or (pubkey, owner,
// data, lamports) or (pubkey, owner, data, lamports, slot), one such tuple or
// a sequence of them. pubkey is a base58 str or None, owner a base58 str,
// data a bytes-like object, lamports and slot ints or None.
//
// The rows, their strings and the data buffers are held while this lives, so
// that the views stay valid with the interpreter lock released.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/acct/account_view.hpp"
#include "src/py_ref.hpp"

namespace brisquel::tables {

class AccountRows {
 public:
  enum class Read : std::uint8_t {
    NotRows,  // `obj` is neither a row nor a sequence starting with one: no error set
    Done,
    Failed,   // TypeError or ValueError set, naming the row
  };

  AccountRows() = default;
  AccountRows(const AccountRows&) = delete;
  AccountRows& operator=(const AccountRows&) = delete;
  ~AccountRows();

  Read read(PyObject* obj);
  std::span<const acct::AccountView> views() const { return views_; }

 private:
  bool add(PyObject* row, std::size_t index);

  std::vector<PyRef> held_;
  std::vector<Py_buffer> buffers_;
  std::vector<acct::AccountView> views_;
};

}  // namespace brisquel::tables
