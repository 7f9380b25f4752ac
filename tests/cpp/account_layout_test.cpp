// Account layouts against writers of their own: generated types and values,
// written by a plain Borsh encoder or a plain C-layout writer (its own rules
// for the programs' target: 128-bit integers align to 8), read back through
// the compiled IDL and the walk, leaf by leaf.
#include <gtest/gtest.h>

#include <algorithm>
#include <format>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/acct/account_decoding.hpp"
#include "core/compiled_idl.hpp"

namespace brisquel {
namespace {

using idl::IdlType;
using Kind = IdlType::Kind;
using Rng = std::mt19937_64;
using Bytes = std::vector<std::uint8_t>;

std::string hex(const std::uint8_t* b, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += std::format("{:02x}", b[i]);
  return out;
}

// Records every value the walk reads, in order: scalars with their bytes,
// enum variants, missing options and fields.
class LeafSink {
 public:
  using Value = bool;
  struct Slot {};
  using Walk = BorshWalk<LeafSink>;

  std::vector<std::string> leaves;

  static bool failure() { return false; }
  bool scalar(Walk&, Slot, Kind k, const std::uint8_t* b) {
    leaves.push_back(std::format("{}:{}", int(k), hex(b, scalar_width(k))));
    return true;
  }
  bool bulk(Kind) const { return true; }
  bool scalars(Walk& w, Slot s, Kind k, const std::uint8_t* b, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i, b += scalar_width(k)) scalar(w, s, k, b);
    return true;
  }
  bool bytes(Walk&, Slot, std::span<const std::uint8_t> body) {
    leaves.push_back("b:" + hex(body.data(), body.size()));
    return true;
  }
  bool string(Walk&, Slot, std::string_view text, bool) {
    leaves.push_back("b:" + hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    return true;
  }
  bool none(Walk&, Slot) {
    leaves.push_back("none");
    return true;
  }
  Slot some(Slot s) { return s; }
  bool list(Walk& w, Slot, const TypeNode& element, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i) {
      if (!w.decode_element(element, {}, i)) return false;
    }
    return true;
  }
  bool fields(Walk& w, Slot, const FieldList& list, bool may_end) {
    for (std::size_t i = 0; i < list.types.size(); ++i) {
      if (may_end && w.ended_before(list, i)) {
        leaves.push_back("missing");
        continue;
      }
      if (!w.decode_field(list, i, {})) return false;
    }
    return true;
  }
  bool no_fields(Walk&, Slot) { return true; }
  bool variant(Walk& w, Slot, const Definition& e, std::size_t i) {
    leaves.push_back(std::format("v{}", i));
    return w.decode_fields(e.variants[i].fields, {});
  }
};

// A generated value: scalar bytes (also a string's or bytes' content), an
// enum's variant, an absent option, and the parts (fields, elements, an
// option's value, a variant's fields).
struct Value {
  Bytes bytes;
  int variant = -1;
  bool none = false;
  std::vector<Value> parts;
};

std::size_t pick(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }

constexpr Kind kScalars[] = {Kind::Bool, Kind::U8,  Kind::I8,   Kind::U16,  Kind::I16,  Kind::U32,  Kind::I32,
                             Kind::F32,  Kind::U64, Kind::I64,  Kind::F64,  Kind::U128, Kind::I128, Kind::U256,
                             Kind::I256, Kind::Pubkey};

// Widths as the writers know them, apart from the decoder's own table.
std::size_t width(Kind k) {
  switch (k) {
    case Kind::Bool: case Kind::U8: case Kind::I8: return 1;
    case Kind::U16: case Kind::I16: return 2;
    case Kind::U32: case Kind::I32: case Kind::F32: return 4;
    case Kind::U64: case Kind::I64: case Kind::F64: return 8;
    case Kind::U128: case Kind::I128: return 16;
    default: return 32;
  }
}

IdlType scalar_type(Kind k) {
  IdlType t;
  t.kind = k;
  return t;
}

// Types and values for one account. `c_only`: only types a C layout holds.
class Generator {
 public:
  Generator(Rng& rng, bool c_only) : rng_(rng), c_only_(c_only) {}

  idl::Idl idl;

