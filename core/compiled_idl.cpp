#include "core/compiled_idl.hpp"

#include <algorithm>
#include <cstring>
#include <format>

namespace brisquel {
namespace {

using Kind = idl::IdlType::Kind;

constexpr int kScalarKinds = static_cast<int>(Kind::Pubkey) + 1;

// The definitions a type refers to, directly or through options, vecs and arrays.
void referenced(const TypeNode* t, std::vector<const Definition*>& out) {
  for (; t != nullptr; t = t->inner) {
    if (t->definition != nullptr) out.push_back(t->definition);
  }
}

void referenced(const std::optional<FieldList>& fields, std::vector<const Definition*>& out) {
  if (!fields) return;
  for (const TypeNode* t : fields->types) referenced(t, out);
}

std::uint64_t load_disc(const std::vector<std::uint8_t>& d) {
  std::uint64_t v;
  std::memcpy(&v, d.data(), 8);
  return v;
}

}  // namespace

// The nodes of scalar kinds, one each, first in the node table (node() hands them out by kind).
void CompiledIdl::add_scalar_nodes() {
  for (int k = 0; k < kScalarKinds; ++k) {
    TypeNode& n = nodes_.emplace_back();
    n.kind = static_cast<Kind>(k);
    n.scalar = true;
    n.width = scalar_width(n.kind);
    n.min_size = n.width != 0 ? n.width : 4;  // bytes, string: the length prefix
  }
}

// Numbers every field list and variant of the type table, once it is final.
void CompiledIdl::number_definitions() {
  for (Definition& d : definitions_) {
    number(d.fields);
    for (Variant& v : d.variants) {
      v.id = static_cast<std::uint32_t>(variants_.size());
      variants_.push_back(&v);
      number(v.fields);
    }
  }
}

const TypeNode* CompiledIdl::node(const idl::IdlType& type) {
  const int k = static_cast<int>(type.kind);
  if (type.kind == Kind::U256 || type.kind == Kind::I256) has_256_bit_ = true;
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

std::optional<FieldList> CompiledIdl::field_list(const std::optional<idl::IdlDefinedFields>& fields) {
  if (!fields) return std::nullopt;
  FieldList out;
  out.named = fields->kind == idl::IdlDefinedFields::Kind::Named;
  if (out.named) {
    for (const auto& f : fields->named) {
      out.names.push_back(f.name);
      out.types.push_back(node(f.type));
    }
    std::vector<std::string_view> sorted(out.names.begin(), out.names.end());
    std::ranges::sort(sorted);
    out.repeats_names = std::ranges::adjacent_find(sorted) != sorted.end();
  } else {
    for (const auto& t : fields->tuple) out.types.push_back(node(t));
  }
  return out;
}

void CompiledIdl::number(std::optional<FieldList>& fields) {
  if (!fields) return;
  fields->id = static_cast<std::uint32_t>(field_lists_.size());
  field_lists_.push_back(&*fields);
}

// Marks every definition that lies on a cycle of references (Tarjan's
// strongly connected components, without recursion: a hostile IDL may chain
// a hundred thousand definitions).
void CompiledIdl::find_recursion() {
  std::vector<Definition*> defs;
  for (Definition& d : definitions_) defs.push_back(&d);
  std::vector<std::pair<const Definition*, std::size_t>> index_of;
  for (std::size_t i = 0; i < defs.size(); ++i) index_of.emplace_back(defs[i], i);
  std::ranges::sort(index_of);
  auto id = [&](const Definition* d) {
    return std::ranges::lower_bound(index_of, std::make_pair(d, std::size_t{0}))->second;
  };
  std::vector<std::vector<std::size_t>> edges(defs.size());
  for (std::size_t i = 0; i < defs.size(); ++i) {
    std::vector<const Definition*> refs;
    referenced(defs[i]->fields, refs);
    for (const Variant& v : defs[i]->variants) referenced(v.fields, refs);
    referenced(defs[i]->alias, refs);
    for (const Definition* r : refs) edges[i].push_back(id(r));
  }
  constexpr std::size_t kUnseen = SIZE_MAX;
  std::vector<std::size_t> order(defs.size(), kUnseen), low(defs.size(), 0);
  std::vector<bool> on_stack(defs.size(), false);
  std::vector<std::size_t> stack;
  std::vector<std::pair<std::size_t, std::size_t>> calls;  // (node, next edge)
  std::size_t counter = 0;
  for (std::size_t root = 0; root < defs.size(); ++root) {
    if (order[root] != kUnseen) continue;
    calls.emplace_back(root, 0);
    while (!calls.empty()) {
      auto& [v, next] = calls.back();
      if (next == 0 && order[v] == kUnseen) {
        order[v] = low[v] = counter++;
        stack.push_back(v);
        on_stack[v] = true;
      }
      if (next < edges[v].size()) {
        const std::size_t w = edges[v][next++];
        if (order[w] == kUnseen) {
          calls.emplace_back(w, 0);
        } else if (on_stack[w]) {
          low[v] = std::min(low[v], order[w]);
        }
        continue;
      }
      const std::size_t done = v;
      calls.pop_back();
      if (!calls.empty()) low[calls.back().first] = std::min(low[calls.back().first], low[done]);
      if (low[done] != order[done]) continue;
      // `done` heads a component: pop it; a component of several, or one
      // that refers to itself, is recursive.
      auto first = stack.end();
      do --first; while (*first != done);  // it is on the stack, near the top
      const bool several = stack.end() - first > 1;
      const bool self = std::ranges::find(edges[done], done) != edges[done].end();
      for (auto it = first; it != stack.end(); ++it) {
        on_stack[*it] = false;
        if (several || self) defs[*it]->recursive = true;
      }
      stack.erase(first, stack.end());
    }
  }
}

Result<std::unique_ptr<const CompiledIdl>> CompiledIdl::build(const idl::Idl& idl, const AccountOptions& accounts) {
  std::unique_ptr<CompiledIdl> t(new CompiledIdl());
  t->add_scalar_nodes();

  // The type table: one entry per name, the last definition of a name winning.
  std::vector<std::pair<std::string_view, std::size_t>> names;
  names.reserve(idl.types.size());
  for (std::size_t i = 0; i < idl.types.size(); ++i) names.emplace_back(idl.types[i].name, i);
  std::ranges::stable_sort(names, {}, &std::pair<std::string_view, std::size_t>::first);
  std::vector<std::size_t> winners;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i + 1 < names.size() && names[i + 1].first == names[i].first) continue;
    Definition& d = t->definitions_.emplace_back();
    d.name = names[i].first;
    t->by_name_.emplace_back(d.name, &d);
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
        for (const auto& v : body.variants) d.variants.push_back(Variant{0, v.name, t->field_list(v.fields)});
        break;
      case Definition::Kind::Type:
        d.alias = t->node(body.alias);
        break;
    }
  }
  t->find_recursion();
  t->number_definitions();

  // The event table, in declaration order.
  for (const auto& e : idl.events) {
    auto it = std::ranges::lower_bound(t->by_name_, e.name, {}, &std::pair<std::string, Definition*>::first);
    if (it == t->by_name_.end() || it->first != e.name) {
      return fail(std::format("event '{}' has no matching type definition in idl.types", e.name));
    }
    if (it->second->kind != Definition::Kind::Struct) {
      return fail(std::format("event '{}' type definition is not a struct", e.name));
    }
    t->events_.push_back(EventLayout{e.discriminator, e.name, it->second, &it->second->fields});
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
  t->build_instructions(idl);
  if (auto built = t->build_accounts(idl, accounts); !built) return fail(std::move(built.error()));
  t->by_name_ = {};  // names are resolved: decoding never looks one up
  return std::unique_ptr<const CompiledIdl>(std::move(t));
}

