// AccountDecoder: program accounts, as RPC nodes return them or as rows, each
// decoded with the IDL of the program that owns it.
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/acct/account_tables.hpp"
#include "core/json_sink.hpp"
#include "idl/loader.hpp"
#include "src/arguments.hpp"
#include "src/tables/binding.hpp"
#include "src/tables/account_input.hpp"
#include "src/tables/decoded_events.hpp"
#include "src/tables/fields_maker.hpp"
#include "src/tables/named_tuple.hpp"
#include "src/tables/options.hpp"
#include "src/tables/program_idls.hpp"
#include "src/tables/schema.hpp"

namespace brisquel::tables {
namespace {

// What an AccountDecoder holds: immutable after construction, shared by threads.
struct AcctDecoder {
  std::unique_ptr<acct::AccountPrograms> programs;
  std::vector<acct::AccountSchemas> schemas;  // per program
  std::vector<PyNames> names;                 // per program: the names its Python values use
  std::vector<PyRef> addresses;               // per program: str
  std::vector<std::vector<PyRef>> types;      // per program, per account type: its key (str)
  std::vector<std::vector<PyRef>> keys;       // per program, per account type: (address, key) tuples
  bool old_versions = false;
};

using AcctDecoderType = TablesType<AcctDecoder>;

// The names `zero_copy` gives IDL number `index` (named `name`): by index
// first, then by name. False with an error set.
bool zero_copy_names(PyObject* zero_copy, std::size_t index, const std::optional<std::string>& name,
                     std::vector<std::string>& out) {
  PyObject* found = nullptr;
  if (!idl_entry(zero_copy, index, name, found)) return false;
  if (found == nullptr) return true;
  PyRef value(found);
  if (PyUnicode_Check(found) || PyBytes_Check(found)) {  // a str is iterable, but not of names
    raise_not_instance("zero_copy", found, "Iterable[str]");
    return false;
  }
  PyRef items(PySequence_Tuple(found));
  if (!items) {
    prefix_argument_error("zero_copy");
    return false;
  }
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(items.get()); i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    if (!PyUnicode_Check(item)) {
      raise_not_instance("zero_copy", item, "str");
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr) return false;
    out.emplace_back(text, static_cast<std::size_t>(size));
  }
  return true;
}

// Compiles every IDL of `items` into `programs` and `schemas`; false with
// IdlError (or the argument's TypeError) set.
bool add_programs(const State& state, std::vector<acct::AccountProgram>& programs,
                  std::vector<acct::AccountSchemas>& schemas, PyObject* items, PyObject* addresses,
                  PyObject* zero_copy, const TableOptions& options) {
  auto loaded = load_programs(state, items, addresses,
                              [&](std::size_t index, const std::optional<std::string>& name, AccountOptions& out) {
                                return zero_copy_names(zero_copy, index, name, out.zero_copy);
                              });
  if (!loaded) return false;
  for (CompiledProgram& p : *loaded) {
    auto made = acct::AccountSchemas::make(*p.idl, options);
    if (!made) {
      raise_idl_reason(state, p.index, made.error());
      return false;
    }
    programs.push_back(acct::AccountProgram{std::move(p.address), std::move(p.idl)});
    schemas.push_back(std::move(*made));
  }
  return true;
}

// The Python objects the decoder's output is made of; false with the error set.
bool make_names(AcctDecoder& d) {
  for (std::size_t p = 0; p < d.schemas.size(); ++p) {
    const acct::AccountProgram& program = d.programs->programs()[p];
    if (!d.names.emplace_back().build(*program.idl)) return false;
    d.addresses.push_back(str_of(program.address));
    if (!d.addresses.back()) return false;
    auto& types = d.types.emplace_back();
    auto& keys = d.keys.emplace_back();
    for (const auto& key : d.schemas[p].keys) {
      types.push_back(str_of(key));
      if (!types.back()) return false;
      keys.emplace_back(PyTuple_Pack(2, d.addresses.back().get(), types.back().get()));
      if (!keys.back()) return false;
    }
  }
  return true;
}

constexpr Parameter kNewParams[] = {required("idls"),        keyword("addresses"), keyword("zero_copy"),
                                    keyword("pubkeys"),      keyword("wide_ints"), keyword("old_versions")};
constexpr Signature kNewSignature{"AccountDecoder.__new__()", kNewParams};

PyObject* account_decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return tables_guard(type, [&]() -> PyObject* {
    Arguments<6> a;
    if (!a.bind(kNewSignature, args, kwargs)) return nullptr;
    PyObject* idls = a[0];
    PyObject* addresses = a[1];
    PyObject* zero_copy = a[2];
    TableOptions options;
    if (!parse_options(a[3], a[4], nullptr, options)) return nullptr;
    // An account shorter than its layout is most often forged or of another
    // type: it decodes as an old version only when the caller says so.
    const auto old_versions = flag_argument(a[5], false);
    if (!old_versions) return nullptr;
    options.null_short_events = *old_versions;
    if (PyUnicode_Check(idls) || !PySequence_Check(idls)) {
      raise_not_instance("idls", idls, "Sequence");
      return nullptr;
    }
    for (auto [param, value] : {std::pair{"addresses", addresses}, std::pair{"zero_copy", zero_copy}}) {
      if (value != nullptr && value != Py_None && !PyMapping_Check(value)) {
        raise_not_instance(param, value, "Mapping");
        return nullptr;
      }
    }
    PyRef items(PySequence_Tuple(idls));
    if (!items) return nullptr;
    // Keys first: a name that matches no IDL is why an IDL then lacks its address.
    if (!check_idl_keys(addresses, "addresses", items.get()) || !check_idl_keys(zero_copy, "zero_copy", items.get())) {
      return nullptr;
    }
    const State& state = state_of(type);
    std::vector<acct::AccountProgram> programs;
    AcctDecoder decoder;
    if (!add_programs(state, programs, decoder.schemas, items.get(), addresses, zero_copy, options)) return nullptr;
    decoder.programs = std::make_unique<acct::AccountPrograms>(std::move(programs));
    decoder.old_versions = *old_versions;
    if (!make_names(decoder)) return nullptr;
    return AcctDecoderType::create(type, std::move(decoder));
  });
}

