// A program of a Codama document compiled into the same tables as an Anchor
// IDL: its type nodes become TypeNodes (with a Layout where the bytes are not
// Borsh's), its inline structs, tuples and enums anonymous definitions, its
// defined types the type table; its instructions and accounts are matched by
// their discriminators, the first declared that passes.
#include <algorithm>
#include <format>
#include <map>

#include "core/compiled_idl.hpp"
#include "idl/codama/model.hpp"

namespace brisquel {

namespace codama = idl::codama;
using Kind = idl::IdlType::Kind;

class CodamaCompiler {
 public:
  CodamaCompiler(CompiledIdl& t, const codama::Document& doc, std::size_t program)
      : t_(t), doc_(doc), program_(program) {}

  Result<void> run() {
    t_.anchor_errors_ = false;
    t_.ordered_ = true;
    const codama::Program& p = doc_.programs[program_];
    std::vector<std::vector<const TypeNode*>> arguments;
    for (const codama::Instruction& ix : p.instructions) {
      auto& nodes = arguments.emplace_back();
      for (const codama::Argument& a : ix.arguments) nodes.push_back(node(a.type));
    }
    for (const codama::Account& a : p.accounts) account(a);
    // Defined types reached through links, in the order they were met; a
    // work list, so that a long chain of links costs no stack.
    for (std::size_t i = 0; i < pending_.size(); ++i) fill(*pending_[i].first, *pending_[i].second);
    // Sizes are known once every definition is filled.
    for (auto [n, what] : sized_) n->len = required_size(*n->inner, what);
    for (TypeNode* n : zeroable_) {
      if (n->constant.empty()) n->constant.assign(std::min<std::uint64_t>(n->len, kMaxConstant), 0);
      if (n->constant.size() != n->len && error_.empty()) {
        error_ = std::format("a zeroable option's zero value takes {} bytes, its value {}", n->constant.size(), n->len);
      }
    }
    for (std::size_t i = 0; i < p.instructions.size(); ++i) instruction(p.instructions[i], arguments[i]);
    if (!error_.empty()) return fail(error_);
    t_.find_recursion();
    t_.number_definitions();
    for (InstructionLayout& layout : t_.instructions_) t_.number(layout.args);
    for (const codama::Error& e : p.errors) {
      t_.errors_.push_back({e.code, e.name, e.message.empty() ? std::nullopt : std::optional(e.message)});
    }
    std::ranges::stable_sort(t_.errors_, {}, &idl::IdlErrorCode::code);
    auto dup = std::ranges::unique(t_.errors_, {}, &idl::IdlErrorCode::code);
    t_.errors_.erase(dup.begin(), dup.end());
    return {};
  }

 private:
  // ---- instructions and accounts ----

  static std::vector<DataCheck> checks(const std::vector<codama::Discriminator>& discriminators) {
    std::vector<DataCheck> out;
    for (const codama::Discriminator& d : discriminators) {
      DataCheck& c = out.emplace_back();
      if (d.kind == codama::Discriminator::Kind::Size) {
        c.size = d.size;
      } else {
        c.offset = d.offset;
        c.bytes = d.bytes;
      }
    }
    return out;
  }

  void instruction(const codama::Instruction& ix, const std::vector<const TypeNode*>& nodes) {
    InstructionLayout& layout = t_.instructions_.emplace_back();
    layout.name = ix.name;
    layout.checks = checks(ix.discriminators);
    // Arguments the caller never gives (the discriminators) are in the data
    // but no columns: those that lead, of fixed width, are skipped as an
    // Anchor discriminator is; any other stays a column.
    std::size_t first = 0;
    for (; first < ix.arguments.size() && ix.arguments[first].omitted; ++first) {
      const auto width = fixed_size(*nodes[first], 0);
      if (!width) break;
      layout.args_offset += *width;
    }
    FieldList args;
    for (std::size_t i = first; i < ix.arguments.size(); ++i) {
      args.names.push_back(ix.arguments[i].name);
      args.types.push_back(nodes[i]);
    }
    mark_repeats(args);
    layout.args = std::move(args);
    for (const codama::InstructionAccount& a : ix.accounts) {
      layout.accounts.push_back({a.name, a.optional && ix.program_id_for_absent});
    }
  }