  IdlType type(int depth) {
    const std::size_t choice = pick(rng_, depth >= 3 ? 4 : c_only_ ? 9 : 13);
    if (choice < 4) return scalar_type(kScalars[pick(rng_, std::size(kScalars))]);
    if (choice < 5) {
      IdlType t;
      t.kind = Kind::Array;
      t.inner = type(depth + 1);
      t.len.value = pick(rng_, 4);
      return t;
    }
    if (choice < 8) {
      IdlType t;
      t.kind = Kind::Defined;
      t.name = choice == 5 ? enumeration(depth) : choice == 6 ? structure(depth) : alias(depth);
      return t;
    }
    if (choice == 8) return scalar_type(Kind::U128);
    if (choice == 9) return scalar_type(pick(rng_, 2) ? Kind::String : Kind::Bytes);
    IdlType t;
    t.kind = choice == 10 ? Kind::Option : Kind::Vec;
    t.inner = type(depth + 1);
    return t;
  }

  std::string structure(int depth, std::string name = {}) {
    if (name.empty()) name = std::format("S{}", names_++);
    idl::IdlTypeDef def;
    def.name = name;
    def.serialization.kind = static_cast<idl::IdlSerialization::Kind>(pick(rng_, 3));
    def.type.kind = idl::IdlTypeDefTy::Kind::Struct;
    const std::size_t n = pick(rng_, 5);
    idl::IdlDefinedFields fields;
    fields.kind = pick(rng_, 4) ? idl::IdlDefinedFields::Kind::Named : idl::IdlDefinedFields::Kind::Tuple;
    for (std::size_t i = 0; i < n; ++i) {
      IdlType t = type(depth + 1);
      if (fields.kind == idl::IdlDefinedFields::Kind::Named) fields.named.push_back({std::format("f{}", i), {}, t});
      else fields.tuple.push_back(t);
    }
    if (n > 0 || pick(rng_, 2)) def.type.fields = std::move(fields);
    switch (pick(rng_, 6)) {
      case 0: break;
      case 1: def.repr = idl::IdlRepr{idl::IdlRepr::Kind::C, {}}; break;
      case 2: def.repr = idl::IdlRepr{idl::IdlRepr::Kind::C, {true, std::nullopt}}; break;
      case 3: def.repr = idl::IdlRepr{idl::IdlRepr::Kind::Rust, {false, std::uint64_t{1} << pick(rng_, 6)}}; break;
      case 4: def.repr = idl::IdlRepr{idl::IdlRepr::Kind::Rust, {}}; break;
      case 5:
        if (n == 1) def.repr = idl::IdlRepr{idl::IdlRepr::Kind::Transparent, {}};
        break;
    }
    idl.types.push_back(std::move(def));
    return name;
  }

  std::string enumeration(int depth) {
    idl::IdlTypeDef def;
    def.name = std::format("E{}", names_++);
    def.type.kind = idl::IdlTypeDefTy::Kind::Enum;
    const bool data = pick(rng_, 2) != 0;
    const bool c_repr = pick(rng_, 2) != 0 || (data && c_only_);
    if (c_repr) def.repr = idl::IdlRepr{idl::IdlRepr::Kind::C, {}};
    for (std::size_t i = 0, n = 1 + pick(rng_, 4); i < n; ++i) {
      idl::IdlEnumVariant v;
      v.name = std::format("V{}", i);
      if (data && pick(rng_, 3) != 0) {
        v.fields.emplace();
        v.fields->kind = idl::IdlDefinedFields::Kind::Tuple;
        for (std::size_t f = 0, m = pick(rng_, 3); f < m; ++f) v.fields->tuple.push_back(type(depth + 1));
      }
      def.type.variants.push_back(std::move(v));
    }
    idl.types.push_back(std::move(def));
    return idl.types.back().name;
  }

  std::string alias(int depth) {
    idl::IdlTypeDef def;
    def.name = std::format("A{}", names_++);
    def.type.kind = idl::IdlTypeDefTy::Kind::Type;
    def.type.alias = type(depth + 1);
    idl.types.push_back(std::move(def));
    return idl.types.back().name;
  }

