// Log lines read from an imported Arrow array: a column of strings (one line
// per row) or of lists of strings (the lines of one transaction per row).
//
// Accepted: utf8 ("u"), large_utf8 ("U") and string_view ("vu"), flat or as
// the item of a list ("+l") or large list ("+L"). Null entries are skipped: a
// null list has no lines, a null string is no line. `offset` is honoured on
// every level.
//
// open() checks everything the C data interface lets a consumer check, so
// that iteration never reads out of bounds of the buffers as described:
// buffer and child counts, the buffers a non-empty array needs, offsets that
// start non-negative, never decrease and end inside memory (list offsets
// inside the child), and each non-null string view's buffer index, offset and
// length against the variadic buffer sizes that layout carries. What it
// cannot check is that the producer's buffers are as long as its offsets
// say. Iteration then checks each string against what open() saw (two
// compares), since a producer's memory may still change afterwards (a buffer
// over a bytearray, rewritten while the interpreter lock is released): a
// string whose offsets no longer fit reads as empty, never out of bounds.
//
// The column points into the imported array, which must outlive it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "codec/result.hpp"
#include "core/arrow/buffer.hpp"
#include "core/arrow/c_data.hpp"

namespace brisquel::arrow {

class LineColumn {
 public:
  static Result<LineColumn> open(const ArrowSchema& schema, const ArrowArray& array);

  // Whether `schema` is of a type open() takes: nested (a list) or flat; the
  // error names the type found.
  static Result<bool> check_schema(const ArrowSchema& schema);

  // Lists of lines (one row per list) or one line per row.
  bool nested() const { return nested_; }
  // Rows: lists when nested, lines when flat (null ones included).
  std::int64_t length() const { return nested_ ? rows_.length : strings_.length; }

  // Flat input: f(std::int64_t line, std::string_view bytes) for each non-null line.
  template <class F>
  void for_each_flat(F&& f) const {
    switch (strings_.layout) {
      case Layout::Utf8: flat<Layout::Utf8>(f); return;
      case Layout::LargeUtf8: flat<Layout::LargeUtf8>(f); return;
      case Layout::View: flat<Layout::View>(f); return;
    }
  }

  // Nested input: f(std::int64_t row, std::int64_t index, std::string_view bytes)
  // for each non-null line of each non-null row; `index` is the line's
  // position in its row's list (null lines leave gaps).
  template <class F>
  void for_each_nested(F&& f) const {
    if (rows_.large) {
      switch (strings_.layout) {
        case Layout::Utf8: nested<std::int64_t, Layout::Utf8>(f); return;
        case Layout::LargeUtf8: nested<std::int64_t, Layout::LargeUtf8>(f); return;
        case Layout::View: nested<std::int64_t, Layout::View>(f); return;
      }
    } else {
      switch (strings_.layout) {
        case Layout::Utf8: nested<std::int32_t, Layout::Utf8>(f); return;
        case Layout::LargeUtf8: nested<std::int32_t, Layout::LargeUtf8>(f); return;
        case Layout::View: nested<std::int32_t, Layout::View>(f); return;
      }
    }
  }

  enum class Layout : std::uint8_t { Utf8, LargeUtf8, View };

  // One level of an imported array, as open() found it.
  struct Level {
    const std::uint8_t* validity = nullptr;  // null: no nulls
    std::int64_t offset = 0;
    std::int64_t length = 0;
    const void* offsets = nullptr;           // int32 or int64 (utf8, large_utf8, lists)
  };
  struct Strings : Level {
    Layout layout = Layout::Utf8;
    const char* data = nullptr;              // utf8, large_utf8
    std::int64_t first = 0, last = 0;        // utf8, large_utf8: the offsets' range as checked
    const std::uint8_t* views = nullptr;     // string_view: 16 bytes per entry
    const void* const* variadic = nullptr;   // string_view: the data buffers
    std::vector<std::int64_t> sizes;         // string_view: their sizes, as checked
  };
  struct Rows : Level {
    bool large = false;                      // 64-bit list offsets
  };

 private:
  bool valid(const Level& level, std::int64_t i) const {
    return level.validity == nullptr || get_bit(level.validity, i);
  }

  // The string at physical index `i`.
  template <Layout L>
  std::string_view string_at(std::int64_t i) const {
    if constexpr (L == Layout::View) {
      const std::uint8_t* view = strings_.views + i * 16;
      std::int32_t size;
      std::memcpy(&size, view, 4);
      if (size <= 12) return {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(size < 0 ? 0 : size)};
      std::int32_t buffer, offset;
      std::memcpy(&buffer, view + 8, 4);
      std::memcpy(&offset, view + 12, 4);
      if (static_cast<std::uint32_t>(buffer) >= strings_.sizes.size() || offset < 0 ||
          std::int64_t{offset} + size > strings_.sizes[static_cast<std::size_t>(buffer)]) [[unlikely]] {
        return {};
      }
      return {static_cast<const char*>(strings_.variadic[buffer]) + offset, static_cast<std::size_t>(size)};
    } else {
      using O = std::conditional_t<L == Layout::Utf8, std::int32_t, std::int64_t>;
      const O* o = static_cast<const O*>(strings_.offsets) + i;
      const std::int64_t begin = o[0], end = o[1];
      if (begin < strings_.first || end < begin || end > strings_.last) [[unlikely]] return {};
      return {strings_.data + begin, static_cast<std::size_t>(end - begin)};
    }
  }

  template <Layout L, class F>
  void flat(F& f) const {
    const std::int64_t base = strings_.offset;
    if (strings_.validity == nullptr) {
      for (std::int64_t i = 0; i < strings_.length; ++i) f(i, string_at<L>(base + i));
    } else {
      for (std::int64_t i = 0; i < strings_.length; ++i)
        if (get_bit(strings_.validity, base + i)) f(i, string_at<L>(base + i));
    }
  }

  template <class O, Layout L, class F>
  void nested(F& f) const {
    if (rows_.length == 0) return;
    const O* o = static_cast<const O*>(rows_.offsets) + rows_.offset;
    for (std::int64_t row = 0; row < rows_.length; ++row) {
      if (!valid(rows_, rows_.offset + row)) continue;
      // Clamped to the items open() saw, whatever the offsets say now.
      const std::int64_t begin = std::max<std::int64_t>(o[row], 0);
      const std::int64_t end = std::min<std::int64_t>(o[row + 1], strings_.length);
      for (std::int64_t j = begin; j < end; ++j) {
        const std::int64_t i = strings_.offset + j;
        if (valid(strings_, i)) f(row, j - begin, string_at<L>(i));
      }
    }
  }

  bool nested_ = false;
  Strings strings_;
  Rows rows_;
};

}  // namespace brisquel::arrow