  void account(const codama::Account& a) {
    AccountLayout& layout = t_.accounts_.emplace_back();
    layout.name = a.name;
    layout.checks = checks(a.discriminators);
    layout.body_offset = 0;  // discriminators are fields of the data
    Definition& d = t_.definitions_.emplace_back();
    d.name = a.name;
    d.kind = Definition::Kind::Struct;
    d.fields = fields(a.data.fields);
    layout.definition = &d;
    layout.fields = &d.fields;
    layout.borsh_min_size = 0;
  }

  // ---- types ----

  std::optional<FieldList> fields(const std::vector<codama::Field>& list) {
    FieldList out;
    for (const codama::Field& f : list) {
      out.names.push_back(f.name);
      out.types.push_back(node(f.type[0]));
    }
    mark_repeats(out);
    return out;
  }
  std::optional<FieldList> tuple(const std::vector<codama::Type>& items) {
    FieldList out;
    out.named = false;
    for (const codama::Type& item : items) out.types.push_back(node(item));
    return out;
  }
  static void mark_repeats(FieldList& list) {
    std::vector<std::string_view> sorted(list.names.begin(), list.names.end());
    std::ranges::sort(sorted);
    list.repeats_names = std::ranges::adjacent_find(sorted) != sorted.end();
  }

  const TypeNode* scalar(Kind kind) { return &t_.nodes_[static_cast<std::size_t>(kind)]; }

  TypeNode& fresh(Kind kind, Layout layout) {
    TypeNode& n = t_.nodes_.emplace_back();
    n.kind = kind;
    n.layout = layout;
    return n;
  }

  const TypeNode* number(const codama::Number& number, const ColumnNotes& notes = {}) {
    using F = codama::NumberFormat;
    Kind kind = Kind::U8;
    switch (number.format) {
      case F::U8: kind = Kind::U8; break;
      case F::U16: kind = Kind::U16; break;
      case F::U32: kind = Kind::U32; break;
      case F::U64: kind = Kind::U64; break;
      case F::U128: kind = Kind::U128; break;
      case F::I8: kind = Kind::I8; break;
      case F::I16: kind = Kind::I16; break;
      case F::I32: kind = Kind::I32; break;
      case F::I64: kind = Kind::I64; break;
      case F::I128: kind = Kind::I128; break;
      case F::F32: kind = Kind::F32; break;
      case F::F64: kind = Kind::F64; break;
      case F::ShortU16: kind = Kind::U16; break;
    }
    const bool big = number.big_endian && scalar_width(kind) > 1;
    if (number.format == F::ShortU16 || big) {
      TypeNode& n = fresh(kind, number.format == F::ShortU16 ? Layout::ShortU16 : Layout::BigEndian);
      n.notes = notes;
      return &n;
    }
    if (notes.empty()) return scalar(kind);
    TypeNode& n = t_.nodes_.emplace_back(*scalar(kind));  // the same scalar, with its notes
    n.notes = notes;
    return &n;
  }

  static bool plain_u32(const codama::Number& n) { return n.format == codama::NumberFormat::U32 && !n.big_endian; }
  static bool plain_u8(const codama::Number& n) { return n.format == codama::NumberFormat::U8; }

  Definition& anonymous(Definition::Kind kind) {
    Definition& d = t_.definitions_.emplace_back();
    d.kind = kind;
    return d;
  }
  const TypeNode* defined(const Definition& d) {
    TypeNode& n = fresh(Kind::Defined, Layout::Borsh);
    n.definition = &d;
    n.name = d.name;
    return &n;
  }

