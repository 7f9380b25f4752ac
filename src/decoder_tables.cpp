#include "src/decoder_tables.hpp"

#include <algorithm>
#include <cstring>
#include <format>

namespace brisquel {
namespace {

using Kind = idl::IdlType::Kind;

constexpr int kScalarKinds = static_cast<int>(Kind::Pubkey) + 1;

// Entries a new dict takes before its first resize (two thirds of 8 slots,
// rounded down); smaller field lists gain nothing from a blank copy.
constexpr Py_ssize_t kNewDictRoom = 5;

constexpr std::uint64_t scalar_size(Kind k) {
  switch (k) {
    case Kind::Bool: case Kind::U8: case Kind::I8: return 1;
    case Kind::U16: case Kind::I16: return 2;
    case Kind::U32: case Kind::I32: case Kind::F32: return 4;
    case Kind::U64: case Kind::I64: case Kind::F64: return 8;
    case Kind::U128: case Kind::I128: return 16;
    case Kind::U256: case Kind::I256: case Kind::Pubkey: return 32;
    default: return 4;  // bytes, string: the length prefix
  }
}

PyRef interned(std::string_view text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (s == nullptr) throw PythonErrorSet{};
  PyUnicode_InternInPlace(&s);
  return PyRef(s);
}

std::uint64_t load_disc(const std::vector<std::uint8_t>& d) {
  std::uint64_t v;
  std::memcpy(&v, d.data(), 8);
  return v;
}

}  // namespace

const TypeNode* DecoderTables::node(const idl::IdlType& type) {
  const int k = static_cast<int>(type.kind);
  if (type.kind == Kind::U256 || type.kind == Kind::I256) runs_python_ = true;
  if (k < kScalarKinds) return &nodes_[static_cast<std::size_t>(k)];
  TypeNode& n = nodes_.emplace_back();
  n.kind = type.kind;
  switch (type.kind) {
    case Kind::Option:
    case Kind::Vec:
      n.inner = node(*type.inner);
      break;
    case Kind::Array:
      n.inner = node(*type.inner);
      n.generic_len = type.len.kind == idl::IdlArrayLen::Kind::Generic;
      n.len = type.len.value;
      break;
    case Kind::Defined: {
      n.name = type.name;
      n.has_generics = !type.generics.empty();
      auto it = std::ranges::lower_bound(by_name_, type.name, {}, &std::pair<std::string, Definition*>::first);
      if (it != by_name_.end() && it->first == type.name) n.definition = it->second;
      break;
    }
    default:  // Generic
      break;
  }
  return &n;
}

std::optional<FieldList> DecoderTables::field_list(const std::optional<idl::IdlDefinedFields>& fields) {
  if (!fields) return std::nullopt;
  FieldList out;
  out.named = fields->kind == idl::IdlDefinedFields::Kind::Named;
  if (out.named) {
    PyRef blank(PyDict_New());
    if (!blank) throw PythonErrorSet{};
    for (const auto& f : fields->named) {
      out.keys.push_back(interned(f.name));
      out.types.push_back(node(f.type));
      // A repeated name keeps its first place, as storing into a dict does.
      if (PyDict_SetItem(blank.get(), out.keys.back().get(), Py_None) < 0) throw PythonErrorSet{};
    }
    if (PyDict_GET_SIZE(blank.get()) > kNewDictRoom) out.blank = std::move(blank);
  } else {
    for (const auto& t : fields->tuple) out.types.push_back(node(t));
  }
  out.plain = std::ranges::all_of(out.types, &TypeNode::plain);
  return out;
}

Result<std::unique_ptr<DecoderTables>> DecoderTables::build(const idl::Idl& idl) {
  std::unique_ptr<DecoderTables> t(new DecoderTables());
  for (int k = 0; k < kScalarKinds; ++k) {
    TypeNode& n = t->nodes_.emplace_back();
    n.kind = static_cast<Kind>(k);
    n.plain = n.kind != Kind::U256 && n.kind != Kind::I256;
    n.min_size = scalar_size(n.kind);
  }

  // The type table: one entry per name, the last definition of a name winning.
  std::vector<std::pair<std::string_view, std::size_t>> names;
  names.reserve(idl.types.size());
  for (std::size_t i = 0; i < idl.types.size(); ++i) names.emplace_back(idl.types[i].name, i);
  std::ranges::stable_sort(names, {}, &std::pair<std::string_view, std::size_t>::first);
  std::vector<std::size_t> winners;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i + 1 < names.size() && names[i + 1].first == names[i].first) continue;
    Definition& d = t->definitions_.emplace_back();
    t->by_name_.emplace_back(std::string(names[i].first), &d);
    winners.push_back(names[i].second);
  }
  for (std::size_t i = 0; i < winners.size(); ++i) {
    const idl::IdlTypeDefTy& body = idl.types[winners[i]].type;
    Definition& d = *t->by_name_[i].second;
    d.kind = body.kind;
    switch (body.kind) {
      case Definition::Kind::Struct:
        d.fields = t->field_list(body.fields);
        break;
      case Definition::Kind::Enum:
        for (const auto& v : body.variants) d.variants.push_back(Variant{interned(v.name), t->field_list(v.fields)});
        break;
      case Definition::Kind::Type:
        d.alias = t->node(body.alias);
        break;
    }
  }

  // The event table, in declaration order.
  for (const auto& e : idl.events) {
    auto it = std::ranges::lower_bound(t->by_name_, e.name, {}, &std::pair<std::string, Definition*>::first);
    if (it == t->by_name_.end() || it->first != e.name) {
      return fail(std::format("event '{}' has no matching type definition in idl.types", e.name));
    }
    if (it->second->kind != Definition::Kind::Struct) {
      return fail(std::format("event '{}' type definition is not a struct", e.name));
    }
    t->events_.push_back(EventLayout{e.discriminator, e.name, interned(e.name), &it->second->fields});
  }

  // Discriminator lookup: equal keys keep declaration order, so the first
  // declared layout is the one kept.
  for (std::size_t i = 0; i < t->events_.size(); ++i) {
    const auto& disc = t->events_[i].discriminator;
    if (disc.size() == 8) t->by_disc_.emplace_back(load_disc(disc), static_cast<std::uint32_t>(i));
  }
  std::ranges::stable_sort(t->by_disc_, {}, &std::pair<std::uint64_t, std::uint32_t>::first);
  auto dup = std::ranges::unique(t->by_disc_, {}, &std::pair<std::uint64_t, std::uint32_t>::first);
  t->by_disc_.erase(dup.begin(), dup.end());
  t->by_name_ = {};  // names are resolved: decoding never looks one up
  return t;
}

const EventLayout* DecoderTables::match(std::uint64_t disc) const {
  auto it = std::ranges::lower_bound(by_disc_, disc, {}, &std::pair<std::uint64_t, std::uint32_t>::first);
  if (it == by_disc_.end() || it->first != disc) return nullptr;
  return &events_[it->second];
}

}  // namespace brisquel