  const idl::IdlTypeDef& definition(const std::string& name) const {
    return *std::ranges::find(idl.types, name, &idl::IdlTypeDef::name);
  }

  Value value(const IdlType& t) {
    Value v;
    switch (t.kind) {
      case Kind::Bool: v.bytes = {static_cast<std::uint8_t>(pick(rng_, 2))}; return v;
      case Kind::String:
      case Kind::Bytes:
        for (std::size_t i = 0, n = pick(rng_, 6); i < n; ++i) v.bytes.push_back(static_cast<std::uint8_t>('a' + pick(rng_, 26)));
        return v;
      case Kind::Option:
        v.none = pick(rng_, 2) == 0;
        if (!v.none) v.parts.push_back(value(*t.inner));
        return v;
      case Kind::Vec:
      case Kind::Array:
        for (std::size_t i = 0, n = t.kind == Kind::Vec ? pick(rng_, 4) : t.len.value; i < n; ++i) {
          v.parts.push_back(value(*t.inner));
        }
        return v;
      case Kind::Defined: return defined(definition(t.name));
      default:
        for (std::size_t i = 0; i < width(t.kind); ++i) v.bytes.push_back(static_cast<std::uint8_t>(rng_()));
        return v;
    }
  }

  Value defined(const idl::IdlTypeDef& d) {
    Value v;
    if (d.type.kind == idl::IdlTypeDefTy::Kind::Type) return value(d.type.alias);
    if (d.type.kind == idl::IdlTypeDefTy::Kind::Enum) {
      v.variant = static_cast<int>(pick(rng_, d.type.variants.size()));
      for (const IdlType& f : fields_of(d.type.variants[static_cast<std::size_t>(v.variant)].fields)) v.parts.push_back(value(f));
      return v;
    }
    for (const IdlType& f : fields_of(d.type.fields)) v.parts.push_back(value(f));
    return v;
  }

  static std::vector<IdlType> fields_of(const std::optional<idl::IdlDefinedFields>& fields) {
    std::vector<IdlType> out;
    if (!fields) return out;
    if (fields->kind == idl::IdlDefinedFields::Kind::Tuple) return fields->tuple;
    for (const auto& f : fields->named) out.push_back(f.type);
    return out;
  }

 private:
  Rng& rng_;
  bool c_only_;
  int names_ = 0;
};

// The leaves the walk must report for `v` of `t`, in order.
void leaves(const Generator& g, const IdlType& t, const Value& v, std::vector<std::string>& out) {
  switch (t.kind) {
    case Kind::String:
    case Kind::Bytes: out.push_back("b:" + hex(v.bytes.data(), v.bytes.size())); return;
    case Kind::Option:
      if (v.none) out.push_back("none");
      else leaves(g, *t.inner, v.parts[0], out);
      return;
    case Kind::Vec:
    case Kind::Array:
      for (const Value& p : v.parts) leaves(g, *t.inner, p, out);
      return;
    case Kind::Defined: {
      const idl::IdlTypeDef& d = g.definition(t.name);
      if (d.type.kind == idl::IdlTypeDefTy::Kind::Type) return leaves(g, d.type.alias, v, out);
      std::vector<IdlType> fields;
      if (d.type.kind == idl::IdlTypeDefTy::Kind::Enum) {
        out.push_back(std::format("v{}", v.variant));
        fields = Generator::fields_of(d.type.variants[static_cast<std::size_t>(v.variant)].fields);
      } else {
        fields = Generator::fields_of(d.type.fields);
      }
      for (std::size_t i = 0; i < fields.size(); ++i) leaves(g, fields[i], v.parts[i], out);
      return;
    }
    default: out.push_back(std::format("{}:{}", int(t.kind), hex(v.bytes.data(), v.bytes.size())));
  }
}

// ---- a plain Borsh encoder ----

void borsh(const Generator& g, const IdlType& t, const Value& v, Bytes& out) {
  auto u32 = [&](std::size_t n) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
  };
  switch (t.kind) {
    case Kind::String:
    case Kind::Bytes:
      u32(v.bytes.size());
      out.insert(out.end(), v.bytes.begin(), v.bytes.end());
      return;
    case Kind::Option:
      out.push_back(v.none ? 0 : 1);
      if (!v.none) borsh(g, *t.inner, v.parts[0], out);
      return;
    case Kind::Vec:
      u32(v.parts.size());
      [[fallthrough]];
    case Kind::Array:
      for (const Value& p : v.parts) borsh(g, *t.inner, p, out);
      return;
    case Kind::Defined: {
      const idl::IdlTypeDef& d = g.definition(t.name);
      if (d.type.kind == idl::IdlTypeDefTy::Kind::Type) return borsh(g, d.type.alias, v, out);
      std::vector<IdlType> fields;
      if (d.type.kind == idl::IdlTypeDefTy::Kind::Enum) {
        out.push_back(static_cast<std::uint8_t>(v.variant));
        fields = Generator::fields_of(d.type.variants[static_cast<std::size_t>(v.variant)].fields);
      } else {
        fields = Generator::fields_of(d.type.fields);
      }
      for (std::size_t i = 0; i < fields.size(); ++i) borsh(g, fields[i], v.parts[i], out);
      return;
    }
    default: out.insert(out.end(), v.bytes.begin(), v.bytes.end());
  }
}

