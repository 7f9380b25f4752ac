#include "src/tables/program_idls.hpp"

#include <array>
#include <vector>

#include "codec/base58.hpp"
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
  if (!is_address(*out)) {
    // Else no account or invocation ever matches it, and the decoder finds nothing without a word.
    PyErr_Format(PyExc_ValueError, "addresses: %R (for idls[%zu]) is not a program address: base58 text of 32 bytes",
                 found, index);
    return false;
  }
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
  Error error(Error::Kind::Idl, reason);
  error.program = address;
  raise_idl_error(state, error, index, first);
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

bool is_address(std::string_view text) {
  std::array<std::uint8_t, 44> bytes{};
  if (text.empty() || text.size() > bytes.size()) return false;
  const auto size = codec::decode_base58(text, bytes.data());
  return size && *size == 32;
}

std::string idl_failure(std::string_view text, std::string message) {
  auto document = json::parse(text);
  if (document && idl::codama::is_codama(*document)) {
    return "a Codama document, which describes no events: give it to TransactionDecoder or AccountDecoder";
  }
  return message;
}

bool check_idl_keys(PyObject* mapping, const char* param, PyObject* idls) {
  if (mapping == nullptr || mapping == Py_None) return true;
  PyRef keys(PyMapping_Keys(mapping));
  if (!keys) {
    // Not a mapping with keys (a list passes PyMapping_Check): reading its
    // entries says so, naming the argument.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return true;
  }
  const Py_ssize_t count = PyTuple_GET_SIZE(idls);
  std::optional<std::vector<std::string>> names;  // read when a key is a name
  for (Py_ssize_t k = 0, n = PyList_GET_SIZE(keys.get()); k < n; ++k) {
    PyObject* key = PyList_GET_ITEM(keys.get(), k);
    if (PyLong_Check(key)) {
      int overflow = 0;
      const long long i = PyLong_AsLongLongAndOverflow(key, &overflow);
      if (i == -1 && PyErr_Occurred()) return false;
      if (overflow == 0 && i >= 0 && i < count) continue;
      PyErr_Format(PyExc_ValueError, "%s: no IDL has index %R (%zd IDL%s given)", param, key, count,
                   count == 1 ? "" : "s");
      return false;
    }
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s: keys are IDL indexes (int) or program names (str), not %T", param, key);
      return false;
    }
    if (!names) {
      names.emplace();
      for (Py_ssize_t i = 0; i < count; ++i) {
        auto text = idl_text(PyTuple_GET_ITEM(idls, i), "idls");
        if (!text) return false;
        if (auto name = idl::program_name(*text)) names->push_back(std::move(*name));
      }
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) return false;
    const std::string_view wanted(text, static_cast<std::size_t>(size));
    bool known = false;
    std::string listed;
    for (const std::string& name : *names) {
      known = known || name == wanted;
      listed += (listed.empty() ? "" : ", ") + name;
    }
    if (known) continue;
    PyRef known_names = str_of(listed.empty() ? "none named" : listed);
    if (!known_names) return false;
    PyErr_Format(PyExc_ValueError, "%s: no IDL is of a program named %R (the IDLs' programs: %U)", param, key,
                 known_names.get());
    return false;
  }
  return true;
}

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

void raise_idl_reason(const State& state, std::size_t index, std::string_view reason) {
  raise_idl_error(state, Error(Error::Kind::Idl, std::string(reason)), index);
}

}  // namespace brisquel::tables
