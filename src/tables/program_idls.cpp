#include "src/tables/program_idls.hpp"

#include "idl/loader.hpp"
#include "src/arguments.hpp"
#include "src/tables/errors.hpp"
#include "src/tables/options.hpp"

namespace brisquel::tables {
namespace {

// The address `addresses` gives IDL number `index` (named `name`), if any:
// by index first, then by name. False with an error set.
bool given_address(PyObject* addresses, std::size_t index, const std::optional<std::string>& name,
                   std::optional<std::string>& out) {
  PyObject* found = nullptr;
  if (!idl_entry(addresses, index, name, found)) return false;
  if (found == nullptr) return true;
  PyRef value(found);
  if (!PyUnicode_Check(found)) {
    raise_not_instance("addresses", found, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(found, &size);
  if (text == nullptr) return false;
  out = std::string(text, static_cast<std::size_t>(size));
  return true;
}

constexpr const char* kNoAddress = "the IDL names no program address; give one in `addresses`";

}  // namespace

bool idl_entry(PyObject* mapping, std::size_t index, const std::optional<std::string>& name, PyObject*& found) {
  found = nullptr;
  if (mapping == nullptr || mapping == Py_None) return true;
  PyRef key(PyLong_FromSize_t(index));
  if (!key) return false;
  if (PyMapping_GetOptionalItem(mapping, key.get(), &found) < 0) return false;
  if (found == nullptr && name) {
    PyRef name_key = str_of(*name);
    if (!name_key || PyMapping_GetOptionalItem(mapping, name_key.get(), &found) < 0) return false;
  }
  return true;
}

PyRef str_of(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

void raise_idl_reason(const State& state, std::size_t index, std::string_view reason) {
  raise_idl_error(state, {.index = index, .reason = reason});
}

std::optional<idl::Idl> load_program_idl(const State& state, std::size_t index, PyObject* item,
                                         PyObject* addresses, std::span<const std::string> earlier) {
  auto text = idl_text(item, "idls");
  if (!text) return std::nullopt;
  std::optional<std::string> address;
  if (!given_address(addresses, index, idl::program_name(*text), address)) return std::nullopt;
  auto fail = [&](std::string_view reason) {
    raise_idl_reason(state, index, reason);
    return std::nullopt;
  };
  auto idl = idl::convert_idl(*text, address);
  if (!idl) {
    if (idl.error() == "Program id missing in `idl.metadata.address` field") return fail(kNoAddress);
    return fail("failed to parse IDL: " + idl.error());
  }
  if (idl->address.empty()) return fail(kNoAddress);
  for (std::size_t j = 0; j < earlier.size(); ++j) {
    if (earlier[j] != idl->address) continue;
    const std::string reason = "idls[" + std::to_string(j) + "] and idls[" + std::to_string(index) +
                               "] are both for program " + idl->address;
    raise_idl_error(state, {.index = index, .reason = reason, .duplicate_of = j, .program = idl->address});
    return std::nullopt;
  }
  return std::move(*idl);
}

}  // namespace brisquel::tables