// ---- a plain C-layout writer for the SBF target ----

struct CShape {
  std::size_t size = 0, align = 1;
};

std::size_t round_up(std::size_t n, std::size_t a) { return (n + a - 1) / a * a; }

std::size_t c_align(Kind k) {
  switch (k) {
    case Kind::Bool: case Kind::U8: case Kind::I8: case Kind::Pubkey: return 1;
    case Kind::U16: case Kind::I16: return 2;
    case Kind::U32: case Kind::I32: case Kind::F32: return 4;
    default: return 8;  // 64-bit and wider
  }
}

CShape c_shape(const Generator& g, const IdlType& t);

// A struct's field offsets and shape under its repr.
CShape c_struct(const Generator& g, const std::vector<IdlType>& fields, const std::optional<idl::IdlRepr>& repr,
                std::vector<std::size_t>& offsets) {
  const bool packed = repr && repr->modifier.packed;
  if (repr && repr->kind == idl::IdlRepr::Kind::Transparent) {
    offsets = {0};
    return c_shape(g, fields[0]);
  }
  std::size_t at = 0, align = 1;
  for (const IdlType& f : fields) {
    const CShape s = c_shape(g, f);
    const std::size_t a = packed ? 1 : s.align;
    at = round_up(at, a);
    offsets.push_back(at);
    at += s.size;
    align = std::max(align, a);
  }
  if (repr && repr->modifier.align) align = std::max<std::size_t>(align, *repr->modifier.align);
  return {round_up(at, align), align};
}

struct CEnum {
  CShape shape;
  std::size_t tag = 1;
  std::size_t union_at = 0;
};

CEnum c_enum(const Generator& g, const idl::IdlTypeDef& d) {
  const bool c = d.repr && d.repr->kind == idl::IdlRepr::Kind::C;
  CEnum out;
  out.tag = c ? 4 : 1;
  std::size_t size = 0, align = 1;
  for (const auto& v : d.type.variants) {
    std::vector<std::size_t> offsets;
    const CShape s = c_struct(g, Generator::fields_of(v.fields), std::nullopt, offsets);
    size = std::max(size, s.size);
    align = std::max(align, s.align);
  }
  out.union_at = round_up(out.tag, align);
  const std::size_t whole = std::max(out.tag, align);
  out.shape = {round_up(out.union_at + size, whole), whole};
  return out;
}

CShape c_shape(const Generator& g, const IdlType& t) {
  if (t.kind == Kind::Array) {
    const CShape e = c_shape(g, *t.inner);
    return {e.size * t.len.value, e.align};
  }
  if (t.kind != Kind::Defined) return {width(t.kind), c_align(t.kind)};
  const idl::IdlTypeDef& d = g.definition(t.name);
  if (d.type.kind == idl::IdlTypeDefTy::Kind::Type) return c_shape(g, d.type.alias);
  if (d.type.kind == idl::IdlTypeDefTy::Kind::Enum) return c_enum(g, d).shape;
  std::vector<std::size_t> offsets;
  return c_struct(g, Generator::fields_of(d.type.fields), d.repr, offsets);
}

