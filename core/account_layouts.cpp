// The account half of the compiled IDL: account layouts, their lookup by
// discriminator, and the C-layout forms of the definitions a zero-copy
// account reads.
#include <algorithm>
#include <cstring>
#include <format>
#include <unordered_map>

#include "core/borsh_walk.hpp"
#include "core/c_layout.hpp"
#include "core/compiled_idl.hpp"
#include "core/fault.hpp"

namespace brisquel {

using Kind = idl::IdlType::Kind;

// Builds the C-layout form of types: the same values, read at their C
// offsets. A form that reads the same bytes as the Borsh one is the Borsh one
// itself, so accounts without implicit padding share every node and field
// list with events.
class CLayoutForms {
 public:
  // A type's form, or why it has none: `culprit` names the type (empty: the
  // layout grew past the bound, which the enclosing definition reports).
  struct Laid {
    const TypeNode* node = nullptr;  // nullptr: no fixed layout
    clayout::Shape shape;
    std::string_view culprit;
  };
  struct DefinitionForm {
    const Definition* form = nullptr;  // nullptr: no fixed layout
    clayout::Shape shape;
    std::string_view culprit;
  };

  CLayoutForms(CompiledIdl& tables, const std::unordered_map<std::string_view, const idl::IdlTypeDef*>& sources)
      : t_(tables), sources_(sources) {}

  Laid type(const TypeNode& type, int depth) {
    if (type.scalar) {
      const auto shape = clayout::scalar(type.kind);
      if (!shape) return failed(type.kind == Kind::String ? "string" : "bytes");
      return {&type, *shape, {}};
    }
    if (depth >= kMaxTypeDepth) return failed({});
    switch (type.kind) {
      case Kind::Option: return failed("option");
      case Kind::Vec: return failed("vec");
      case Kind::Array: {
        if (type.generic_len) return failed("array");
        const Laid inner = this->type(*type.inner, depth + 1);
        if (inner.node == nullptr) return inner;
        const auto shape = clayout::array(inner.shape, type.len);
        if (!shape) return failed({});
        if (inner.node == type.inner) return {&type, *shape, {}};
        TypeNode& n = t_.nodes_.emplace_back(type);
        n.inner = inner.node;
        return {&n, *shape, {}};
      }
      case Kind::Defined: {
        if (type.has_generics || type.definition == nullptr) return failed(type.name);
        const DefinitionForm d = definition(*type.definition, depth + 1);
        if (d.form == nullptr) return {nullptr, {}, d.culprit};
        if (d.form == type.definition) return {&type, d.shape, {}};
        TypeNode& n = t_.nodes_.emplace_back(type);
        n.definition = d.form;
        return {&n, d.shape, {}};
      }
      default:
        return failed(type.name);  // a generic parameter
    }
  }

  DefinitionForm definition(const Definition& d, int depth) {
    Memo& memo = memo_[&d];
    if (memo.state == Memo::kDone) return memo.form;
    if (memo.state == Memo::kBusy) return {nullptr, {}, d.name};  // it contains itself: no size
    memo.state = Memo::kBusy;
    DefinitionForm form = make(d, depth);
    if (form.form == nullptr && form.culprit.empty()) form.culprit = d.name;
    Memo& done = memo_[&d];  // the map may have grown
    done.state = Memo::kDone;
    done.form = form;
    return form;
  }

 private:
  struct Memo {
    enum State : std::uint8_t { kUnseen, kBusy, kDone } state = kUnseen;
    DefinitionForm form;
  };

  static Laid failed(std::string_view culprit) { return {nullptr, {}, culprit}; }

  DefinitionForm make(const Definition& d, int depth) {
    const auto source = sources_.find(d.name);
    const auto repr = clayout::repr_of(source != sources_.end() ? source->second->repr : std::nullopt);
    if (!repr) return {nullptr, {}, d.name};
    switch (d.kind) {
      case Definition::Kind::Struct: return structure(d, *repr, depth);
      case Definition::Kind::Enum: {
        const bool c_repr = source != sources_.end() && source->second->repr &&
                            source->second->repr->kind == idl::IdlRepr::Kind::C;
        return enumeration(d, *repr, c_repr, depth);
      }
      case Definition::Kind::Type: {
        const Laid alias = type(*d.alias, depth);
        if (alias.node == nullptr) return {nullptr, {}, alias.culprit};
        if (alias.node == d.alias) return {&d, alias.shape, {}};
        Definition copy = d;
        copy.alias = alias.node;
        return {add(std::move(copy)), alias.shape, {}};
      }
    }
    return {nullptr, {}, d.name};
  }

