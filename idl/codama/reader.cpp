#include "idl/codama/reader.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <format>
#include <string_view>

#include "codec/base58.hpp"
#include "codec/base64.hpp"

namespace brisquel::idl::codama {
namespace {

using json::Value;

constexpr std::size_t kMaxSentinel = 4096;

// Where the reader is in the document, for messages.
class Path {
 public:
  struct Step {
    Path& path;
    std::size_t size;
    ~Step() { path.text_.resize(size); }
  };
  Step key(std::string_view k) {
    const std::size_t size = text_.size();
    if (!text_.empty()) text_ += '.';
    text_ += k;
    return {*this, size};
  }
  Step index(std::size_t i) {
    const std::size_t size = text_.size();
    text_ += std::format("[{}]", i);
    return {*this, size};
  }
  std::string where() const { return text_.empty() ? "the document" : text_; }

 private:
  std::string text_;
};

// The reader's single failure: thrown inside, returned as the message.
struct Failure {
  std::string message;
};

class Reader {
 public:
  Document document(const Value& root) {
    expect_kind(root, "rootNode");
    const std::string& standard = string(root, "standard");
    if (standard != "codama") fail(std::format("unsupported standard \"{}\"", standard), "standard");
    const std::string& version = string(root, "version");
    if (!version.starts_with("1.")) fail(std::format("unsupported Codama version \"{}\"", version), "version");
    Document doc;
    {
      auto step = path_.key("program");
      doc.programs.push_back(program(member(root, "program")));
    }
    if (const Value* extra = optional_array(root, "additionalPrograms")) {
      auto step = path_.key("additionalPrograms");
      for (std::size_t i = 0; i < extra->as_array().size(); ++i) {
        auto at = path_.index(i);
        doc.programs.push_back(program(extra->as_array()[i]));
        doc.programs.back().additional = true;
      }
    }
    return doc;
  }

 private:
  [[noreturn]] void fail(const std::string& what, std::string_view key = {}) {
    if (!key.empty()) {
      auto step = path_.key(key);
      throw Failure{std::format("{} at {}", what, path_.where())};
    }
    throw Failure{std::format("{} at {}", what, path_.where())};
  }

  const Value& member(const Value& node, std::string_view key) {
    if (!node.is_object()) fail("expected an object");
    const Value* v = node.find(key);
    if (v == nullptr) fail(std::format("missing field `{}`", key));
    return *v;
  }
  const std::string& string(const Value& node, std::string_view key) {
    const Value& v = member(node, key);
    if (!v.is_string()) fail("expected a string, found " + json::describe(v), key);
    return v.as_string();
  }
  std::optional<std::string> optional_string(const Value& node, std::string_view key) {
    const Value* v = node.find(key);
    if (v == nullptr || v->is_null()) return std::nullopt;
    if (!v->is_string()) fail("expected a string, found " + json::describe(*v), key);
    return v->as_string();
  }
  // Real documents leave empty lists out.
  const Value* optional_array(const Value& node, std::string_view key) {
    const Value* v = node.find(key);
    if (v == nullptr || v->is_null()) return nullptr;
    if (!v->is_array()) fail("expected a list, found " + json::describe(*v), key);
    return v;
  }
  std::uint64_t uint(const Value& node, std::string_view key) {
    const Value& v = member(node, key);
    if (v.kind() != json::Kind::UInt) fail("expected a non-negative integer, found " + json::describe(v), key);
    return v.as_uint();
  }
  std::int64_t integer(const Value& node, std::string_view key) {
    const Value& v = member(node, key);
    if (v.kind() == json::Kind::Int) return v.as_int();
    if (v.kind() == json::Kind::UInt && v.as_uint() <= INT64_MAX) return static_cast<std::int64_t>(v.as_uint());
    fail("expected an integer, found " + json::describe(v), key);
  }
  bool flag(const Value& node, std::string_view key, bool otherwise) {
    const Value* v = node.find(key);
    if (v == nullptr || v->is_null()) return otherwise;
    if (v->kind() != json::Kind::Bool) fail("expected a boolean, found " + json::describe(*v), key);
    return v->as_bool();
  }
  const std::string& kind_of(const Value& node) {
    if (!node.is_object()) fail("expected a node, found " + json::describe(node));
    const Value* k = node.find("kind");
    if (k == nullptr) fail("missing field `kind`");
    if (!k->is_string()) fail("expected a string, found " + json::describe(*k), "kind");
    return k->as_string();
  }
  void expect_kind(const Value& node, std::string_view want) {
    const std::string& kind = kind_of(node);
    if (kind != want) fail(std::format("expected a {}, found node kind `{}`", want, kind));
  }
  std::string name(const Value& node) {
    std::string n = string(node, "name");
    if (n.empty()) fail("empty name", "name");
    return n;
  }