void c_write(const Generator& g, const IdlType& t, const Value& v, Bytes& out, std::size_t at) {
  if (t.kind == Kind::Array) {
    const std::size_t stride = c_shape(g, *t.inner).size;
    for (std::size_t i = 0; i < v.parts.size(); ++i) c_write(g, *t.inner, v.parts[i], out, at + i * stride);
    return;
  }
  if (t.kind != Kind::Defined) {
    std::ranges::copy(v.bytes, out.begin() + static_cast<std::ptrdiff_t>(at));
    return;
  }
  const idl::IdlTypeDef& d = g.definition(t.name);
  if (d.type.kind == idl::IdlTypeDefTy::Kind::Type) return c_write(g, d.type.alias, v, out, at);
  std::vector<IdlType> fields;
  std::vector<std::size_t> offsets;
  if (d.type.kind == idl::IdlTypeDefTy::Kind::Enum) {
    const CEnum e = c_enum(g, d);
    for (std::size_t i = 0; i < e.tag; ++i) out[at + i] = static_cast<std::uint8_t>(v.variant >> (8 * i));
    fields = Generator::fields_of(d.type.variants[static_cast<std::size_t>(v.variant)].fields);
    c_struct(g, fields, std::nullopt, offsets);
    at += e.union_at;
  } else {
    fields = Generator::fields_of(d.type.fields);
    c_struct(g, fields, d.repr, offsets);
  }
  for (std::size_t i = 0; i < fields.size(); ++i) c_write(g, fields[i], v.parts[i], out, at + offsets[i]);
}

struct Decoded {
  bool ok = false;
  std::vector<std::string> leaves;
  std::uint64_t read = 0;
  Error error;
};

Decoded walk(const AccountLayout& layout, std::span<const std::uint8_t> body, bool old_versions = false) {
  LeafSink sink;
  WalkState state(body);
  Decoded out;
  out.ok = acct::walk_account(sink, state, layout, {}, old_versions);
  out.leaves = std::move(sink.leaves);
  out.read = state.cursor.pos();
  out.error = state.error;
  return out;
}