  const TypeNode* node(const codama::Type& type) {
    using K = codama::Type::Kind;
    switch (type.kind) {
      case K::Number: return number(type.number, type.notes);
      case K::Boolean: {
        if (plain_u8(type.number)) return scalar(Kind::Bool);
        TypeNode& n = fresh(Kind::Bool, Layout::SizedBool);
        n.prefix = number(type.number);
        return &n;
      }
      case K::PublicKey: return scalar(Kind::Pubkey);
      case K::String:
      case K::Bytes: {
        TypeNode& n = fresh(type.kind == K::String ? Kind::String : Kind::Bytes, Layout::Remainder);
        if (type.encoding == "base16") n.text = TextEncoding::Base16;
        if (type.encoding == "base58") n.text = TextEncoding::Base58;
        if (type.encoding == "base64") n.text = TextEncoding::Base64;
        return &n;
      }
      case K::SizePrefix: {
        // Bytes behind a u32 length are Borsh's own bytes.
        if (type.items[0].kind == K::Bytes && plain_u32(type.number)) return scalar(Kind::Bytes);
        TypeNode& n = fresh(Kind::Generic, Layout::SizePrefix);
        n.prefix = number(type.number);
        n.inner = node(type.items[0]);
        return &n;
      }
      case K::FixedSize: {
        TypeNode& n = fresh(Kind::Generic, Layout::FixedSize);
        n.len = type.size;
        n.inner = node(type.items[0]);
        return &n;
      }
      case K::Sentinel:
      case K::HiddenPrefix:
      case K::HiddenSuffix: {
        if (type.kind != K::Sentinel && type.constant->empty()) return node(type.items[0]);
        TypeNode& n = fresh(Kind::Generic, type.kind == K::Sentinel      ? Layout::Sentinel
                                           : type.kind == K::HiddenPrefix ? Layout::HiddenPrefix
                                                                          : Layout::HiddenSuffix);
        n.constant = *type.constant;
        n.inner = node(type.items[0]);
        return &n;
      }
      case K::PreOffset:
      case K::PostOffset: {
        TypeNode& n = fresh(Kind::Generic, type.kind == K::PreOffset ? Layout::PreOffset : Layout::PostOffset);
        n.offset = type.offset;
        n.strategy = static_cast<OffsetStrategy>(type.strategy);
        n.inner = node(type.items[0]);
        return &n;
      }
      case K::Array:
      case K::Map: {
        const TypeNode* element = nullptr;
        if (type.kind == K::Map) {
          Definition& entry = anonymous(Definition::Kind::Struct);
          FieldList pair;
          pair.names = {"key", "value"};
          pair.types = {node(type.items[0]), node(type.items[1])};
          entry.fields = std::move(pair);
          element = defined(entry);
        } else {
          element = node(type.items[0]);
        }
        switch (type.count) {
          case codama::Type::Count::Fixed: {
            TypeNode& n = fresh(Kind::Array, Layout::Borsh);
            n.len = type.size;
            n.inner = element;
            return &n;
          }
          case codama::Type::Count::Prefixed: {
            const bool borsh = plain_u32(type.number);
            TypeNode& n = fresh(Kind::Vec, borsh ? Layout::Borsh : Layout::PrefixedCount);
            if (!borsh) n.prefix = number(type.number);
            n.inner = element;
            return &n;
          }
          case codama::Type::Count::Remainder: {
            TypeNode& n = fresh(Kind::Vec, Layout::RemainderCount);
            n.inner = element;
            return &n;
          }
        }
        return element;
      }
      case K::Tuple: {
        Definition& d = anonymous(Definition::Kind::Struct);
        d.fields = tuple(type.items);
        return defined(d);
      }
      case K::Struct: {
        Definition& d = anonymous(Definition::Kind::Struct);
        d.fields = fields(type.fields);
        return defined(d);
      }
      case K::Enum: {
        Definition& d = anonymous(Definition::Kind::Enum);
        enumeration(d, type);
        return defined(d);
      }
      case K::Option: {
        if (plain_u8(type.number) && !type.fixed) {
          TypeNode& n = fresh(Kind::Option, Layout::Borsh);
          n.inner = node(type.items[0]);
          return &n;
        }
        TypeNode& n = fresh(Kind::Option, Layout::PrefixedOption);
        n.prefix = number(type.number);
        n.fixed = type.fixed;
        n.inner = node(type.items[0]);
        if (type.fixed) sized_.emplace_back(&n, "a fixed option");
        return &n;
      }
      case K::ZeroableOption: {
        TypeNode& n = fresh(Kind::Option, Layout::ZeroableOption);
        n.inner = node(type.items[0]);
        sized_.emplace_back(&n, "a zeroable option");
        zeroable_.push_back(&n);
        if (type.constant) {
          n.constant = *type.constant;
          if (n.constant.empty() && error_.empty()) error_ = "an empty zero value";
        }
        return &n;
      }
      case K::RemainderOption: {
        TypeNode& n = fresh(Kind::Option, Layout::RemainderOption);
        n.inner = node(type.items[0]);
        return &n;
      }
      case K::Link: return link(type);
    }
    return scalar(Kind::U8);  // no other kind exists
  }

