// Accounts as a decoder's argument takes them: RPC JSON text (str or bytes),
// Python objects of the same shapes (written back as JSON text), rows of
// (pubkey, owner, data), or Arrow data with such columns.
#pragma once

#include <cstddef>
#include <span>

#include "core/acct/rpc_accounts.hpp"
#include "src/tables/account_rows.hpp"
#include "src/tables/arrow_accounts.hpp"
#include "src/tables/errors.hpp"
#include "src/tables/json_input.hpp"

namespace brisquel::tables {

class AccountInput {
 public:
  // False with the error set. The caller holds `obj` while this lives.
  bool open(const State& state, PyObject* obj);

  // visit(view, index) for every account, in order, with the interpreter lock
  // released if asked (visit then touches no Python object); visit returns
  // false to stop. False with the error set: ReadError for JSON text that
  // cannot be read, or what visit left set. `read` is how many accounts were
  // handed over.
  template <class Visit>
  bool for_each(const State& state, bool release_lock, Visit& visit, std::size_t& read);

 private:
  std::span<const acct::AccountView> views() const {
    return from_arrow_ ? arrow_.views() : rows_.views();
  }

  AccountRows rows_;
  ArrowAccounts arrow_;
  JsonInput json_;
  bool from_json_ = false;
  bool from_arrow_ = false;
};

template <class Visit>
bool AccountInput::for_each(const State& state, bool release_lock, Visit& visit, std::size_t& read) {
  if (!from_json_) {
    const std::span<const acct::AccountView> all = views();
    auto walk = [&] {
      for (std::size_t i = 0; i < all.size(); ++i) {
        read = i + 1;
        if (!visit(all[i], i)) return;
      }
    };
    if (release_lock) {
      ReleasedLock unlocked;
      walk();
    } else {
      walk();
    }
    return !PyErr_Occurred();
  }
  acct::RpcAccountReader reader;
  json::ReadResult result;
  auto each = [&](const acct::AccountView& view, std::size_t index) {
    read = index + 1;
    return visit(view, index);
  };
  if (release_lock) {
    ReleasedLock unlocked;
    result = reader.read(json_.text(), each);
  } else {
    result = reader.read(json_.text(), each);
  }
  if (PyErr_Occurred()) return false;
  if (result.error) {
    raise_read_error(state, "accounts", *result.error);
    return false;
  }
  return true;
}

}  // namespace brisquel::tables
