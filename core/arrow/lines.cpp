#include "core/arrow/lines.hpp"

#include <format>
#include <string_view>

#include "core/arrow/format_name.hpp"

namespace brisquel::arrow {

namespace {

// Addresses past this cannot be real on any 64-bit target we run on (57-bit
// virtual addresses at most); a larger end comes from a forged offset.
constexpr std::uint64_t kAddressLimit = std::uint64_t{1} << 57;

bool is_string_format(std::string_view f) { return f == "u" || f == "U" || f == "vu"; }

// The checks every level shares; `buffers` is the exact count, or with `at_least` the least.
Result<void> check_level(const ArrowArray& a, std::int64_t buffers, std::int64_t children, std::string_view what,
                         bool at_least = false) {
  const auto bad = [&](std::string_view why) { return fail(std::format("malformed {} array: {}", what, why)); };
  if (a.release == nullptr) return bad("already released");
  if (a.length < 0 || a.offset < 0 || a.length > INT64_MAX - a.offset) return bad("negative or overflowing length");
  if (at_least ? a.n_buffers < buffers : a.n_buffers != buffers)
    return bad(std::format("{} buffers", a.n_buffers));
  if (a.buffers == nullptr) return bad("no buffer list");
  if (a.n_children != children || (children > 0 && a.children == nullptr)) return bad("wrong children");
  for (std::int64_t i = 0; i < children; ++i)
    if (a.children[i] == nullptr) return bad("missing child");
  if (a.dictionary != nullptr) return bad("unexpected dictionary");
  if (a.buffers[0] == nullptr && a.null_count > 0) return bad("nulls without a validity bitmap");
  return {};
}

void take_level(const ArrowArray& a, LineColumn::Level& level) {
  // A null count of 0 says the bitmap, if any, has no clear bit that matters.
  level.validity = a.null_count == 0 ? nullptr : static_cast<const std::uint8_t*>(a.buffers[0]);
  level.offset = a.offset;
  level.length = a.length;
  level.offsets = a.length == 0 ? nullptr : a.buffers[1];
}

// Offsets [offset, offset + length] of a non-empty level: non-negative and
// never decreasing; `end` gets the last one.
template <class O>
Result<void> check_offsets(const O* o, std::int64_t offset, std::int64_t length, std::int64_t& end,
                           std::string_view what) {
  if (o == nullptr) return fail(std::format("malformed {} array: no offsets buffer", what));
  o += offset;
  bool ordered = o[0] >= 0;
  for (std::int64_t i = 0; i < length; ++i) ordered &= o[i + 1] >= o[i];
  if (!ordered) return fail(std::format("malformed {} array: offsets negative or decreasing", what));
  end = static_cast<std::int64_t>(o[length]);
  return {};
}

Result<void> open_offset_strings(const ArrowArray& a, LineColumn::Strings& s, bool large) {
  const std::string_view what = large ? "large_utf8" : "utf8";
  if (auto ok = check_level(a, 3, 0, what); !ok) return ok;
  take_level(a, s);
  s.layout = large ? LineColumn::Layout::LargeUtf8 : LineColumn::Layout::Utf8;
  s.data = static_cast<const char*>(a.buffers[2]);
  if (a.length == 0) return {};
  std::int64_t end = 0;
  auto ok = large ? check_offsets(static_cast<const std::int64_t*>(s.offsets), a.offset, a.length, end, what)
                  : check_offsets(static_cast<const std::int32_t*>(s.offsets), a.offset, a.length, end, what);
  if (!ok) return ok;
  s.first = large ? static_cast<const std::int64_t*>(s.offsets)[a.offset]
                  : static_cast<const std::int32_t*>(s.offsets)[a.offset];
  s.last = end;
  if (s.data == nullptr) {
    if (end != 0) return fail(std::format("malformed {} array: offsets point into a missing data buffer", what));
  } else if (static_cast<std::uint64_t>(end) > kAddressLimit - reinterpret_cast<std::uintptr_t>(s.data)) {
    return fail(std::format("malformed {} array: offsets pass the end of memory", what));
  }
  return {};
}

// string_view buffers: validity, views, the variadic data buffers, then their sizes (int64 each).
Result<void> open_views(const ArrowArray& a, LineColumn::Strings& s) {
  if (auto ok = check_level(a, 3, 0, "string_view", true); !ok) return ok;
  take_level(a, s);
  s.layout = LineColumn::Layout::View;
  s.offsets = nullptr;
  const auto bad = [](std::string_view why) { return fail(std::format("malformed string_view array: {}", why)); };
  const std::int64_t n_data = a.n_buffers - 3;
  const auto* sizes = static_cast<const std::int64_t*>(a.buffers[a.n_buffers - 1]);
  if (n_data > 0 && sizes == nullptr) return bad("no buffer sizes");
  s.variadic = a.buffers + 2;
  s.sizes.assign(sizes, sizes + n_data);
  for (std::int64_t k = 0; k < n_data; ++k) {
    if (sizes[k] < 0 || (sizes[k] > 0 && s.variadic[k] == nullptr)) return bad("bad data buffer");
    if (s.variadic[k] != nullptr &&
        static_cast<std::uint64_t>(sizes[k]) > kAddressLimit - reinterpret_cast<std::uintptr_t>(s.variadic[k]))
      return bad("data buffer passes the end of memory");
  }
  s.views = static_cast<const std::uint8_t*>(a.buffers[1]);
  if (a.length == 0) return {};
  if (s.views == nullptr) return bad("no views buffer");
  for (std::int64_t i = a.offset; i < a.offset + a.length; ++i) {
    if (s.validity != nullptr && !get_bit(s.validity, i)) continue;
    const std::uint8_t* view = s.views + i * 16;
    std::int32_t size, buffer, offset;
    std::memcpy(&size, view, 4);
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    if (size < 0) return bad(std::format("negative length at {}", i));
    if (size <= 12) continue;
    if (buffer < 0 || buffer >= n_data || offset < 0 || std::int64_t{offset} + size > sizes[buffer])
      return bad(std::format("view {} points outside its data buffer", i));
  }
  return {};
}

Result<void> open_strings(std::string_view format, const ArrowArray& a, LineColumn::Strings& s) {
  if (format == "vu") return open_views(a, s);
  return open_offset_strings(a, s, format == "U");
}

}  // namespace

Result<bool> LineColumn::check_schema(const ArrowSchema& schema) {
  if (schema.release == nullptr) return fail("the schema is already released");
  if (schema.format == nullptr) return fail("the schema has no format");
  const std::string_view format = schema.format;
  const bool list = format == "+l" || format == "+L";
  const ArrowSchema* item = list && schema.n_children == 1 && schema.children != nullptr ? schema.children[0] : nullptr;
  const bool flat_ok = is_string_format(format) && schema.dictionary == nullptr;
  const bool nested_ok = item != nullptr && item->format != nullptr && is_string_format(item->format) &&
                         item->dictionary == nullptr && schema.dictionary == nullptr;
  if (!flat_ok && !nested_ok)
    return fail("expected utf8, large_utf8, string_view or a list of one of them; found " + format_name(schema));
  return !flat_ok;
}

Result<LineColumn> LineColumn::open(const ArrowSchema& schema, const ArrowArray& array) {
  auto nested = check_schema(schema);
  if (!nested) return fail(std::move(nested.error()));
  const std::string_view format = schema.format;
  const ArrowSchema* item = *nested ? schema.children[0] : nullptr;

  LineColumn column;
  if (!*nested) {
    if (auto ok = open_strings(format, array, column.strings_); !ok) return fail(std::move(ok.error()));
    return column;
  }
  const bool large = format == "+L";
  const std::string_view what = large ? "large_list" : "list";
  if (auto ok = check_level(array, 2, 1, what); !ok) return fail(std::move(ok.error()));
  column.nested_ = true;
  take_level(array, column.rows_);
  column.rows_.large = large;
  const ArrowArray& child = *array.children[0];
  if (auto ok = open_strings(item->format, child, column.strings_); !ok) return fail(std::move(ok.error()));
  if (array.length == 0) return column;
  std::int64_t end = 0;
  auto ok = large ? check_offsets(static_cast<const std::int64_t*>(column.rows_.offsets), array.offset,
                                  array.length, end, what)
                  : check_offsets(static_cast<const std::int32_t*>(column.rows_.offsets), array.offset,
                                  array.length, end, what);
  if (!ok) return fail(std::move(ok.error()));
  if (end > child.length)
    return fail(std::format("malformed {} array: offsets reach {}, past the {} items", what, end, child.length));
  return column;
}

}  // namespace brisquel::arrow