  Program program(const Value& node) {
    expect_kind(node, "programNode");
    Program p;
    p.name = name(node);
    p.public_key = string(node, "publicKey");
    std::uint8_t key[64];
    if (p.public_key.size() > 44 || codec::decode_base58(p.public_key, key) != 32) {
      fail(std::format("\"{}\" is not a program address", p.public_key), "publicKey");
    }
    each(node, "definedTypes", [&](const Value& t) {
      expect_kind(t, "definedTypeNode");
      p.types.push_back({name(t), typed(t, "type")});
    });
    each(node, "accounts", [&](const Value& a) { p.accounts.push_back(account(a)); });
    each(node, "instructions", [&](const Value& i) { p.instructions.push_back(instruction(i)); });
    each(node, "errors", [&](const Value& e) {
      expect_kind(e, "errorNode");
      const std::uint64_t code = uint(e, "code");
      if (code > UINT32_MAX) fail("error code past 32 bits", "code");
      p.errors.push_back({static_cast<std::uint32_t>(code), name(e), optional_string(e, "message").value_or("")});
    });
    return p;
  }

  template <class F>
  void each(const Value& node, std::string_view key, F&& f) {
    const Value* list = optional_array(node, key);
    if (list == nullptr) return;
    auto step = path_.key(key);
    for (std::size_t i = 0; i < list->as_array().size(); ++i) {
      auto at = path_.index(i);
      f(list->as_array()[i]);
    }
  }

  Account account(const Value& node) {
    expect_kind(node, "accountNode");
    Account a;
    a.name = name(node);
    a.data = typed(node, "data");
    if (a.data.kind != Type::Kind::Struct) fail("an account's data is not a struct", "data");
    // The default values of the data's own fields, which field discriminators name.
    std::vector<const Value*> defaults;
    const Value* fields = member(node, "data").find("fields");
    if (fields != nullptr && fields->is_array()) {
      for (const Value& f : fields->as_array()) {
        const Value* d = f.find("defaultValue");
        defaults.push_back(d != nullptr && !d->is_null() ? d : nullptr);
      }
    }
    each(node, "discriminators", [&](const Value& d) { a.discriminators.push_back(discriminator(d, a.data.fields, defaults)); });
    return a;
  }

