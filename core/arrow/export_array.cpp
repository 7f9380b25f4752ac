// Arrays and batches as ArrowArray trees over the shared, finished buffers.
#include <cstring>
#include <format>
#include <vector>

#include "core/arrow/export.hpp"

namespace brisquel::arrow {

namespace {

// What one exported ArrowArray owns: a reference to the data its buffers
// point into, and the storage of its children and dictionary (each of them
// released through its own callback, so they may be moved out).
struct ExportedArray {
  std::shared_ptr<const void> owner;
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  ArrowArray dictionary{};
};

void release_array(ArrowArray* array) {
  auto* own = static_cast<ExportedArray*>(array->private_data);
  for (ArrowArray* child : own->child_pointers)
    if (child->release != nullptr) child->release(child);
  if (own->dictionary.release != nullptr) own->dictionary.release(&own->dictionary);
  delete own;
  array->release = nullptr;
}

// An array over `addresses`, kept alive by `owner`, with the given children and dictionary.
void fill(ArrowArray* out, std::shared_ptr<const void> owner, std::int64_t length, std::int64_t null_count,
          std::span<const void* const> addresses, std::span<const std::shared_ptr<const ArrayData>> children,
          const std::shared_ptr<const ArrayData>& dictionary) {
  auto* own = new ExportedArray;
  own->owner = std::move(owner);
  ArrowArray array{length, null_count, 0, static_cast<std::int64_t>(addresses.size()), 0, nullptr,
                   nullptr, nullptr, release_array, own};
  try {
    own->buffers.assign(addresses.begin(), addresses.end());
    array.buffers = own->buffers.data();
    own->children.resize(children.size());  // zeroed: release null until filled
    own->child_pointers.resize(children.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
      own->child_pointers[i] = &own->children[i];
      export_array(children[i], &own->children[i]);
    }
    array.n_children = static_cast<std::int64_t>(children.size());
    array.children = own->child_pointers.data();
    if (dictionary != nullptr) {
      export_array(dictionary, &own->dictionary);
      array.dictionary = &own->dictionary;
    }
  } catch (...) {
    release_array(&array);
    throw;
  }
  *out = array;
}

std::size_t buffer_count(TypeId id) {
  switch (id) {
    case TypeId::Struct:
    case TypeId::FixedSizeList: return 1;
    case TypeId::Utf8:
    case TypeId::Binary: return 3;
    default: return 2;
  }
}

std::int32_t read_offset(const Buffer& offsets, std::int64_t i) {
  std::int32_t v;
  std::memcpy(&v, offsets.data() + static_cast<std::size_t>(i) * sizeof v, sizeof v);
  return v;
}

Result<void> check_array(const Field& field, const ArrayData* data, std::int64_t length) {
  const DataType& type = field.type;
  const auto wrong = [&](std::string what) { return fail(std::format("column '{}': {}", field.name, what)); };
  if (data == nullptr) return wrong("no data");
  if (data->type != type.id) return wrong("data built for another type than " + type_name(type));
  if (data->length != length) return wrong(std::format("{} entries where {} are needed", data->length, length));
  if (data->null_count < 0 || data->null_count > length) return wrong("null count out of range");
  const std::size_t n_buffers = buffer_count(type.id);
  if (data->buffers.size() != n_buffers || data->addresses.size() != n_buffers) return wrong("wrong buffer count");
  if (data->children.size() != type.children.size()) return wrong("wrong child count");
  if (length > (std::int64_t{1} << 48)) return wrong("too long");
  const auto len = static_cast<std::size_t>(length);
  const std::size_t bitmap_bytes = (len + 7) / 8;
  if (data->null_count > 0 && data->buffers[0].size() < bitmap_bytes) return wrong("validity bitmap too short");
  std::int64_t child_length = length;
  switch (type.id) {
    case TypeId::Bool:
      if (data->buffers[1].size() < bitmap_bytes) return wrong("values too short");
      break;
    case TypeId::Utf8:
    case TypeId::Binary:
    case TypeId::List: {
      const Buffer& offsets = data->buffers[1];
      if (offsets.size() < (len + 1) * sizeof(std::int32_t)) return wrong("offsets too short");
      const std::int32_t first = read_offset(offsets, 0), last = read_offset(offsets, length);
      if (first != 0 || last < first) return wrong("offsets out of order");
      if (type.id != TypeId::List && data->buffers[2].size() < static_cast<std::size_t>(last))
        return wrong("data shorter than its offsets");
      child_length = last;
      break;
    }
    case TypeId::Struct: break;
    case TypeId::FixedSizeList: child_length = length * type.list_size; break;
    default: {
      // Widths are at most kMaxByteWidth (2^16) and lengths 2^48 here: no overflow.
      if (data->buffers[1].size() < len * static_cast<std::size_t>(value_width(type))) return wrong("values too short");
      break;
    }
  }
  for (std::size_t i = 0; i < type.children.size(); ++i)
    if (auto ok = check_array(type.children[i], data->children[i].get(), child_length); !ok) return ok;
  if (type.id == TypeId::Dictionary) {
    const ArrayData* values = data->dictionary.get();
    if (values == nullptr || values->type != TypeId::Utf8 || values->buffers.size() != 3 ||
        values->length != static_cast<std::int64_t>(type.dictionary.size()))
      return wrong("dictionary does not match the type's values");
  }
  return {};
}

}  // namespace

void export_array(std::shared_ptr<const ArrayData> data, ArrowArray* out) {
  const ArrayData& d = *data;
  fill(out, data, d.length, d.null_count, d.addresses, d.children, d.dictionary);
}

void export_batch(std::shared_ptr<const RecordBatch> batch, ArrowArray* out) {
  static const void* const kNoValidity[1] = {nullptr};
  const RecordBatch& b = *batch;
  fill(out, batch, b.length, 0, kNoValidity, b.columns, nullptr);
}

Result<void> check_batch(std::span<const Field> fields, const RecordBatch& batch) {
  if (batch.columns.size() != fields.size())
    return fail(std::format("batch has {} columns for {} fields", batch.columns.size(), fields.size()));
  if (batch.length < 0) return fail("negative batch length");
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (auto ok = check_array(fields[i], batch.columns[i].get(), batch.length); !ok) return ok;
  return {};
}

}  // namespace brisquel::arrow
