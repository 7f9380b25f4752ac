// Accounts given as Arrow data (`__arrow_c_stream__` or `__arrow_c_array__`):
// a struct array (a table's rows) with columns `pubkey`, `owner` (utf8,
// large_utf8 or fixed_size_binary(32)), `data` (binary or large_binary) and,
// if present, `lamports` and `slot` (integers). The arrays are moved out of the
// producer's capsules and released when this goes, with the lock held.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/acct/account_view.hpp"
#include "core/arrow/c_data.hpp"
#include "src/py_ref.hpp"

namespace brisquel::tables {

class ArrowAccounts {
 public:
  enum class Read : std::uint8_t {
    NotArrow,  // the object offers neither method: no error set
    Done,
    Failed,    // TypeError (columns missing or of other types, named) or ValueError set
  };

  ArrowAccounts() = default;
  ArrowAccounts(const ArrowAccounts&) = delete;
  ArrowAccounts& operator=(const ArrowAccounts&) = delete;
  ~ArrowAccounts();

  Read read(PyObject* obj);
  std::span<const acct::AccountView> views() const { return views_; }

 private:
  Read read_stream(PyObject* capsule);
  Read read_array(PyObject* pair);
  bool check_schema();
  bool take_array(ArrowArray& array);

  ArrowSchema schema_{};
  std::vector<ArrowArray> arrays_;
  std::vector<acct::AccountView> views_;
  std::vector<std::string> keys_;  // base58 text of binary keys, one string per array
  struct Columns;
  int pubkey_ = -1, owner_ = -1, data_ = -1, lamports_ = -1, slot_ = -1;
};

}  // namespace brisquel::tables