PyObject* account_decoder_programs(PyObject* self, void*) {
  return AcctDecoderType::call(self, [](const AcctDecoder& d) { return new_list(d.addresses); });
}

PyRef optional_u64(const std::optional<std::uint64_t>& v) {
  return v ? PyRef(PyLong_FromUnsignedLongLong(*v)) : PyRef(Py_NewRef(Py_None));
}

PyObject* account_decoder_layouts(PyObject* self, void*) {
  return AcctDecoderType::call(self, [](const AcctDecoder& d) -> PyObject* {
    PyRef out(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t p = 0; p < d.keys.size(); ++p) {
      const auto layouts = d.programs->programs()[p].idl->accounts();
      for (std::size_t i = 0; i < layouts.size(); ++i) {
        const AccountLayout& l = layouts[i];
        const auto& disc = l.discriminator;
        PyRef borsh = l.borsh_min_size == UINT64_MAX ? PyRef(Py_NewRef(Py_None))
                                                     : PyRef(PyLong_FromUnsignedLongLong(l.borsh_min_size));
        PyRef entry(Py_BuildValue("{s:y#,s:O,s:N,s:N}", "discriminator", reinterpret_cast<const char*>(disc.data()),
                                  static_cast<Py_ssize_t>(disc.size()), "zero_copy", l.zero_copy ? Py_True : Py_False,
                                  "borsh_min_size", borsh.release(), "c_size", optional_u64(l.c_size).release()));
        if (!entry || PyDict_SetItem(out.get(), d.keys[p][i].get(), entry.get()) < 0) return nullptr;
      }
    }
    return out.release();
  });
}

constexpr Parameter kDecodeParams[] = {required("accounts"), keyword("keep_failed"), keyword("json_fields")};
constexpr Signature kDecodeSignature{"AccountDecoder.decode()", kDecodeParams};
constexpr Signature kDecodeCountedSignature{"AccountDecoder.decode_counted()", kDecodeParams};
constexpr Parameter kDecodeTablesParams[] = {required("accounts")};
constexpr Signature kDecodeTablesSignature{"AccountDecoder.decode_tables()", kDecodeTablesParams};

constexpr std::size_t kAccountStateFields = 8;

