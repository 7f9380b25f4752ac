// Column types as the table side describes them: built once per event from
// its IDL, then shared by the builders and the schema export.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "codec/result.hpp"

namespace brisquel::arrow {

enum class TypeId : std::uint8_t {
  Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float32, Float64,
  Decimal256, Utf8, Binary, FixedSizeBinary, List, FixedSizeList, Struct, Dictionary
};

struct Field;

struct DataType {
  TypeId id = TypeId::Bool;
  std::int32_t byte_width = 0;            // FixedSizeBinary
  std::int32_t precision = 0, scale = 0;  // Decimal256 (values: 32 bytes, little-endian two's complement)
  std::int64_t list_size = 0;             // FixedSizeList
  TypeId index_type = TypeId::Int8;       // Dictionary: Int8 or Int16 indices
  std::vector<std::string> dictionary;    // Dictionary: its utf8 values, fixed when the type is made
  std::vector<Field> children;            // List, FixedSizeList: one child; Struct: the fields
};

struct Field {
  std::string name;
  DataType type;
  bool nullable = true;
  std::vector<std::pair<std::string, std::string>> metadata;
};

// Shorthands for building types.
DataType primitive(TypeId id);  // Bool, the integers, the floats, Utf8, Binary
DataType fixed_size_binary(std::int32_t byte_width);
DataType decimal256(std::int32_t precision, std::int32_t scale);
DataType list_of(Field item);
DataType fixed_size_list_of(Field item, std::int64_t list_size);
DataType struct_of(std::vector<Field> fields);
DataType dictionary_of(std::vector<std::string> values, TypeId index_type = TypeId::Int8);

// Bytes per value in the values buffer of a fixed-width type (an index for
// Dictionary); 0 for Bool (bits) and for types without such a buffer.
std::int32_t value_width(const DataType& type);

// "int64", "list<utf8>", "struct<a: int32, b: bool>", "dictionary<int8, utf8>",
// "fixed_size_binary(32)", "decimal256(39, 0)", "fixed_size_list<uint8, 4>".
std::string type_name(const DataType& type);

// Limits on a type tree, which may come from a hostile IDL. A null value
// fills every fixed-size slot below it, so the slots one value spans are
// bounded, not only the depth.
inline constexpr int kMaxTypeDepth = 64;
inline constexpr std::int64_t kMaxSlotsPerValue = std::int64_t{1} << 20;
inline constexpr std::int32_t kMaxByteWidth = 1 << 16;

// Whether a field can be built and exported: shapes, widths, index ranges and the limits above.
Result<void> check_field(const Field& field);

}  // namespace brisquel::arrow