// One generated account per case: the layout must read every value the
// writer put, at its place, and stop where the layout ends.
TEST(AccountLayouts, GeneratedValuesReadBack) {
  for (const bool zero_copy : {false, true}) {
    for (int seed = 0; seed < 400; ++seed) {
      Rng rng(static_cast<std::uint64_t>(seed) * 7919 + zero_copy);
      Generator g(rng, zero_copy);
      g.structure(0, "Acct");
      idl::IdlTypeDef& account = *std::ranges::find(g.idl.types, std::string("Acct"), &idl::IdlTypeDef::name);
      AccountOptions options;
      // Zero-copy as the IDL says it, or as the caller names it; Borsh
      // whatever the types inside say.
      const std::size_t how = pick(rng, 3);
      account.serialization.kind = !zero_copy       ? idl::IdlSerialization::Kind::Borsh
                                   : how == 0       ? idl::IdlSerialization::Kind::Bytemuck
                                   : how == 1       ? idl::IdlSerialization::Kind::BytemuckUnsafe
                                                    : idl::IdlSerialization::Kind::Borsh;
      if (zero_copy && how == 2) options.zero_copy.push_back("Acct");
      Bytes disc(1 + pick(rng, 10));
      for (auto& b : disc) b = static_cast<std::uint8_t>(rng());
      g.idl.accounts.push_back({"Acct", disc});

      IdlType root;
      root.kind = Kind::Defined;
      root.name = "Acct";
      const Value v = g.value(root);
      Bytes body;
      if (zero_copy) {
        body.assign(c_shape(g, root).size, 0xAA);  // padding that must never be read as a value
        c_write(g, root, v, body, 0);
      } else {
        borsh(g, root, v, body);
      }
      std::vector<std::string> expected;
      leaves(g, root, v, expected);

      auto compiled = CompiledIdl::build(g.idl, options);
      ASSERT_TRUE(compiled) << compiled.error();
      Bytes data = disc;
      data.insert(data.end(), body.begin(), body.end());
      const std::size_t trailing = pick(rng, 5);
      for (std::size_t i = 0; i < trailing; ++i) data.push_back(static_cast<std::uint8_t>(rng()));
      const AccountLayout* layout = (*compiled)->match_account(data);
      ASSERT_NE(layout, nullptr);
      const std::string where = std::format("zero_copy={} seed={}", zero_copy, seed);
      EXPECT_EQ(layout->zero_copy, zero_copy) << where;
      const Decoded got = walk(*layout, std::span(data).subspan(disc.size()));
      ASSERT_TRUE(got.ok) << where << ": " << describe(got.error);
      EXPECT_EQ(got.leaves, expected) << where;
      EXPECT_EQ(got.read, body.size()) << where;
      if (zero_copy) {
        ASSERT_TRUE(layout->c_size) << where;
        EXPECT_EQ(*layout->c_size, body.size()) << where;
      } else {
        EXPECT_LE(layout->borsh_min_size, body.size()) << where;
      }

      // Cut short: an error, never a partial value; with old versions
      // allowed, a cut where a top-level field begins reads the rest as missing.
      if (body.empty()) continue;
      const std::size_t cut = pick(rng, body.size());
      const auto short_body = std::span(body).first(cut);
      EXPECT_FALSE(walk(*layout, short_body).ok) << where << " cut=" << cut;
      // Where each top-level field lies; a cut inside none of them (at a
      // field's start, or in padding) is an older, shorter version.
      const idl::IdlTypeDef& acct = g.definition("Acct");
      const std::vector<IdlType> fields = Generator::fields_of(acct.type.fields);
      std::vector<std::pair<std::size_t, std::size_t>> spans;
      if (zero_copy) {
        std::vector<std::size_t> offsets;
        c_struct(g, fields, acct.repr, offsets);
        for (std::size_t i = 0; i < fields.size(); ++i) spans.emplace_back(offsets[i], offsets[i] + c_shape(g, fields[i]).size);
      } else {
        Bytes prefix;
        for (std::size_t i = 0; i < fields.size(); ++i) {
          const std::size_t start = prefix.size();
          borsh(g, fields[i], v.parts[i], prefix);
          spans.emplace_back(start, prefix.size());
        }
      }
      const bool between = std::ranges::none_of(spans, [&](const auto& f) { return f.first < cut && cut < f.second; });
      EXPECT_EQ(walk(*layout, short_body, true).ok, between) << where << " cut=" << cut;
    }
  }
}

// A C layout cannot hold a value of varying size: such an account is an
// error naming the type, for every body, never a value read at a guessed offset.
TEST(AccountLayouts, ZeroCopyWithoutFixedLayoutFails) {
  struct Case {
    IdlType field;
    std::string culprit;
  };
  IdlType vec = scalar_type(Kind::Vec);
  vec.inner = scalar_type(Kind::U8);
  IdlType option = scalar_type(Kind::Option);
  option.inner = scalar_type(Kind::U64);
  IdlType data_enum = scalar_type(Kind::Defined);
  data_enum.name = "Choice";
  IdlType generic_array = scalar_type(Kind::Array);
  generic_array.inner = scalar_type(Kind::U8);
  generic_array.len = {idl::IdlArrayLen::Kind::Generic, "N", 0};
  IdlType nested = scalar_type(Kind::Defined);
  nested.name = "Inner";
  IdlType huge = scalar_type(Kind::Array);
  huge.inner = scalar_type(Kind::U64);
  huge.len.value = std::uint64_t{1} << 40;
  const Case cases[] = {{scalar_type(Kind::String), "string"}, {scalar_type(Kind::Bytes), "bytes"},
                        {vec, "vec"}, {option, "option"}, {data_enum, "Choice"}, {generic_array, "array"},
                        {nested, "string"}, {huge, "Acct"}};
  for (const Case& c : cases) {
    idl::Idl idl;
    idl::IdlTypeDef account{"Acct", {}, {idl::IdlSerialization::Kind::Bytemuck, {}}, {}, {}, {}};
    account.type.fields = idl::IdlDefinedFields{idl::IdlDefinedFields::Kind::Tuple, {}, {scalar_type(Kind::U64), c.field}};
    idl::IdlTypeDef choice{"Choice", {}, {}, {}, {}, {}};
    choice.type.kind = idl::IdlTypeDefTy::Kind::Enum;
    choice.type.variants = {{"A", idl::IdlDefinedFields{idl::IdlDefinedFields::Kind::Tuple, {}, {scalar_type(Kind::U8)}}}};
    idl::IdlTypeDef inner{"Inner", {}, {}, {}, {}, {}};
    inner.type.fields = idl::IdlDefinedFields{idl::IdlDefinedFields::Kind::Tuple, {}, {scalar_type(Kind::String)}};
    idl.types = {account, choice, inner};
    idl.accounts = {{"Acct", {1, 2, 3, 4, 5, 6, 7, 8}}};
    auto compiled = CompiledIdl::build(idl);
    ASSERT_TRUE(compiled) << compiled.error();
    const AccountLayout& layout = (*compiled)->accounts()[0];
    EXPECT_FALSE(layout.c_size) << c.culprit;
    const Bytes body(64, 0);
    const Decoded got = walk(layout, body);
    EXPECT_FALSE(got.ok) << c.culprit;
    EXPECT_TRUE(got.leaves.empty()) << c.culprit;
    EXPECT_EQ(describe(got.error), std::format("type '{}' has no fixed layout for a zero-copy account", c.culprit));

    // The same account read as Borsh has a layout (or at least a size).
    idl.types[0].serialization.kind = idl::IdlSerialization::Kind::Borsh;
    auto borsh = CompiledIdl::build(idl);
    ASSERT_TRUE(borsh);
    EXPECT_EQ((*borsh)->accounts()[0].unusable.kind, Error::Kind::None) << c.culprit;
  }
}