PyRef counts_dict(const acct::AccountCounts& c) {
  return PyRef(Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K,s:K}", "decoded", c.decoded, "failed", c.failed, "missing",
                             c.missing, "other_owner", c.other_owner, "parsed", c.parsed, "unreadable", c.unreadable,
                             "no_match", c.no_match));
}

PyRef owners_dict(const std::vector<std::pair<std::string, std::uint64_t>>& owners) {
  PyRef out(PyDict_New());
  if (!out) return out;
  for (const auto& [owner, n] : owners) {
    PyRef key = owner.empty() ? PyRef(Py_NewRef(Py_None)) : str_of(owner);
    PyRef count(PyLong_FromUnsignedLongLong(n));
    if (!key || !count || PyDict_SetItem(out.get(), key.get(), count.get()) < 0) return PyRef();
  }
  return out;
}

// What one decode call made: the accounts as AccountState, in input order, and
// what became of the others.
struct DecodedStates {
  PyRef states;
  acct::AccountTally tally;
  std::uint64_t read = 0;
  std::uint64_t short_of_layout = 0;  // failed, but decode as older versions (old_versions=True)
};

// Decodes every account of `accounts` into `out`; those that match a type but
// do not decode (and our programs' accounts whose data text does not) are kept,
// with fields None and the reason in `problem`, when `keep_failed`. With
// `json_fields`, fields are JSON text from the JSON sink. False with the error set.
bool decode_states(const AcctDecoder& d, const State& state, PyObject* accounts, bool keep_failed, bool json_fields,
                   DecodedStates& out) {
  AccountInput input;
  if (!input.open(state, accounts)) return false;
  out.states = PyRef(PyList_New(0));
  if (!out.states) return false;
  NamedTupleMaker states(state.account_state);
  FieldsMaker maker(json_fields);
  WalkState walk_state{std::span<const std::uint8_t>{}};  // one for every account, restarted
  auto append = [&](const acct::AccountView& view, std::uint32_t program, PyRef name, PyRef fields,
                    PyRef problem, PyRef path = PyRef(Py_NewRef(Py_None))) {
    PyRef pubkey = view.pubkey.empty() ? PyRef(Py_NewRef(Py_None)) : str_of(view.pubkey);
    PyRef lamports = optional_u64(view.lamports), slot = optional_u64(view.slot);
    if (!pubkey || !lamports || !slot || !name || !fields || !problem || !path) return false;
    std::array<PyObject*, kAccountStateFields> values = {pubkey.release(), d.addresses[program].new_ref(),
                                                        lamports.release(), slot.release(), name.release(),
                                                        fields.release(), problem.release(), path.release()};
    PyRef item(states.make(values));
    return item && PyList_Append(out.states.get(), item.get()) == 0;
  };
  auto visit = [&](const acct::AccountView& view, std::size_t) {
    acct::AccountMatch match;
    const acct::AccountOutcome outcome = d.programs->classify(view, match);
    if (outcome != acct::AccountOutcome::kMatched) {
      out.tally.note(outcome, view);
      if (outcome != acct::AccountOutcome::kUnreadable || !keep_failed) return true;
      return append(view, match.program, PyRef(Py_NewRef(Py_None)), PyRef(Py_NewRef(Py_None)),
                    str_of(view.data_error));
    }
    const auto type =
        static_cast<std::size_t>(match.layout - d.programs->programs()[match.program].idl->accounts().data());
    walk_state.restart(match.body);
    PyRef fields = maker.make(d.names[match.program], [&](auto& sink) {
      return acct::walk_account(sink, walk_state, *match.layout, {}, d.old_versions);
    });
    if (!fields && maker.raised()) return false;
    if (fields) {
      ++out.tally.counts.decoded;
      return append(view, match.program, PyRef(d.types[match.program][type].new_ref()), std::move(fields),
                    PyRef(Py_NewRef(Py_None)));
    }
    ++out.tally.counts.failed;
    if (!d.old_versions) {
      // Whether it is an older version's account: only failures pay for a second walk.
      SkipSink skip;
      WalkState lenient(match.body);
      if (acct::walk_account(skip, lenient, *match.layout, {}, true)) ++out.short_of_layout;
    }
    if (!keep_failed) return true;
    return append(view, match.program, PyRef(d.types[match.program][type].new_ref()), PyRef(Py_NewRef(Py_None)),
                  str_of(describe(walk_state.error)), PyRef(path_tuple(walk_state.error.path)));
  };
  std::size_t read = 0;
  if (!input.for_each(state, false, visit, read)) return false;
  out.read = read;
  return true;
}

