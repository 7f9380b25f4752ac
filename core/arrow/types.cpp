#include "core/arrow/types.hpp"

#include <format>

#include "codec/utf8.hpp"

namespace brisquel::arrow {

DataType primitive(TypeId id) {
  DataType t;
  t.id = id;
  return t;
}

DataType fixed_size_binary(std::int32_t byte_width) {
  DataType t = primitive(TypeId::FixedSizeBinary);
  t.byte_width = byte_width;
  return t;
}

DataType decimal256(std::int32_t precision, std::int32_t scale) {
  DataType t = primitive(TypeId::Decimal256);
  t.precision = precision;
  t.scale = scale;
  return t;
}

DataType list_of(Field item) {
  DataType t = primitive(TypeId::List);
  t.children.push_back(std::move(item));
  return t;
}

DataType fixed_size_list_of(Field item, std::int64_t list_size) {
  DataType t = primitive(TypeId::FixedSizeList);
  t.list_size = list_size;
  t.children.push_back(std::move(item));
  return t;
}

DataType struct_of(std::vector<Field> fields) {
  DataType t = primitive(TypeId::Struct);
  t.children = std::move(fields);
  return t;
}

DataType dictionary_of(std::vector<std::string> values, TypeId index_type) {
  DataType t = primitive(TypeId::Dictionary);
  t.index_type = index_type;
  t.dictionary = std::move(values);
  return t;
}

std::int32_t value_width(const DataType& type) {
  switch (type.id) {
    case TypeId::Int8: case TypeId::UInt8: return 1;
    case TypeId::Int16: case TypeId::UInt16: return 2;
    case TypeId::Int32: case TypeId::UInt32: case TypeId::Float32: return 4;
    case TypeId::Int64: case TypeId::UInt64: case TypeId::Float64: return 8;
    case TypeId::Decimal256: return 32;
    case TypeId::FixedSizeBinary: return type.byte_width;
    case TypeId::Dictionary: return type.index_type == TypeId::Int16 ? 2 : 1;
    default: return 0;
  }
}

namespace {

const char* simple_name(TypeId id) {
  switch (id) {
    case TypeId::Bool: return "bool";
    case TypeId::Int8: return "int8";
    case TypeId::UInt8: return "uint8";
    case TypeId::Int16: return "int16";
    case TypeId::UInt16: return "uint16";
    case TypeId::Int32: return "int32";
    case TypeId::UInt32: return "uint32";
    case TypeId::Int64: return "int64";
    case TypeId::UInt64: return "uint64";
    case TypeId::Float32: return "float32";
    case TypeId::Float64: return "float64";
    case TypeId::Utf8: return "utf8";
    case TypeId::Binary: return "binary";
    default: return nullptr;
  }
}

void append_name(const DataType& type, std::string& out, int depth) {
  if (depth > kMaxTypeDepth) {
    out += "...";
    return;
  }
  if (const char* name = simple_name(type.id)) {
    out += name;
    return;
  }
  switch (type.id) {
    case TypeId::Decimal256: out += std::format("decimal256({}, {})", type.precision, type.scale); return;
    case TypeId::FixedSizeBinary: out += std::format("fixed_size_binary({})", type.byte_width); return;
    case TypeId::Dictionary: out += std::format("dictionary<{}, utf8>", simple_name(type.index_type)); return;
    case TypeId::List:
    case TypeId::FixedSizeList:
      out += type.id == TypeId::List ? "list<" : "fixed_size_list<";
      if (type.children.empty()) out += "?";
      else append_name(type.children[0].type, out, depth + 1);
      if (type.id == TypeId::FixedSizeList) out += std::format(", {}", type.list_size);
      out += '>';
      return;
    case TypeId::Struct:
      out += "struct<";
      for (std::size_t i = 0; i < type.children.size(); ++i) {
        if (i > 0) out += ", ";
        out += type.children[i].name;
        out += ": ";
        append_name(type.children[i].type, out, depth + 1);
      }
      out += '>';
      return;
    default: out += "?"; return;
  }
}

Result<std::int64_t> check_field_at(const Field& field, int depth);

// The slots one value of `type` spans, itself included; over `kMaxSlotsPerValue` means too many.
Result<std::int64_t> check_type(const DataType& type, int depth) {
  if (depth > kMaxTypeDepth) return fail(std::format("types nest deeper than {} levels", kMaxTypeDepth));
  if (type.id > TypeId::Dictionary) return fail("unknown type id");
  const std::size_t want_children = type.id == TypeId::List || type.id == TypeId::FixedSizeList ? 1
                                    : type.id == TypeId::Struct                                  ? type.children.size()
                                                                                                 : 0;
  if (type.children.size() != want_children)
    return fail(std::format("{} needs {} child field(s), has {}", type_name(type), want_children,
                            type.children.size()));
  switch (type.id) {
    case TypeId::FixedSizeBinary:
      if (type.byte_width < 1 || type.byte_width > kMaxByteWidth)
        return fail(std::format("fixed_size_binary width {} is outside 1..{}", type.byte_width, kMaxByteWidth));
      break;
    case TypeId::Decimal256:
      if (type.precision < 1 || type.precision > 76 || type.scale < -76 || type.scale > 76)
        return fail(std::format("decimal256 precision {} or scale {} is out of range", type.precision, type.scale));
      break;
    case TypeId::Dictionary: {
      if (type.index_type != TypeId::Int8 && type.index_type != TypeId::Int16)
        return fail("dictionary indices must be int8 or int16");
      // A null parent puts index 0 under a field that cannot be null, so there must be a value 0.
      if (type.dictionary.empty()) return fail("a dictionary needs at least one value");
      const std::size_t most = type.index_type == TypeId::Int8 ? 128 : 32768;
      if (type.dictionary.size() > most)
        return fail(std::format("{} values do not fit {} dictionary indices", type.dictionary.size(),
                                simple_name(type.index_type)));
      std::size_t bytes = 0;
      for (const std::string& value : type.dictionary) {
        if (!codec::is_valid_utf8(value)) return fail("dictionary value is not utf-8");
        bytes += value.size();
      }
      if (bytes > INT32_MAX) return fail("dictionary values exceed 2 GiB");
      break;
    }
    default: break;
  }
  std::int64_t slots = 1;
  for (const Field& child : type.children) {
    auto sub = check_field_at(child, depth + 1);
    if (!sub) return sub;
    if (type.id == TypeId::FixedSizeList) {
      if (type.list_size < 0 || type.list_size > INT32_MAX)
        return fail(std::format("fixed_size_list size {} is out of range", type.list_size));
      // Both factors are at most 2^31 here, so the product cannot overflow.
      slots += type.list_size * *sub;
    } else if (type.id == TypeId::Struct) {
      slots += *sub;
    }
    if (slots > kMaxSlotsPerValue)
      return fail(std::format("one value of {} spans more than {} slots", type_name(type), kMaxSlotsPerValue));
  }
  return slots;
}

}  // namespace

namespace {

Result<std::int64_t> check_field_at(const Field& field, int depth) {
  // Metadata is encoded with int32 counts and lengths.
  if (field.metadata.size() > INT32_MAX) return fail("too many metadata entries");
  for (const auto& [key, value] : field.metadata)
    if (key.size() > INT32_MAX || value.size() > INT32_MAX) return fail("metadata entry exceeds 2 GiB");
  auto slots = check_type(field.type, depth);
  if (!slots) return fail(std::format("field '{}': {}", field.name, slots.error()));
  return slots;
}

}  // namespace

std::string type_name(const DataType& type) {
  std::string out;
  append_name(type, out, 0);
  return out;
}

Result<void> check_field(const Field& field) {
  auto slots = check_field_at(field, 0);
  if (!slots) return fail(std::move(slots.error()));
  return {};
}

}  // namespace brisquel::arrow
