// Accounts given as Arrow data (`__arrow_c_stream__` or `__arrow_c_array__`):
// struct arrays (a table's rows) with columns `pubkey` (optional) and `owner`
// (utf8, large_utf8 or fixed_size_binary(32)), `data` (binary or
// large_binary; null: no account), and optional `lamports` and `slot` (int or
// uint, 32 or 64 bits; negative reads as null).
//
// Every offset is checked against what the array says once, when it is taken;
// the views then point into the producer's buffers (and into base58 text made
// here for binary keys) and stay valid while this lives.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/acct/account_view.hpp"
#include "src/tables/arrow_import.hpp"

namespace brisquel::tables {

class ArrowAccounts {
 public:
  enum class Read : std::uint8_t {
    NotArrow,  // the object offers neither method: no error set
    Done,
    Failed,    // TypeError (columns missing or of other types, named) or ReadError set
  };

  Read read(PyObject* obj, const State& state);
  std::span<const acct::AccountView> views() const { return views_; }

  // How a column's values are laid out; kNone: the column is absent.
  enum class Layout : std::uint8_t { kNone, kUtf8, kLargeUtf8, kKey, kBinary, kLargeBinary, kI32, kU32, kI64, kU64 };

 private:
  bool check_schema();
  bool take_array(const ArrowArray& array);

  ArrowImport import_{"accounts"};
  // Per column (pubkey, owner, data, lamports, slot): its child index and layout.
  std::int64_t child_[5] = {-1, -1, -1, -1, -1};
  Layout layout_[5] = {};
  std::vector<acct::AccountView> views_;
  std::vector<std::unique_ptr<char[]>> keys_;  // base58 text of binary keys, one block per array
};

}  // namespace brisquel::tables