  // A field list's form; `laid` gets its layout. nullopt form: no fixed layout.
  struct ListForm {
    bool ok = false;
    bool same = true;  // reads as the Borsh list does
    std::optional<FieldList> fields;
    clayout::Struct laid;
    std::vector<clayout::Shape> shapes;
    std::string_view culprit;
  };

  ListForm list(const std::optional<FieldList>& fields, const clayout::Repr& repr, int depth) {
    ListForm out;
    std::vector<const TypeNode*> nodes;
    if (fields) {
      for (const TypeNode* f : fields->types) {
        const Laid laid = type(*f, depth + 1);
        if (laid.node == nullptr) {
          out.culprit = laid.culprit;
          return out;
        }
        nodes.push_back(laid.node);
        out.shapes.push_back(laid.shape);
        out.same = out.same && laid.node == f;
      }
    }
    const auto laid = clayout::fields(out.shapes, repr);
    if (!laid) return out;
    out.ok = true;
    out.laid = *laid;
    if (!fields) return out;
    std::vector<std::uint32_t> gaps = clayout::gaps(*laid, out.shapes);
    const bool padded = std::ranges::any_of(gaps, [](std::uint32_t g) { return g != 0; });
    out.same = out.same && !padded;
    out.fields = *fields;
    out.fields->types = std::move(nodes);
    if (padded) out.fields->gaps = std::move(gaps);
    return out;
  }

  DefinitionForm structure(const Definition& d, const clayout::Repr& repr, int depth) {
    ListForm form = list(d.fields, repr, depth);
    if (!form.ok) return {nullptr, {}, form.culprit};
    if (form.same) return {&d, form.laid.shape, {}};
    Definition copy = d;
    copy.fields = std::move(form.fields);
    return {add(std::move(copy)), form.laid.shape, {}};
  }

  DefinitionForm enumeration(const Definition& d, const clayout::Repr& repr, bool c_repr, int depth) {
    if (d.variants.empty() || repr.transparent) return {nullptr, {}, d.name};
    const bool units_only = std::ranges::none_of(d.variants, [](const Variant& v) { return v.fields.has_value(); });
    const clayout::Shape tag = c_repr ? clayout::kCEnumTag : clayout::rust_enum_tag(d.variants.size());
    Definition copy = d;
    copy.tag_bytes = static_cast<std::uint8_t>(tag.size);
    clayout::Shape shape;
    if (units_only) {
      const auto laid = clayout::fields(std::span(&tag, 1), clayout::Repr{false, repr.align, false});
      if (!laid) return {nullptr, {}, d.name};
      shape = laid->shape;
      if (tag.size == 1 && shape.size == 1) return {&d, shape, {}};
    } else {
      // Only repr(C) gives an enum with data a layout: its index as a C int,
      // then a union of one C struct per variant.
      if (!c_repr) return {nullptr, {}, d.name};
      std::vector<ListForm> forms;
      clayout::Shape united;
      for (const Variant& v : d.variants) {
        forms.push_back(list(v.fields, clayout::Repr{}, depth));
        if (!forms.back().ok) return {nullptr, {}, forms.back().culprit.empty() ? d.name : forms.back().culprit};
        united.size = std::max(united.size, forms.back().laid.shape.size);
        united.align = std::max(united.align, forms.back().laid.shape.align);
      }
      const clayout::Shape parts[] = {tag, united};
      const auto laid = clayout::fields(parts, clayout::Repr{false, repr.align, false});
      if (!laid) return {nullptr, {}, d.name};
      shape = laid->shape;
      const std::uint64_t union_at = laid->offsets[1];
      for (std::size_t i = 0; i < forms.size(); ++i) {
        std::optional<FieldList>& fields = copy.variants[i].fields;
        if (!fields) continue;
        fields = std::move(forms[i].fields);
        // Relative to the end of the index; the enum passes over the rest of the union.
        std::vector<std::uint32_t> gaps = clayout::gaps(forms[i].laid, forms[i].shapes);
        gaps.front() += static_cast<std::uint32_t>(union_at - tag.size);
        gaps.back() = 0;
        fields->gaps = std::move(gaps);
      }
    }
    copy.c_size = static_cast<std::uint32_t>(shape.size);
    return {add(std::move(copy)), shape, {}};
  }