PyObject* account_decoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return AcctDecoderType::call(self, [&](const AcctDecoder& d) -> PyObject* {
    Arguments<3> a;
    if (!a.bind(kDecodeSignature, args, nargs, kwnames)) return nullptr;
    const auto keep_failed = flag_argument(a[1], true), json_fields = flag_argument(a[2], false);
    if (!keep_failed || !json_fields) return nullptr;
    DecodedStates out;
    if (!decode_states(d, state_of(Py_TYPE(self)), a[0], *keep_failed, *json_fields, out)) return nullptr;
    return out.states.release();
  });
}

PyObject* account_decoder_decode_counted(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return AcctDecoderType::call(self, [&](const AcctDecoder& d) -> PyObject* {
    Arguments<3> a;
    if (!a.bind(kDecodeCountedSignature, args, nargs, kwnames)) return nullptr;
    const auto keep_failed = flag_argument(a[1], true), json_fields = flag_argument(a[2], false);
    if (!keep_failed || !json_fields) return nullptr;
    DecodedStates out;
    if (!decode_states(d, state_of(Py_TYPE(self)), a[0], *keep_failed, *json_fields, out)) return nullptr;
    PyRef counts = counts_dict(out.tally.counts);
    PyRef owners = owners_dict(out.tally.other_owners());
    if (!counts || !owners) return nullptr;
    PyRef read(PyLong_FromUnsignedLongLong(out.read)), short_of_layout(PyLong_FromUnsignedLongLong(out.short_of_layout));
    if (!read || !short_of_layout || PyDict_SetItemString(counts.get(), "read", read.get()) < 0 ||
        PyDict_SetItemString(counts.get(), "short", short_of_layout.get()) < 0) {
      return nullptr;
    }
    return PyTuple_Pack(3, out.states.get(), counts.get(), owners.get());
  });
}

PyObject* account_decoder_decode_tables(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return AcctDecoderType::call(self, [&](const AcctDecoder& d) -> PyObject* {
    Arguments<1> a;
    if (!a.bind(kDecodeTablesSignature, args, nargs, kwnames)) return nullptr;
    AccountInput input;
    if (!input.open(state_of(Py_TYPE(self)), a[0])) return nullptr;
    State& state = state_of(Py_TYPE(self));
    acct::AccountTables tables(*d.programs, d.schemas);
    auto visit = [&](const acct::AccountView& view, std::size_t) {
      tables.add(view);
      return true;
    };
    std::size_t read = 0;
    if (!input.for_each(state, true, visit, read)) return nullptr;
    acct::AccountTables::Output out;
    {
      ReleasedLock unlocked;
      out = tables.finish();
    }
    PyRef counts = counts_dict(out.counts);
    PyRef owners = owners_dict(out.other_owners);
    if (!counts || !owners) return nullptr;
    std::vector<PyObject*> keys;
    std::vector<std::shared_ptr<const arrow::Table>> in_order;
    for (std::size_t p = 0; p < out.accounts.size(); ++p) {
      for (std::size_t i = 0; i < out.accounts[p].size(); ++i) {
        keys.push_back(d.keys[p][i].get());
        in_order.push_back(std::move(out.accounts[p][i]));
      }
    }
    return new_decoded_accounts(state, keys, std::move(in_order), std::move(out.errors),
                                static_cast<std::int64_t>(read), std::move(counts), std::move(owners));
  });
}

PyObject* account_decoder_schema(PyObject* self, PyObject* key) {
  return AcctDecoderType::call(self, [&](const AcctDecoder& d) -> PyObject* {
    for (std::size_t p = 0; p < d.keys.size(); ++p) {
      for (std::size_t i = 0; i < d.keys[p].size(); ++i) {
        const int equal = PyObject_RichCompareBool(d.keys[p][i].get(), key, Py_EQ);
        if (equal < 0) return nullptr;
        if (equal == 0) continue;
        std::vector<arrow::Field> fields = acct::account_context();
        const auto& columns = d.schemas[p].accounts[i].fields.type.children;
        fields.insert(fields.end(), columns.begin(), columns.end());
        return new_schema(state_of(Py_TYPE(self)), std::move(fields));
      }
    }
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  });
}