  void enumeration(Definition& d, const codama::Type& type) {
    bool positional = plain_u8(type.number);
    for (std::size_t i = 0; i < type.variants.size(); ++i) {
      const codama::Variant& v = type.variants[i];
      Variant& variant = d.variants.emplace_back(Variant{0, v.name, std::nullopt});
      if (v.kind != codama::Variant::Kind::Empty) {
        // The struct or tuple inside any layouts around it.
        const codama::Type* core = &v.data[0];
        while (core->kind != codama::Type::Kind::Struct && core->kind != codama::Type::Kind::Tuple) core = &core->items[0];
        if (core == &v.data[0]) {
          variant.fields = core->kind == codama::Type::Kind::Struct ? fields(core->fields) : tuple(core->items);
        } else {
          variant.data = node(v.data[0]);
          const TypeNode* inner = variant.data;
          while (inner->kind != Kind::Defined) inner = inner->inner;
          variant.fields = inner->definition->fields;
        }
      }
      d.tags.push_back(v.discriminator.value_or(i));
      if (d.tags.back() != i) positional = false;
    }
    if (positional) {
      d.tags.clear();
      return;
    }
    d.tag_bytes = 0;  // read through `tag`
    d.tag = number(type.number);
  }

  // A value of fixed size, or the error that it is not.
  std::uint64_t required_size(const TypeNode& inner, std::string_view what) {
    const auto size = fixed_size(inner, 0);
    if (size) return *size;
    if (error_.empty()) error_ = std::format("{} of a value without a fixed size", what);
    return 0;
  }

  // The bytes every value of `t` takes, when that is fixed. Definitions
  // still pending (met through links, not yet filled) have none.
  static std::optional<std::uint64_t> fixed_size(const TypeNode& t, int depth) {
    if (depth > 64) return std::nullopt;
    auto sum = [](std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) -> std::optional<std::uint64_t> {
      if (!a || !b || *a > UINT32_MAX || *b > UINT32_MAX) return std::nullopt;
      return *a + *b;
    };
    switch (t.layout) {
      case Layout::Borsh: break;
      case Layout::BigEndian: return scalar_width(t.kind);
      case Layout::SizedBool: return fixed_size(*t.prefix, depth + 1);
      case Layout::FixedSize: return t.len;
      case Layout::PrefixedOption:
        if (!t.fixed) return std::nullopt;
        return sum(fixed_size(*t.prefix, depth + 1), t.len);
      case Layout::ZeroableOption: return t.len;
      case Layout::HiddenPrefix:
      case Layout::HiddenSuffix: return sum(t.constant.size(), fixed_size(*t.inner, depth + 1));
      case Layout::PreOffset:
      case Layout::PostOffset:
        // Padding adds its bytes; other moves leave the size as it is.
        if (t.strategy == OffsetStrategy::Padded && t.offset >= 0) {
          return sum(fixed_size(*t.inner, depth + 1), static_cast<std::uint64_t>(t.offset));
        }
        return t.strategy == OffsetStrategy::Relative ? fixed_size(*t.inner, depth + 1) : std::nullopt;
      default: return std::nullopt;
    }
    if (t.scalar) return t.width != 0 ? std::optional(t.width) : std::nullopt;
    if (t.kind == Kind::Array) {
      const auto inner = fixed_size(*t.inner, depth + 1);
      if (!inner || (t.len != 0 && *inner > UINT32_MAX / t.len)) return std::nullopt;
      return *inner * t.len;
    }
    if (t.kind != Kind::Defined || t.definition == nullptr) return std::nullopt;
    const Definition& d = *t.definition;
    auto list = [&](const std::optional<FieldList>& f) -> std::optional<std::uint64_t> {
      std::optional<std::uint64_t> total = 0;
      if (f) for (const TypeNode* field : f->types) total = sum(total, fixed_size(*field, depth + 1));
      return total;
    };
    switch (d.kind) {
      case Definition::Kind::Struct: return list(d.fields);
      case Definition::Kind::Type: return d.alias != nullptr ? fixed_size(*d.alias, depth + 1) : std::nullopt;
      case Definition::Kind::Enum: {
        const auto tag = d.tag != nullptr ? fixed_size(*d.tag, depth + 1) : std::optional<std::uint64_t>(1);
        std::optional<std::uint64_t> size;
        for (const Variant& v : d.variants) {
          const auto data = list(v.fields);
          if (!data || (size && *size != *data)) return std::nullopt;
          size = data;
        }
        return sum(tag, size.value_or(0));
      }
    }
    return std::nullopt;
  }