  // Stores a new form and numbers its field lists and variants after the others.
  const Definition* add(Definition&& d) {
    Definition& stored = t_.definitions_.emplace_back(std::move(d));
    stored.recursive = false;  // a C layout has a fixed size: nothing inside it is itself
    auto number = [&](std::optional<FieldList>& fields) {
      if (!fields) return;
      fields->id = static_cast<std::uint32_t>(t_.field_lists_.size());
      t_.field_lists_.push_back(&*fields);
    };
    number(stored.fields);
    for (Variant& v : stored.variants) {
      v.id = static_cast<std::uint32_t>(t_.variants_.size());
      t_.variants_.push_back(&v);
      number(v.fields);
    }
    return &stored;
  }

  CompiledIdl& t_;
  const std::unordered_map<std::string_view, const idl::IdlTypeDef*>& sources_;
  std::unordered_map<const Definition*, Memo> memo_;
};

namespace {

constexpr std::uint64_t kUnbounded = UINT64_MAX;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kUnbounded - b ? kUnbounded : a + b; }
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return a != 0 && b > kUnbounded / a ? kUnbounded : a * b;
}

// The fewest bytes a Borsh value of a type takes. A definition met again
// inside itself counts as unbounded on that path (the smallest value never
// repeats one), and what was computed with such a guess is not remembered.
// Past a budget of steps the answer is 0, still a true lower bound.
class BorshMinimum {
 public:
  std::uint64_t of(const FieldList& fields) {
    std::uint64_t total = 0;
    for (const TypeNode* f : fields.types) total = saturating_add(total, type(*f, 0));
    return exhausted_ ? 0 : total;
  }

 private:
  std::uint64_t type(const TypeNode& t, int depth) {
    if (++steps_ > kBudget || depth > kMaxTypeDepth) {
      exhausted_ = true;
      return 0;
    }
    if (t.scalar) return t.min_size;
    switch (t.kind) {
      case Kind::Option: return 1;
      case Kind::Vec: return 4;
      case Kind::Array: return t.generic_len ? 0 : saturating_mul(t.len, type(*t.inner, depth + 1));
      case Kind::Defined: return t.definition == nullptr || t.has_generics ? 0 : definition(*t.definition, depth);
      default: return 0;
    }
  }

  std::uint64_t definition(const Definition& d, int depth) {
    auto found = memo_.find(&d);
    if (found != memo_.end()) return found->second;
    if (std::ranges::find(busy_, &d) != busy_.end()) {
      guessed_ = true;
      return kUnbounded;
    }
    busy_.push_back(&d);
    const bool guessed_before = guessed_;
    guessed_ = false;
    std::uint64_t size = 0;
    switch (d.kind) {
      case Definition::Kind::Struct:
        if (d.fields) {
          for (const TypeNode* f : d.fields->types) size = saturating_add(size, type(*f, depth + 1));
        }
        break;
      case Definition::Kind::Enum: {
        std::uint64_t least = kUnbounded;
        for (const Variant& v : d.variants) {
          std::uint64_t s = 0;
          if (v.fields) {
            for (const TypeNode* f : v.fields->types) s = saturating_add(s, type(*f, depth + 1));
          }
          least = std::min(least, s);
        }
        size = saturating_add(1, least);
        break;
      }
      case Definition::Kind::Type: size = type(*d.alias, depth + 1); break;
    }
    busy_.pop_back();
    if (!guessed_) memo_.emplace(&d, size);
    guessed_ = guessed_ || guessed_before;
    return size;
  }