  Instruction instruction(const Value& node) {
    expect_kind(node, "instructionNode");
    Instruction ix;
    ix.name = name(node);
    if (auto strategy = optional_string(node, "optionalAccountStrategy")) {
      if (*strategy != "programId" && *strategy != "omitted") {
        fail(std::format("unknown optional account strategy \"{}\"", *strategy), "optionalAccountStrategy");
      }
      ix.program_id_for_absent = *strategy == "programId";
    }
    each(node, "accounts", [&](const Value& a) {
      expect_kind(a, "instructionAccountNode");
      ix.accounts.push_back({name(a), flag(a, "isOptional", false)});
    });
    std::vector<const Value*> defaults;
    each(node, "arguments", [&](const Value& a) {
      expect_kind(a, "instructionArgumentNode");
      Argument arg{name(a), typed(a, "type"), false};
      const Value* d = a.find("defaultValue");
      defaults.push_back(d != nullptr && !d->is_null() ? d : nullptr);
      if (auto strategy = optional_string(a, "defaultValueStrategy")) {
        if (*strategy != "omitted" && *strategy != "optional") {
          fail(std::format("unknown default value strategy \"{}\"", *strategy), "defaultValueStrategy");
        }
        arg.omitted = *strategy == "omitted" && defaults.back() != nullptr;
      }
      ix.arguments.push_back(std::move(arg));
    });
    each(node, "discriminators", [&](const Value& d) {
      std::vector<Field> fields;
      for (const Argument& a : ix.arguments) fields.push_back({a.name, {a.type}});
      ix.discriminators.push_back(discriminator(d, fields, defaults));
    });
    return ix;
  }