PyMethodDef account_decoder_methods[] = {
    {"schema", account_decoder_schema, METH_O,
     "schema($self, key, /)\n--\n\n"
     "The Arrow schema of the table of `key`, a (program address, account type) pair."},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(account_decoder_decode)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode($self, accounts, *, keep_failed=True, json_fields=False)\n--\n\n"
     "Every account owned by one of the programs whose data starts with one of its\n"
     "account discriminators, decoded with that program's IDL, as AccountState in\n"
     "input order. One that does not decode (or whose data text does not) has\n"
     "fields None and the reason in `problem` (name None when no type was found),\n"
     "as decode_tables' `errors` has it; keep_failed=False leaves those out.\n"
     "json_fields=True: fields as JSON text, as the command line writes them\n"
     "(integers exact, public keys base58, bytes hex, NaN and infinities as strings).\n\n"
     "`accounts`: getAccountInfo, getMultipleAccounts or getProgramAccounts results\n"
     "or responses, {pubkey, account} entries, `solana account --output json` dumps,\n"
     "or arrays of these, as Python objects or JSON text (str or bytes; JSON lines\n"
     "too); rows (pubkey, owner, data[, lamports[, slot]]) with bytes-like data, or a\n"
     "sequence of them; or Arrow data with columns pubkey, owner, data and optionally\n"
     "lamports and slot. Raises ReadError for a text that cannot be read."},
    {"decode_counted", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(account_decoder_decode_counted)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode_counted($self, accounts, *, keep_failed=True, json_fields=False)\n--\n\n"
     "decode's accounts and what became of every account read, from one reading:\n"
     "(accounts, counts, other_owners). `counts` has decode_tables' counts, `read`\n"
     "(the accounts read, as its `inputs`) and `short` (of the failed, how many are\n"
     "shorter than their layout and decode with old_versions=True; 0 with it);\n"
     "`other_owners` is decode_tables'."},
    {"decode_tables", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(account_decoder_decode_tables)),
     METH_FASTCALL | METH_KEYWORDS,
     "decode_tables($self, accounts)\n--\n\n"
     "The same accounts as Arrow tables, one per (program, account type): a\n"
     "DecodedAccounts, with the accounts that did not decode in `errors`, what\n"
     "became of every account in `counts`, and the accounts read in `inputs`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef account_decoder_getset[] = {
    {"programs", account_decoder_programs, nullptr, "The programs' addresses in the order of their IDLs (a Codama document gives one per program it holds).", nullptr},
    {"layouts", account_decoder_layouts, nullptr,
     "Per (program, account type): its discriminator, whether it is read as zero-copy, and the body sizes in\n"
     "bytes after the discriminator: the fewest a Borsh value takes (None: unbounded) and the C layout's (None:\n"
     "no fixed layout). A type whose accounts are len(discriminator) + c_size bytes long is likely zero-copy.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot account_decoder_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "AccountDecoder(idls, *, addresses=None, zero_copy=None, pubkeys='base58', wide_ints='decimal', "
                    "old_versions=False)\n--\n\n"
                    "Decodes program accounts, each with the IDL of the program that owns it.\n"
                    "`zero_copy` maps an IDL (its index or program name) to the names of types to\n"
                    "read at C-layout offsets although the IDL does not say so; `old_versions`\n"
                    "decodes an account shorter than its layout, ending where a top-level field\n"
                    "begins, with the missing fields None. Raises IdlError for an IDL that cannot be used.")},
    {Py_tp_new, reinterpret_cast<void*>(account_decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(AcctDecoderType::dealloc)},
    {Py_tp_methods, account_decoder_methods},
    {Py_tp_getset, account_decoder_getset},
    {0, nullptr},
};

PyType_Spec account_decoder_spec = AcctDecoderType::spec("brisquel.AccountDecoder", account_decoder_slots);

}  // namespace

PyTypeObject* create_account_decoder_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &account_decoder_spec, nullptr));
}

}  // namespace brisquel::tables
