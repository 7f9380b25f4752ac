// Schemas as ArrowSchema trees: format strings, names, flags, metadata.
#include <cstring>
#include <format>
#include <string>
#include <vector>

#include "core/arrow/export.hpp"

namespace brisquel::arrow {

namespace {

// What one exported ArrowSchema owns. Children and the dictionary are
// ArrowSchema structs stored here but owned by their own private data, so a
// consumer may move them out and release them apart from this one.
struct ExportedSchema {
  std::string format, name, metadata;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
  ArrowSchema dictionary{};
};

void release_schema(ArrowSchema* schema) {
  auto* own = static_cast<ExportedSchema*>(schema->private_data);
  for (ArrowSchema* child : own->child_pointers)
    if (child->release != nullptr) child->release(child);
  if (own->dictionary.release != nullptr) own->dictionary.release(&own->dictionary);
  delete own;
  schema->release = nullptr;
}

std::string format_of(const DataType& type) {
  switch (type.id) {
    case TypeId::Bool: return "b";
    case TypeId::Int8: return "c";
    case TypeId::UInt8: return "C";
    case TypeId::Int16: return "s";
    case TypeId::UInt16: return "S";
    case TypeId::Int32: return "i";
    case TypeId::UInt32: return "I";
    case TypeId::Int64: return "l";
    case TypeId::UInt64: return "L";
    case TypeId::Float32: return "f";
    case TypeId::Float64: return "g";
    case TypeId::Decimal256: return std::format("d:{},{},256", type.precision, type.scale);
    case TypeId::Utf8: return "u";
    case TypeId::Binary: return "z";
    case TypeId::FixedSizeBinary: return std::format("w:{}", type.byte_width);
    case TypeId::List: return "+l";
    case TypeId::FixedSizeList: return std::format("+w:{}", type.list_size);
    case TypeId::Struct: return "+s";
    case TypeId::Dictionary: return type.index_type == TypeId::Int16 ? "s" : "c";  // the indices
  }
  return "";
}

void put_int32(std::string& out, std::size_t n) {
  const auto v = static_cast<std::int32_t>(n);
  char bytes[sizeof v];
  std::memcpy(bytes, &v, sizeof v);
  out.append(bytes, sizeof v);
}

// The count, then each key and value with its length, as native-endian int32s.
std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& metadata) {
  std::string out;
  if (metadata.empty()) return out;
  put_int32(out, metadata.size());
  for (const auto& [key, value] : metadata) {
    put_int32(out, key.size());
    out += key;
    put_int32(out, value.size());
    out += value;
  }
  return out;
}

void fill(ArrowSchema* out, std::string format, std::string name, std::string metadata, std::int64_t flags,
          std::span<const Field> children, bool dictionary) {
  auto* own = new ExportedSchema;
  own->format = std::move(format);
  own->name = std::move(name);
  own->metadata = std::move(metadata);
  ArrowSchema schema{own->format.c_str(), own->name.c_str(), own->metadata.empty() ? nullptr : own->metadata.data(),
                     flags, 0, nullptr, nullptr, release_schema, own};
  try {
    own->children.resize(children.size());  // zeroed: release null until filled
    own->child_pointers.resize(children.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
      own->child_pointers[i] = &own->children[i];
      export_schema(children[i], &own->children[i]);
    }
    schema.n_children = static_cast<std::int64_t>(children.size());
    schema.children = own->child_pointers.data();
    if (dictionary) {
      fill(&own->dictionary, "u", "", "", 0, {}, false);
      schema.dictionary = &own->dictionary;
    }
  } catch (...) {
    release_schema(&schema);
    throw;
  }
  *out = schema;
}

}  // namespace

void export_schema(const Field& field, ArrowSchema* out) {
  fill(out, format_of(field.type), field.name, encode_metadata(field.metadata),
       field.nullable ? ARROW_FLAG_NULLABLE : 0, field.type.children, field.type.id == TypeId::Dictionary);
}

void export_schema(std::span<const Field> fields, ArrowSchema* out) {
  fill(out, "+s", "", "", 0, fields, false);
}

}  // namespace brisquel::arrow