  const TypeNode* link(const codama::Type& type) {
    std::size_t program = program_;
    if (!type.program.empty()) {
      const auto found = std::ranges::find(doc_.programs, type.program, &codama::Program::name);
      if (found == doc_.programs.end()) return unknown(type);
      program = static_cast<std::size_t>(found - doc_.programs.begin());
    }
    const auto key = std::pair(program, type.name);
    auto it = linked_.find(key);
    if (it == linked_.end()) {
      const auto& types = doc_.programs[program].types;
      const auto source = std::ranges::find(types, type.name, &codama::DefinedType::name);
      if (source == types.end()) return unknown(type);
      Definition& d = t_.definitions_.emplace_back();
      d.name = type.name;
      it = linked_.emplace(key, &d).first;
      pending_.emplace_back(&d, &source->type);
    }
    TypeNode& n = fresh(Kind::Defined, Layout::Borsh);
    n.name = type.name;
    n.definition = it->second;
    return &n;
  }
  const TypeNode* unknown(const codama::Type& type) {
    if (error_.empty()) {
      error_ = type.program.empty() ? std::format("definedTypeLinkNode `{}` names no defined type", type.name)
                                    : std::format("definedTypeLinkNode `{}` names no defined type of program `{}`",
                                                  type.name, type.program);
    }
    return scalar(Kind::U8);
  }

  void fill(Definition& d, const codama::Type& type) {
    using K = codama::Type::Kind;
    if (type.kind == K::Struct) {
      d.kind = Definition::Kind::Struct;
      d.fields = fields(type.fields);
    } else if (type.kind == K::Enum) {
      d.kind = Definition::Kind::Enum;
      enumeration(d, type);
    } else {
      d.kind = Definition::Kind::Type;
      d.alias = node(type);
    }
  }

  static constexpr std::uint64_t kMaxConstant = 1u << 20;

  CompiledIdl& t_;
  const codama::Document& doc_;
  std::size_t program_;
  std::map<std::pair<std::size_t, std::string>, Definition*> linked_;
  std::vector<std::pair<Definition*, const codama::Type*>> pending_;
  std::vector<std::pair<TypeNode*, std::string_view>> sized_;  // options whose value's size they need
  std::vector<TypeNode*> zeroable_;
  std::string error_;
};

Result<std::unique_ptr<const CompiledIdl>> CompiledIdl::build(const idl::codama::Document& document,
                                                              std::size_t program) {
  std::unique_ptr<CompiledIdl> t(new CompiledIdl());
  t->add_scalar_nodes();
  if (auto built = CodamaCompiler(*t, document, program).run(); !built) return fail(std::move(built.error()));
  return std::unique_ptr<const CompiledIdl>(std::move(t));
}

}  // namespace brisquel