  static constexpr std::uint64_t kBudget = 1u << 20;
  std::unordered_map<const Definition*, std::uint64_t> memo_;
  std::vector<const Definition*> busy_;
  bool guessed_ = false;
  bool exhausted_ = false;
  std::uint64_t steps_ = 0;
};

const std::optional<FieldList> kNoFields;

}  // namespace

Result<void> CompiledIdl::build_accounts(const idl::Idl& idl, const AccountOptions& options) {
  std::unordered_map<std::string_view, const idl::IdlTypeDef*> sources;  // the last of a name wins, as in the table
  for (const idl::IdlTypeDef& def : idl.types) sources[def.name] = &def;
  for (const std::string& name : options.zero_copy) {
    if (!sources.contains(name)) return fail(std::format("zero-copy type '{}' is not defined in idl.types", name));
  }
  auto named_zero_copy = [&](std::string_view name) {
    return std::ranges::find(options.zero_copy, name) != options.zero_copy.end();
  };

  CLayoutForms forms(*this, sources);
  accounts_.reserve(idl.accounts.size());
  for (const idl::IdlAccount& a : idl.accounts) {
    AccountLayout& layout = accounts_.emplace_back();
    layout.discriminator = a.discriminator;
    layout.body_offset = a.discriminator.size();
    layout.name = a.name;
    layout.fields = &kNoFields;
    auto it = std::ranges::lower_bound(by_name_, a.name, {}, &std::pair<std::string, Definition*>::first);
    if (it == by_name_.end() || it->first != a.name || it->second->kind != Definition::Kind::Struct) {
      layout.unusable = Error(Error::Kind::NoAccountType, std::string_view(layout.name));
      continue;
    }
    const Definition& d = *it->second;
    const auto source = sources.find(d.name);
    if (source == sources.end()) throw Fault("a compiled type without its IDL definition: " + d.name);
    const idl::IdlSerialization::Kind serialization = source->second->serialization.kind;
    layout.definition = &d;
    layout.fields = &d.fields;
    layout.zero_copy = serialization == idl::IdlSerialization::Kind::Bytemuck ||
                       serialization == idl::IdlSerialization::Kind::BytemuckUnsafe || named_zero_copy(d.name);
    layout.borsh_min_size = d.fields ? BorshMinimum().of(*d.fields) : 0;
    const CLayoutForms::DefinitionForm form = forms.definition(d, 0);
    if (form.form != nullptr) layout.c_size = form.shape.size;
    if (!layout.zero_copy) continue;
    if (form.form == nullptr) {
      layout.unusable = Error(Error::Kind::NoFixedLayout, form.culprit);
      continue;
    }
    layout.fields = &form.form->fields;
  }

  // Longest discriminator first; a stable sort keeps declaration order among equals.
  for (std::size_t i = 0; i < accounts_.size(); ++i) {
    const auto& disc = accounts_[i].discriminator;
    const std::size_t n = std::min<std::size_t>(disc.size(), 8);
    AccountKey key{0, n == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1, static_cast<std::uint32_t>(i)};
    if (n != 0) std::memcpy(&key.head, disc.data(), n);
    account_keys_.push_back(key);
  }
  std::ranges::stable_sort(account_keys_, std::ranges::greater{},
                           [&](const AccountKey& k) { return accounts_[k.account].discriminator.size(); });
  return {};
}

const AccountLayout* CompiledIdl::match_account(std::span<const std::uint8_t> data) const {
  if (ordered_) return first_passing(accounts(), data, &AccountLayout::body_offset);
  std::uint64_t head = 0;
  if (!data.empty()) std::memcpy(&head, data.data(), std::min<std::size_t>(data.size(), 8));
  for (const AccountKey& key : account_keys_) {
    const AccountLayout& layout = accounts_[key.account];
    const std::size_t n = layout.discriminator.size();
    if (n > data.size() || (head & key.mask) != key.head) continue;
    if (n > 8 && std::memcmp(data.data() + 8, layout.discriminator.data() + 8, n - 8) != 0) continue;
    return &layout;
  }
  return nullptr;
}

}  // namespace brisquel
