#include "src/tables/program_idls.hpp"

#include "idl/codama/reader.hpp"
#include "idl/json.hpp"
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

// One program as its IDL gives it, before the programs are put together.
struct Described {
  CompiledProgram program;
  bool additional = false;  // a Codama document's additional program
};

void raise_duplicate(const State& state, std::size_t first, std::size_t index, const std::string& address) {
  const std::string reason = "idls[" + std::to_string(first) + "] and idls[" + std::to_string(index) +
                             "] are both for program " + address;
  raise_idl_error(state, {.index = index, .reason = reason, .duplicate_of = first, .program = address});
}

// The programs IDL number `index` describes; false with the error set.
bool describe_idl(const State& state, std::size_t index, PyObject* item, PyObject* addresses,
                  const AccountOptionsFor& account_options, std::vector<Described>& out) {
  auto text = idl_text(item, "idls");
  if (!text) return false;
  auto fail = [&](std::string_view reason) {
    raise_idl_reason(state, index, reason);
    return false;
  };
  auto document = json::parse(*text);  // the one parse of the text
  if (!document) return fail("failed to parse IDL: " + document.error());
  if (idl::codama::is_codama(*document)) {
    auto read = idl::codama::read_document(*document);
    if (!read) return fail("failed to read Codama document: " + read.error());
    for (std::size_t p = 0; p < read->programs.size(); ++p) {
      auto compiled = CompiledIdl::build(*read, p);
      if (!compiled) return fail("program " + read->programs[p].name + ": " + compiled.error());
      out.push_back({{read->programs[p].public_key, std::move(*compiled), index}, read->programs[p].additional});
    }
    return true;
  }
  const std::optional<std::string> name = idl::program_name(*document);
  std::optional<std::string> address;
  if (!given_address(addresses, index, name, address)) return false;
  auto idl = idl::convert_idl(*document, address);
  if (!idl) {
    if (idl.error() == "Program id missing in `idl.metadata.address` field") return fail(kNoAddress);
    return fail("failed to parse IDL: " + idl.error());
  }
  if (idl->address.empty()) return fail(kNoAddress);
  AccountOptions options;
  if (account_options && !account_options(index, name, options)) return false;
  auto compiled = CompiledIdl::build(*idl, options);
  if (!compiled) return fail(compiled.error());
  out.push_back({{idl->address, std::move(*compiled), index}, false});
  return true;
}

}  // namespace

std::optional<std::vector<CompiledProgram>> load_programs(const State& state, PyObject* items, PyObject* addresses,
                                                          const AccountOptionsFor& account_options) {
  std::vector<Described> described;
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(items); i < n; ++i) {
    const std::size_t before = described.size();
    if (!describe_idl(state, static_cast<std::size_t>(i), PyTuple_GET_ITEM(items, i), addresses, account_options,
                      described)) {
      return std::nullopt;
    }
    // A program an IDL describes as its own may appear once.
    for (std::size_t k = before; k < described.size(); ++k) {
      if (described[k].additional) continue;
      for (std::size_t j = 0; j < before; ++j) {
        if (described[j].additional || described[j].program.address != described[k].program.address) continue;
        raise_duplicate(state, described[j].program.index, static_cast<std::size_t>(i), described[k].program.address);
        return std::nullopt;
      }
    }
  }
  std::vector<bool> keep(described.size(), true);
  for (std::size_t k = 0; k < described.size(); ++k) {
    if (!described[k].additional) continue;
    for (std::size_t j = 0; j < described.size() && keep[k]; ++j) {
      keep[k] = !(j != k && described[j].program.address == described[k].program.address &&
                  (!described[j].additional || j < k));
    }
  }
  std::vector<CompiledProgram> out;
  for (std::size_t k = 0; k < described.size(); ++k) {
    if (keep[k]) out.push_back(std::move(described[k].program));
  }
  return out;
}

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

}  // namespace brisquel::tables