  // A discriminator over `fields` (the data's, in order), whose default
  // values are in `defaults`.
  Discriminator discriminator(const Value& node, const std::vector<Field>& fields,
                              const std::vector<const Value*>& defaults) {
    const std::string& kind = kind_of(node);
    Discriminator d;
    if (kind == "sizeDiscriminatorNode") {
      d.kind = Discriminator::Kind::Size;
      d.size = uint(node, "size");
      return d;
    }
    if (kind == "constantDiscriminatorNode") {
      d.offset = uint(node, "offset");
      auto step = path_.key("constant");
      d.bytes = constant(member(node, "constant"));
      return d;
    }
    if (kind != "fieldDiscriminatorNode") fail(std::format("unknown node kind `{}`", kind));
    const std::string& field = string(node, "name");
    d.offset = uint(node, "offset");
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].name != field) continue;
      const Value* value = i < defaults.size() ? defaults[i] : nullptr;
      if (value == nullptr) fail(std::format("the discriminator field `{}` has no default value", field), "name");
      d.bytes = encode(fields[i].type[0], *value);
      return d;
    }
    fail(std::format("no field `{}` to discriminate by", field), "name");
  }

  // ---- constants: a value in its type's bytes ----

  Bytes constant(const Value& node) {
    expect_kind(node, "constantValueNode");
    Type type;
    {
      auto step = path_.key("type");
      type = this->type(member(node, "type"));
    }
    auto step = path_.key("value");
    return encode(type, member(node, "value"));
  }

  static void put_number(Bytes& out, const Number& n, std::uint64_t bits, bool negative) {
    std::size_t width = 1;
    switch (n.format) {
      case NumberFormat::U8: case NumberFormat::I8: width = 1; break;
      case NumberFormat::U16: case NumberFormat::I16: width = 2; break;
      case NumberFormat::U32: case NumberFormat::I32: case NumberFormat::F32: width = 4; break;
      case NumberFormat::U64: case NumberFormat::I64: case NumberFormat::F64: width = 8; break;
      case NumberFormat::U128: case NumberFormat::I128: width = 16; break;
      case NumberFormat::ShortU16: {
        std::uint64_t v = bits;
        do {
          std::uint8_t b = v & 0x7f;
          v >>= 7;
          if (v != 0) b |= 0x80;
          out.push_back(b);
        } while (v != 0);
        return;
      }
    }
    Bytes le(width, negative ? 0xff : 0x00);
    for (std::size_t i = 0; i < std::min<std::size_t>(width, 8); ++i) le[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    if (n.big_endian) std::reverse(le.begin(), le.end());
    out.insert(out.end(), le.begin(), le.end());
  }

  Bytes encode(const Type& type, const Value& value) {
    const std::string& kind = kind_of(value);
    Bytes out;
    switch (type.kind) {
      case Type::Kind::Number:
      case Type::Kind::Boolean: {
        std::uint64_t bits = 0;
        bool negative = false;
        if (kind == "booleanValueNode" && type.kind == Type::Kind::Boolean) {
          bits = flag(value, "boolean", false) ? 1 : 0;
        } else if (kind == "numberValueNode" && type.kind == Type::Kind::Number) {
          const Value& n = member(value, "number");
          if (n.kind() == json::Kind::UInt) {
            bits = n.as_uint();
          } else if (n.kind() == json::Kind::Int) {
            bits = static_cast<std::uint64_t>(n.as_int());
            negative = true;
          } else if (n.kind() == json::Kind::Float && (type.number.format == NumberFormat::F32 ||
                                                       type.number.format == NumberFormat::F64)) {
            bits = type.number.format == NumberFormat::F64 ? std::bit_cast<std::uint64_t>(n.as_float())
                                                           : std::bit_cast<std::uint32_t>(static_cast<float>(n.as_float()));
          } else {
            fail("expected a number, found " + json::describe(n), "number");
          }
        } else {
          fail(std::format("a `{}` cannot stand for this number", kind));
        }
        put_number(out, type.number, bits, negative);
        return out;
      }
      case Type::Kind::Bytes:
      case Type::Kind::String: {
        if (kind == "bytesValueNode") return bytes_value(value);
        if (kind == "stringValueNode") {
          const std::string& s = string(value, "string");
          return Bytes(s.begin(), s.end());
        }
        fail(std::format("a `{}` cannot stand for these bytes", kind));
      }
      case Type::Kind::FixedSize: {
        out = encode(type.items[0], value);
        if (out.size() > type.size) fail("the value is larger than its fixed size");
        out.resize(type.size, 0);
        return out;
      }
      case Type::Kind::PreOffset:
      case Type::Kind::PostOffset: {
        // Only forward padding has bytes of its own: zeros.
        if (type.strategy != OffsetStrategy::Padded || type.offset < 0) fail("an offset in a constant must pad forward");
        Bytes inner = encode(type.items[0], value);
        if (type.kind == Type::Kind::PreOffset) out.assign(static_cast<std::size_t>(type.offset), 0);
        out.insert(out.end(), inner.begin(), inner.end());
        if (type.kind == Type::Kind::PostOffset) out.resize(out.size() + static_cast<std::size_t>(type.offset), 0);
        return out;
      }
      case Type::Kind::PublicKey: {
        if (kind != "publicKeyValueNode") fail(std::format("a `{}` cannot stand for a public key", kind));
        const std::string& text = string(value, "publicKey");
        std::uint8_t key[64];
        if (text.size() > 44 || codec::decode_base58(text, key) != 32) fail("not a public key", "publicKey");
        return Bytes(key, key + 32);
      }
      default:
        fail("a constant of this type cannot be laid out");
    }
  }

  Bytes bytes_value(const Value& node) {
    const std::string& encoding = string(node, "encoding");
    const std::string& data = string(node, "data");
    if (data.size() > (1u << 20)) fail("bytes too long", "data");
    Bytes out;
    if (encoding == "utf8") return Bytes(data.begin(), data.end());
    if (encoding == "base16") {
      if (data.size() % 2 != 0) fail("odd base16 text", "data");
      auto digit = [&](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        fail("invalid base16 text", "data");
      };
      for (std::size_t i = 0; i < data.size(); i += 2) out.push_back(static_cast<std::uint8_t>(digit(data[i]) * 16 + digit(data[i + 1])));
      return out;
    }
    if (encoding == "base58") {
      out.resize(codec::base58_decoded_capacity(data.size()));
      const auto n = data.size() <= codec::kBase58MaxText ? codec::decode_base58(data, out.data()) : std::nullopt;
      if (!n) fail("invalid base58 text", "data");
      out.resize(*n);
      return out;
    }
    if (encoding == "base64") {
      std::string padded = data;
      while (padded.size() % 4 != 0) padded += '=';
      out.resize(codec::base64_decoded_capacity(padded.size()));
      const auto n = codec::decode_base64_strict(padded, out.data());
      if (!n) fail("invalid base64 text", "data");
      out.resize(*n);
      return out;
    }
    fail(std::format("unknown encoding \"{}\"", encoding), "encoding");
  }

  // ---- type nodes ----

  Type typed(const Value& node, std::string_view key) {
    auto step = path_.key(key);
    return type(member_at_parent(node, key));
  }
  // `node[key]`, read after the path already names it.
  const Value& member_at_parent(const Value& node, std::string_view key) {
    const Value* v = node.is_object() ? node.find(key) : nullptr;
    if (v == nullptr) fail("missing field");
    return *v;
  }

  Number number(const Value& node) {
    expect_kind(node, "numberTypeNode");
    Number n;
    static constexpr std::pair<std::string_view, NumberFormat> kFormats[] = {
        {"u8", NumberFormat::U8},     {"u16", NumberFormat::U16},   {"u32", NumberFormat::U32},
        {"u64", NumberFormat::U64},   {"u128", NumberFormat::U128}, {"i8", NumberFormat::I8},
        {"i16", NumberFormat::I16},   {"i32", NumberFormat::I32},   {"i64", NumberFormat::I64},
        {"i128", NumberFormat::I128}, {"f32", NumberFormat::F32},   {"f64", NumberFormat::F64},
        {"shortU16", NumberFormat::ShortU16}};
    const std::string& format = string(node, "format");
    const auto* found = std::ranges::find(kFormats, format, &std::pair<std::string_view, NumberFormat>::first);
    if (found == std::end(kFormats)) fail(std::format("unknown number format \"{}\"", format), "format");
    n.format = found->second;
    const std::string endian = optional_string(node, "endian").value_or("le");
    if (endian != "le" && endian != "be") fail(std::format("unknown endian \"{}\"", endian), "endian");
    n.big_endian = endian == "be";
    return n;
  }
  Number number_at(const Value& node, std::string_view key) {
    auto step = path_.key(key);
    return number(member_at_parent(node, key));
  }

  void count(const Value& node, Type& t) {
    auto step = path_.key("count");
    const Value& c = member_at_parent(node, "count");
    const std::string& kind = kind_of(c);
    if (kind == "fixedCountNode") {
      t.count = Type::Count::Fixed;
      t.size = uint(c, "value");
    } else if (kind == "prefixedCountNode") {
      t.count = Type::Count::Prefixed;
      t.number = number_at(c, "prefix");
    } else if (kind == "remainderCountNode") {
      t.count = Type::Count::Remainder;
    } else {
      fail(std::format("unknown node kind `{}`", kind));
    }
  }

  std::vector<Field> struct_fields(const Value& node) {
    std::vector<Field> out;
    each(node, "fields", [&](const Value& f) {
      expect_kind(f, "structFieldTypeNode");
      out.push_back({name(f), {typed(f, "type")}});
    });
    return out;
  }

  void notes(const Value& node, Type& t) {
    const Value* display = node.find("display");
    if (display == nullptr || display->is_null()) return;
    auto step = path_.key("display");
    const std::string& kind = kind_of(*display);
    if (kind == "amountNumberDisplayNode") {
      if (const Value* d = display->find("decimals"); d != nullptr && d->kind() == json::Kind::UInt) {
        t.notes.emplace_back("decimals", std::to_string(d->as_uint()));
      }
      if (const Value* u = display->find("unit"); u != nullptr && u->is_object()) {
        if (auto s = optional_string(*u, "string")) t.notes.emplace_back("unit", *s);
      }
    } else if (kind == "dateTimeNumberDisplayNode") {
      t.notes.emplace_back("date_time", "unix_seconds");
    }
  }

  Type type(const Value& node) {
    const std::string& kind = kind_of(node);
    Type t;
    using K = Type::Kind;
    auto inner = [&](std::string_view key) { t.items.push_back(typed(node, key)); };
    if (kind == "numberTypeNode") {
      t.kind = K::Number;
      t.number = number(node);
      notes(node, t);
    } else if (kind == "booleanTypeNode") {
      t.kind = K::Boolean;
      if (const Value* size = node.find("size"); size != nullptr && !size->is_null()) t.number = number_at(node, "size");
      if (t.number.format == NumberFormat::F32 || t.number.format == NumberFormat::F64) fail("a boolean stored as a float", "size");
    } else if (kind == "publicKeyTypeNode") {
      t.kind = K::PublicKey;
    } else if (kind == "stringTypeNode") {
      t.kind = K::String;
      t.encoding = optional_string(node, "encoding").value_or("utf8");
      if (t.encoding != "utf8" && t.encoding != "base16" && t.encoding != "base58" && t.encoding != "base64") {
        fail(std::format("unknown encoding \"{}\"", t.encoding), "encoding");
      }
    } else if (kind == "bytesTypeNode") {
      t.kind = K::Bytes;
    } else if (kind == "fixedSizeTypeNode") {
      t.kind = K::FixedSize;
      t.size = uint(node, "size");
      inner("type");
    } else if (kind == "sizePrefixTypeNode") {
      t.kind = K::SizePrefix;
      t.number = number_at(node, "prefix");
      inner("type");
    } else if (kind == "sentinelTypeNode") {
      t.kind = K::Sentinel;
      {
        auto step = path_.key("sentinel");
        t.constant = constant(member_at_parent(node, "sentinel"));
      }
      if (t.constant->empty()) fail("an empty sentinel", "sentinel");
      if (t.constant->size() > kMaxSentinel) fail(std::format("a sentinel of more than {} bytes", kMaxSentinel), "sentinel");
      inner("type");
    } else if (kind == "arrayTypeNode" || kind == "setTypeNode") {
      t.kind = K::Array;
      inner("item");
      count(node, t);
    } else if (kind == "mapTypeNode") {
      t.kind = K::Map;
      inner("key");
      inner("value");
      count(node, t);
    } else if (kind == "tupleTypeNode") {
      t.kind = K::Tuple;
      each(node, "items", [&](const Value& item) { t.items.push_back(type(item)); });
    } else if (kind == "structTypeNode") {
      t.kind = K::Struct;
      t.fields = struct_fields(node);
    } else if (kind == "enumTypeNode") {
      t.kind = K::Enum;
      if (const Value* size = node.find("size"); size != nullptr && !size->is_null()) t.number = number_at(node, "size");
      if (t.number.format == NumberFormat::F32 || t.number.format == NumberFormat::F64) fail("an enum index stored as a float", "size");
      each(node, "variants", [&](const Value& v) { t.variants.push_back(variant(v)); });
    } else if (kind == "optionTypeNode") {
      t.kind = K::Option;
      if (const Value* p = node.find("prefix"); p != nullptr && !p->is_null()) t.number = number_at(node, "prefix");
      t.fixed = flag(node, "fixed", false);
      inner("item");
    } else if (kind == "zeroableOptionTypeNode") {
      t.kind = K::ZeroableOption;
      inner("item");
      if (const Value* z = node.find("zeroValue"); z != nullptr && !z->is_null()) {
        auto step = path_.key("zeroValue");
        t.constant = constant(*z);
      }
    } else if (kind == "remainderOptionTypeNode") {
      t.kind = K::RemainderOption;
      inner("item");
    } else if (kind == "hiddenPrefixTypeNode" || kind == "hiddenSuffixTypeNode") {
      const bool prefix = kind == "hiddenPrefixTypeNode";
      t.kind = prefix ? K::HiddenPrefix : K::HiddenSuffix;
      inner("type");
      Bytes joined;
      each(node, prefix ? "prefix" : "suffix", [&](const Value& c) {
        const Bytes b = constant(c);
        joined.insert(joined.end(), b.begin(), b.end());
      });
      t.constant = std::move(joined);
    } else if (kind == "preOffsetTypeNode" || kind == "postOffsetTypeNode") {
      const bool pre = kind == "preOffsetTypeNode";
      t.kind = pre ? K::PreOffset : K::PostOffset;
      t.offset = integer(node, "offset");
      const std::string strategy = optional_string(node, "strategy").value_or("relative");
      if (strategy == "relative") t.strategy = OffsetStrategy::Relative;
      else if (strategy == "absolute") t.strategy = OffsetStrategy::Absolute;
      else if (strategy == "padded") t.strategy = OffsetStrategy::Padded;
      else if (strategy == "preOffset" && !pre) t.strategy = OffsetStrategy::PreOffset;
      else fail(std::format("unknown offset strategy \"{}\"", strategy), "strategy");
      inner("type");
    } else if (kind == "amountTypeNode" || kind == "dateTimeTypeNode" || kind == "solAmountTypeNode") {
      t = typed(node, "number");
      if (t.kind != K::Number) fail("expected a number", "number");
      if (kind == "amountTypeNode") {
        t.notes.emplace_back("decimals", std::to_string(uint(node, "decimals")));
        if (auto unit = optional_string(node, "unit")) t.notes.emplace_back("unit", *unit);
      } else if (kind == "solAmountTypeNode") {
        t.notes.emplace_back("decimals", "9");
        t.notes.emplace_back("unit", "SOL");
      } else {
        t.notes.emplace_back("date_time", "unix_seconds");
      }
    } else if (kind == "definedTypeLinkNode") {
      t.kind = K::Link;
      t.name = name(node);
      if (const Value* program = node.find("program"); program != nullptr && !program->is_null()) {
        auto step = path_.key("program");
        expect_kind(*program, "programLinkNode");
        t.program = name(*program);
      }
    } else {
      fail(std::format("unknown node kind `{}`", kind));
    }
    return t;
  }

  // Whether `t` is of `kind`, inside any layouts that only place its bytes.
  static bool wraps(const Type& t, Type::Kind kind) {
    const Type* core = &t;
    for (;;) {
      if (core->kind == kind) return true;
      switch (core->kind) {
        case Type::Kind::FixedSize: case Type::Kind::SizePrefix: case Type::Kind::Sentinel:
        case Type::Kind::HiddenPrefix: case Type::Kind::HiddenSuffix: case Type::Kind::PreOffset:
        case Type::Kind::PostOffset:
          core = &core->items[0];
          break;
        default:
          return false;
      }
    }
  }

  Variant variant(const Value& node) {
    const std::string& kind = kind_of(node);
    Variant v;
    v.name = name(node);
    if (const Value* d = node.find("discriminator"); d != nullptr && !d->is_null()) {
      v.discriminator = uint(node, "discriminator");
    }
    if (kind == "enumEmptyVariantTypeNode") {
      v.kind = Variant::Kind::Empty;
    } else if (kind == "enumStructVariantTypeNode") {
      v.kind = Variant::Kind::Struct;
      v.data.push_back(typed(node, "struct"));
      if (!wraps(v.data[0], Type::Kind::Struct)) fail("expected a struct", "struct");
    } else if (kind == "enumTupleVariantTypeNode") {
      v.kind = Variant::Kind::Tuple;
      v.data.push_back(typed(node, "tuple"));
      if (!wraps(v.data[0], Type::Kind::Tuple)) fail("expected a tuple", "tuple");
    } else {
      fail(std::format("unknown node kind `{}`", kind));
    }
    return v;
  }

  Path path_;
};

}  // namespace

bool is_codama(const json::Value& document) {
  const json::Value* kind = document.find("kind");
  return kind != nullptr && kind->is_string() && kind->as_string() == "rootNode";
}

Result<Document> read_document(const json::Value& document) {
  try {
    return Reader().document(document);
  } catch (const Failure& f) {
    return fail(f.message);
  }
}

}  // namespace brisquel::idl::codama
