#include "core/arrow/builder.hpp"

#include <algorithm>
#include <format>

namespace brisquel::arrow {

namespace {

bool has_offsets(TypeId id) { return id == TypeId::Utf8 || id == TypeId::Binary || id == TypeId::List; }

// The utf8 array of a dictionary type's values, built once and shared by every batch.
std::shared_ptr<const ArrayData> dictionary_array(const std::vector<std::string>& values) {
  auto out = std::make_shared<ArrayData>();
  out->type = TypeId::Utf8;
  out->length = static_cast<std::int64_t>(values.size());
  Buffer offsets, data;
  offsets.push<std::int32_t>(0);
  for (const std::string& value : values) {
    if (!value.empty()) std::memcpy(data.extend(value.size()), value.data(), value.size());
    offsets.push(static_cast<std::int32_t>(data.size()));
  }
  offsets.shrink_to_fit();
  data.shrink_to_fit();
  out->buffers.emplace_back();
  out->buffers.push_back(std::move(offsets));
  out->buffers.push_back(std::move(data));
  out->seal();
  return out;
}

}  // namespace

Result<ColumnBuilder> ColumnBuilder::make(const Field& field) {
  if (auto ok = check_field(field); !ok) return fail(std::move(ok.error()));
  ColumnBuilder builder;
  builder.init(field);
  return builder;
}

void ColumnBuilder::init(const Field& field) {
  const DataType& type = field.type;
  id_ = type.id;
  nullable_ = field.nullable;
  width_ = value_width(type);
  list_size_ = type.list_size;
  validity_.set_hint(size_hint(&field, 0));
  values_.set_hint(size_hint(&field, 1));
  data_.set_hint(size_hint(&field, 2));
  if (id_ == TypeId::Dictionary) {
    dictionary_size_ = static_cast<unsigned>(type.dictionary.size());
    dictionary_ = dictionary_array(type.dictionary);
  }
  if (has_offsets(id_)) values_.push<std::int32_t>(0);
  children_.reserve(type.children.size());
  for (const Field& child : type.children) {
    children_.push_back(ColumnBuilder());
    children_.back().init(child);
  }
}

void ColumnBuilder::append_fixed_run(const void* bytes, std::size_t count) {
  if (count == 0) return;
  const std::size_t n = count * static_cast<std::size_t>(width_);
  copy_bytes(values_.extend(n), bytes, n);
  if (validity_.data() != nullptr) push_bits(validity_, length_, static_cast<std::int64_t>(count), true);
  length_ += static_cast<std::int64_t>(count);
}

void ColumnBuilder::fill(std::int64_t n) {
  const auto count = static_cast<std::size_t>(n);
  switch (id_) {
    case TypeId::Bool: push_bits(values_, length_, n, false); return;
    case TypeId::Utf8:
    case TypeId::Binary:
    case TypeId::List: {
      std::int32_t end;
      std::memcpy(&end, values_.data() + values_.size() - sizeof end, sizeof end);
      auto* p = values_.extend(count * sizeof end);
      for (std::size_t i = 0; i < count; ++i) std::memcpy(p + i * sizeof end, &end, sizeof end);
      return;
    }
    case TypeId::Struct:
      for (ColumnBuilder& child : children_) child.append_absent(n);
      return;
    case TypeId::FixedSizeList:
      // check_field bounds list_size by the slots one value spans, so this product is small.
      children_[0].append_absent(n * list_size_);
      return;
    default: {
      const std::size_t bytes = count * static_cast<std::size_t>(width_);
      std::memset(values_.extend(bytes), 0, bytes);
      return;
    }
  }
}

void ColumnBuilder::append_nulls(std::int64_t n) {
  if (n <= 0) return;
  fill(n);
  // The bitmap comes with the first null, every earlier entry valid; mark_valid
  // tests its address, which is set from here on since n > 0.
  if (validity_.data() == nullptr) push_bits(validity_, 0, length_, true);
  push_bits(validity_, length_, n, false);
  null_count_ += n;
  length_ += n;
}

void ColumnBuilder::append_absent(std::int64_t n) {
  if (n <= 0) return;  // the item of a fixed_size_list of size 0
  if (nullable_) {
    append_nulls(n);
    return;
  }
  fill(n);
  if (validity_.data() != nullptr) push_bits(validity_, length_, n, true);
  length_ += n;
}

void ColumnBuilder::cut_back(std::int64_t n) {
  std::int64_t items = n;  // a struct's fields
  if (id_ == TypeId::FixedSizeList) {
    items = n * list_size_;
  } else if (id_ == TypeId::List) {
    std::int32_t end;
    std::memcpy(&end, values_.data() + static_cast<std::size_t>(n) * sizeof end, sizeof end);
    items = end;
  }
  if (n < length_) truncate(n);
  for (ColumnBuilder& child : children_) child.cut_back(items);
}

void ColumnBuilder::truncate(std::int64_t n) {
  if (validity_.data() != nullptr) {
    null_count_ -= count_clear_bits(validity_.data(), n, length_);
    if (null_count_ == 0) validity_.release();  // no nulls left: no bitmap, as if none had come
    else truncate_bits(validity_, n);
  }
  const auto count = static_cast<std::size_t>(n);
  switch (id_) {
    case TypeId::Bool: truncate_bits(values_, n); break;
    case TypeId::Struct:
    case TypeId::FixedSizeList: break;
    case TypeId::Utf8:
    case TypeId::Binary: {
      std::int32_t end;
      std::memcpy(&end, values_.data() + count * sizeof end, sizeof end);
      data_.set_size(static_cast<std::size_t>(end));
      values_.set_size((count + 1) * sizeof end);
      break;
    }
    case TypeId::List: values_.set_size((count + 1) * sizeof(std::int32_t)); break;
    default: values_.set_size(count * static_cast<std::size_t>(width_)); break;
  }
  length_ = n;
}

std::size_t ColumnBuilder::largest_buffer() const {
  std::size_t most = std::max({validity_.size(), values_.size(), data_.size()});
  for (const ColumnBuilder& child : children_) most = std::max(most, child.largest_buffer());
  return most;
}

std::shared_ptr<const ArrayData> ColumnBuilder::finish() {
  auto out = std::make_shared<ArrayData>();
  out->type = id_;
  out->length = length_;
  out->null_count = null_count_;
  // Buffers in the Arrow layout's order: validity, then values / bits / indices / offsets, then data.
  const bool var = id_ == TypeId::Utf8 || id_ == TypeId::Binary;
  out->buffers.reserve(var ? 3 : 2);
  out->buffers.push_back(std::move(validity_));
  if (id_ != TypeId::Struct && id_ != TypeId::FixedSizeList) out->buffers.push_back(std::move(values_));
  if (var) out->buffers.push_back(std::move(data_));
  for (Buffer& buffer : out->buffers) buffer.shrink_to_fit();
  out->children.reserve(children_.size());
  for (ColumnBuilder& child : children_) out->children.push_back(child.finish());
  out->dictionary = dictionary_;
  out->seal();

  validity_.release();
  values_.release();
  data_.release();
  length_ = 0;
  null_count_ = 0;
  if (has_offsets(id_)) values_.push<std::int32_t>(0);
  return out;
}

Result<std::shared_ptr<const RecordBatch>> finish_batch(std::span<ColumnBuilder> columns) {
  const std::int64_t length = columns.empty() ? 0 : columns[0].length();
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (columns[i].length() != length)
      return fail(std::format("column {} has {} rows, column 0 has {}", i, columns[i].length(), length));
  auto batch = std::make_shared<RecordBatch>();
  batch->length = length;
  batch->columns.reserve(columns.size());
  for (ColumnBuilder& column : columns) batch->columns.push_back(column.finish());
  return batch;
}

}  // namespace brisquel::arrow
