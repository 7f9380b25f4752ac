// Column builders: one per field, children built recursively, filled row by
// row by the decoder and finished into immutable ArrayData once per batch.
//
// The value appends are inline and branch only on whether the column has met
// a null yet; the caller picks the append that fits the type (it knows the
// type when it plans the decode), and the builder does not check it again.
// Nulls, rollback and finishing are out of line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "codec/result.hpp"
#include "core/arrow/array_data.hpp"
#include "core/arrow/buffer.hpp"
#include "core/arrow/types.hpp"

namespace brisquel::arrow {

class ColumnBuilder {
 public:
  // Checks the field (check_field) and builds its tree of builders.
  static Result<ColumnBuilder> make(const Field& field);

  ColumnBuilder(ColumnBuilder&&) noexcept = default;
  ColumnBuilder& operator=(ColumnBuilder&&) noexcept = default;

  TypeId type_id() const { return id_; }
  std::int64_t length() const { return length_; }
  std::int64_t null_count() const { return null_count_; }
  std::size_t child_count() const { return children_.size(); }
  ColumnBuilder& child(std::size_t i) { return children_[i]; }
  const ColumnBuilder& child(std::size_t i) const { return children_[i]; }

  // Bool.
  void append_bool(bool value) {
    push_bit(values_, length_, value);
    mark_valid();
  }

  // A fixed-width value whose type is the column's (sizeof(T) is the value width).
  template <class T>
  void append(T value) {
    values_.push(value);
    mark_valid();
  }

  // One value of the column's width (1, 2, 4, 8, 32 or the fixed_size_binary width) from `bytes`.
  template <std::size_t N>
  void append_fixed(const void* bytes) {
    std::memcpy(values_.extend(N), bytes, N);
    mark_valid();
  }
  void append_fixed(const void* bytes) {
    switch (width_) {
      case 1: append_fixed<1>(bytes); return;
      case 2: append_fixed<2>(bytes); return;
      case 4: append_fixed<4>(bytes); return;
      case 8: append_fixed<8>(bytes); return;
      case 32: append_fixed<32>(bytes); return;
      default:
        copy_bytes(values_.extend(static_cast<std::size_t>(width_)), bytes, static_cast<std::size_t>(width_));
        mark_valid();
    }
  }

  // `count` values of the column's width, contiguous at `bytes`.
  void append_fixed_run(const void* bytes, std::size_t count);

  // Dictionary: the index of one of the type's values; false (nothing appended) when out of range.
  bool append_index(int index) {
    if (static_cast<unsigned>(index) >= dictionary_size_) [[unlikely]] return false;
    if (width_ == 1) values_.push(static_cast<std::int8_t>(index));
    else values_.push(static_cast<std::int16_t>(index));
    mark_valid();
    return true;
  }

  // Utf8, Binary. False, with nothing appended, when the data would pass the 32-bit offsets' range.
  bool append_binary(std::string_view value) {
    if (value.size() > offset_limit_ - data_.size()) [[unlikely]] return false;
    copy_bytes(data_.extend(value.size()), value.data(), value.size());
    values_.push(static_cast<std::int32_t>(data_.size()));
    mark_valid();
    return true;
  }

  // Utf8, Binary, written in place: room for up to `max_len` bytes at the
  // returned address, then end_value with the bytes written (nothing else in
  // between). end_value is false, with nothing appended, when they do not fit
  // the 32-bit offsets.
  char* begin_value(std::size_t max_len) {
    data_.reserve_more(max_len);
    return reinterpret_cast<char*>(data_.data() + data_.size());
  }
  bool end_value(std::size_t len) {
    if (len > offset_limit_ - data_.size() || len > data_.capacity() - data_.size()) [[unlikely]] return false;
    data_.set_size(data_.size() + len);
    values_.push(static_cast<std::int32_t>(data_.size()));
    mark_valid();
    return true;
  }

  // Struct, FixedSizeList: one non-null entry; the caller appends its children
  // (one value to each field, list_size values to the item).
  void append_valid() { mark_valid(); }

  // List: append the items to the returned builder, then end_list. end_list
  // is false, with no entry appended, when the items pass the 32-bit offsets'
  // range; the caller then rolls the row back.
  ColumnBuilder& begin_list() { return children_[0]; }
  bool end_list() {
    const std::int64_t end = children_[0].length_;
    if (static_cast<std::uint64_t>(end) > offset_limit_) [[unlikely]] return false;
    values_.push(static_cast<std::int32_t>(end));
    mark_valid();
    return true;
  }

  // A null entry of any type, keeping the children as long as Arrow needs
  // them: a null struct entry adds one to each field and a null
  // fixed_size_list entry list_size to its item (nulls where the child is
  // nullable, zero values where it is not); a null list entry adds nothing.
  void append_null() { append_nulls(1); }
  void append_nulls(std::int64_t n);

  // Rollback of rows that failed half way: cuts this builder back to `n`
  // entries (at most its length) and every builder below it to the length
  // those entries imply (a struct's fields n, a fixed-size list's item n
  // times its size, a list's item to where its n-th entry ends). Nothing is
  // recorded per row: the entries before a row are all whole.
  void cut_back(std::int64_t n);

  // The bytes of the largest buffer in the subtree (the caller closes a batch when one grows too big).
  std::size_t largest_buffer() const;

  // The built column, buffers moved out and shrunk to size; the builder starts over, empty.
  std::shared_ptr<const ArrayData> finish();

  // Lowers the 32-bit offset limit of this builder (not its children), so tests can reach it.
  void limit_offsets_for_testing(std::size_t limit) { offset_limit_ = limit; }

 private:
  ColumnBuilder() = default;
  void init(const Field& field);

  void mark_valid() {
    if (validity_.data() != nullptr) [[unlikely]] push_bit(validity_, length_, true);
    ++length_;
  }
  // Placeholder values for `n` entries, validity and length left alone.
  void fill(std::int64_t n);
  // `n` entries under a null parent: nulls, or zero values when the field is not nullable.
  void append_absent(std::int64_t n);
  void truncate(std::int64_t n);

  TypeId id_ = TypeId::Bool;
  bool nullable_ = true;
  std::int32_t width_ = 0;                     // bytes per value (fixed width, dictionary index)
  std::int64_t list_size_ = 0;                 // FixedSizeList
  unsigned dictionary_size_ = 0;               // Dictionary
  std::size_t offset_limit_ = INT32_MAX;       // Utf8, Binary: data bytes; List: items
  std::int64_t length_ = 0;
  std::int64_t null_count_ = 0;
  Buffer validity_;                            // none until the first null
  Buffer values_;                              // values, bool bits, indices or int32 offsets
  Buffer data_;                                // Utf8, Binary: the bytes
  std::vector<ColumnBuilder> children_;
  std::shared_ptr<const ArrayData> dictionary_;
};

// Finishes every builder into one batch; refused when their lengths differ.
Result<std::shared_ptr<const RecordBatch>> finish_batch(std::span<ColumnBuilder> columns);

}  // namespace brisquel::arrow