// The longest discriminator that starts the data wins, the first declared
// among equal ones; data shorter than a discriminator never matches it.
TEST(AccountLayouts, LongestDiscriminatorPrefixWins) {
  Rng rng(5);
  for (int round = 0; round < 200; ++round) {
    idl::Idl idl;
    idl::IdlTypeDef empty{"T", {}, {}, {}, {}, {}};
    idl.types.push_back(empty);
    std::vector<Bytes> discs;
    for (std::size_t i = 0, n = 1 + pick(rng, 6); i < n; ++i) {
      // Short alphabets and lengths, so prefixes and repeats are common.
      Bytes d(pick(rng, 11));
      for (auto& b : d) b = static_cast<std::uint8_t>(pick(rng, 2));
      discs.push_back(d);
      idl.accounts.push_back({"T", d});
    }
    auto compiled = CompiledIdl::build(idl);
    ASSERT_TRUE(compiled);
    for (int probe = 0; probe < 20; ++probe) {
      Bytes data(pick(rng, 13));
      for (auto& b : data) b = static_cast<std::uint8_t>(pick(rng, 2));
      std::optional<std::size_t> want;
      for (std::size_t i = 0; i < discs.size(); ++i) {
        const bool prefix = discs[i].size() <= data.size() && std::equal(discs[i].begin(), discs[i].end(), data.begin());
        if (prefix && (!want || discs[i].size() > discs[*want].size())) want = i;
      }
      const AccountLayout* got = (*compiled)->match_account(data);
      if (!want) {
        EXPECT_EQ(got, nullptr);
      } else {
        EXPECT_EQ(got, &(*compiled)->accounts()[*want]);
      }
    }
  }
}

TEST(AccountLayouts, CallerNamesOnlyDefinedTypes) {
  idl::Idl idl;
  idl.types.push_back({"Acct", {}, {}, {}, {}, {}});
  idl.accounts = {{"Acct", {1}}, {"Lost", {2}}};
  auto bad = CompiledIdl::build(idl, AccountOptions{{"Nope"}});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), "zero-copy type 'Nope' is not defined in idl.types");
  auto good = CompiledIdl::build(idl, AccountOptions{{"Acct"}});
  ASSERT_TRUE(good);
  EXPECT_TRUE((*good)->accounts()[0].zero_copy);
  // An account without its struct is kept, and every body of it fails.
  EXPECT_EQ(describe((*good)->accounts()[1].unusable), "account 'Lost' has no struct of its name in idl.types");
}

}  // namespace
}  // namespace brisquel