const EventLayout* CompiledIdl::match(std::uint64_t disc) const {
  auto it = std::ranges::lower_bound(by_disc_, disc, {}, &std::pair<std::uint64_t, std::uint32_t>::first);
  if (it == by_disc_.end() || it->first != disc) return nullptr;
  return &events_[it->second];
}

// ---- Instruction calls ----

namespace {

void flatten(const std::vector<idl::IdlInstructionAccountItem>& items, const std::string& prefix,
             std::vector<InstructionAccount>& out) {
  for (const auto& item : items) {
    if (item.kind == idl::IdlInstructionAccountItem::Kind::Composite) {
      flatten(item.composite.accounts, prefix + item.composite.name + ".", out);
    } else {
      out.push_back({prefix + item.single.name, item.single.optional});
    }
  }
}

std::string_view as_text(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

void CompiledIdl::build_instructions(const idl::Idl& idl) {
  instructions_.reserve(idl.instructions.size());
  for (const auto& ix : idl.instructions) {
    InstructionLayout& layout = instructions_.emplace_back();
    layout.discriminator = ix.discriminator;
    layout.args_offset = ix.discriminator.size();
    layout.name = ix.name;
    std::optional<idl::IdlDefinedFields> args{std::in_place};
    args->kind = idl::IdlDefinedFields::Kind::Named;
    args->named = ix.args;
    layout.args = field_list(args);
    flatten(ix.accounts, "", layout.accounts);
  }
  // Numbered once the vector is final: the ids point into it.
  for (InstructionLayout& layout : instructions_) number(layout.args);

  for (std::uint32_t i = 0; i < instructions_.size(); ++i) {
    const auto& disc = instructions_[i].discriminator;
    if (disc.empty()) continue;
    auto table = std::ranges::find(by_instruction_disc_, disc.size(), &DiscriminatorsOfLength::length);
    if (table == by_instruction_disc_.end()) {
      by_instruction_disc_.push_back({disc.size(), {}});
      table = by_instruction_disc_.end() - 1;
    }
    table->sorted.emplace_back(as_text(disc), i);
  }
  for (auto& table : by_instruction_disc_) {
    using Entry = std::pair<std::string_view, std::uint32_t>;
    std::ranges::stable_sort(table.sorted, {}, &Entry::first);
    auto dup = std::ranges::unique(table.sorted, {}, &Entry::first);
    table.sorted.erase(dup.begin(), dup.end());
  }
  std::ranges::sort(by_instruction_disc_, std::ranges::greater{}, &DiscriminatorsOfLength::length);

  errors_ = idl.errors;
  std::ranges::stable_sort(errors_, {}, &idl::IdlErrorCode::code);
  auto dup = std::ranges::unique(errors_, {}, &idl::IdlErrorCode::code);
  errors_.erase(dup.begin(), dup.end());
}

const InstructionLayout* CompiledIdl::match_instruction(std::span<const std::uint8_t> data) const {
  if (ordered_) return first_passing(instructions(), data, &InstructionLayout::args_offset);
  for (const auto& table : by_instruction_disc_) {
    if (table.length > data.size()) continue;
    const std::string_view prefix(reinterpret_cast<const char*>(data.data()), table.length);
    using Entry = std::pair<std::string_view, std::uint32_t>;
    auto it = std::ranges::lower_bound(table.sorted, prefix, {}, &Entry::first);
    if (it != table.sorted.end() && it->first == prefix) return &instructions_[it->second];
  }
  return nullptr;
}

const idl::IdlErrorCode* CompiledIdl::error(std::uint32_t code) const {
  auto it = std::ranges::lower_bound(errors_, code, {}, &idl::IdlErrorCode::code);
  return it != errors_.end() && it->code == code ? &*it : nullptr;
}

// ---- end of instruction calls ----

}  // namespace brisquel
