// The walk's sink that appends values to Arrow column builders, following the
// event's slot plan. A value that fails half way leaves entries behind in some
// columns; the table rolls the whole row back.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/base58.hpp"
#include "codec/decimal.hpp"
#include "core/arrow/builder.hpp"
#include "core/borsh_walk.hpp"
#include "core/fault.hpp"
#include "core/json_sink.hpp"
#include "core/table_schema.hpp"

namespace brisquel {

// A slot plan bound to the builders of one table.
struct ColumnSlot {
  SlotPlan::Mode mode = SlotPlan::Mode::Scalar;
  arrow::ColumnBuilder* column = nullptr;  // none for Skip and Absent
  std::vector<ColumnSlot> children;
  // A slot always takes values of one type, so what the sink works out of
  // that type is kept on first use: the bytes such a value takes, enums of
  // unit variants allowed (0: not of fixed width), and the same, enums
  // refused, as the item of a list, with how deep it nests.
  static constexpr std::uint64_t kUnknown = UINT64_MAX;
  mutable std::uint64_t fill_width = kUnknown;
  mutable std::uint64_t item_width = kUnknown;
  mutable int item_levels = 0;

  void bind(const SlotPlan& plan, arrow::ColumnBuilder* own) {
    mode = plan.mode;
    column = own;
    children.resize(plan.children.size());
    for (std::size_t i = 0; i < plan.children.size(); ++i) {
      const SlotPlan& c = plan.children[i];
      const bool none = c.mode == SlotPlan::Mode::Skip || c.mode == SlotPlan::Mode::Absent;
      children[i].bind(c, none ? nullptr : c.column >= 0 ? &own->child(static_cast<std::size_t>(c.column)) : own);
    }
  }
};

// A unit enum in a value of fixed width: its offset, the bytes of its index
// and how many variants it has.
struct EnumAt {
  std::uint64_t at = 0;
  std::uint8_t width = 1;
  std::size_t variants = 0;
};
// How the fixed-width check takes enums: refused, or taken (their places
// recorded in `found` if given).
struct EnumScan {
  bool allowed = false;
  std::vector<EnumAt>* found = nullptr;
};

class ArrowSink {
 public:
  using Value = bool;
  using Slot = const ColumnSlot*;
  using Walk = BorshWalk<ArrowSink>;
  using Kind = TypeNode::Kind;
  using Mode = SlotPlan::Mode;

  explicit ArrowSink(const TableOptions& options) : options_(options) {}

  static bool failure() { return false; }

  // Values stored as JSON text, and values only consumed, are made by other sinks.
  bool diverted(Slot slot) const { return slot->mode == Mode::Json || slot->mode == Mode::Skip; }
  bool divert(Walk& w, const TypeNode& type, Slot slot) {
    if (slot->mode == Mode::Skip) {
      SkipSink skip;
      SkipSink::Walk walk(skip, w.state());
      return walk.decode_type(type, {});
    }
    json_.clear();
    JsonSink json(json_);
    JsonSink::Walk walk(json, w.state());
    if (!walk.decode_type(type, {})) return false;
    return slot->column->append_binary(json_) || too_large(w);
  }

  bool scalar(Walk& w, Slot slot, Kind kind, const std::uint8_t* b) { return put(w, *slot->column, kind, b); }

  bool bulk(Kind) const { return true; }
  bool scalars(Walk& w, Slot slot, Kind kind, const std::uint8_t* b, std::uint64_t count) {
    arrow::ColumnBuilder& items = *slot->children[0].column;
    if (raw(kind)) {
      items.append_fixed_run(b, count);
    } else {
      const std::uint64_t width = scalar_width(kind);
      for (std::uint64_t i = 0; i < count; ++i, b += width) {
        if (!put(w, items, kind, b)) return false;
      }
    }
    return close_list(w, slot);
  }

  bool bytes(Walk& w, Slot slot, std::span<const std::uint8_t> body) {
    return slot->column->append_binary({reinterpret_cast<const char*>(body.data()), body.size()}) || too_large(w);
  }
  bool string(Walk& w, Slot slot, std::string_view text, bool) {
    return slot->column->append_binary(text) || too_large(w);
  }

  bool none(Walk&, Slot slot) {
    slot->column->append_null();
    return true;
  }
  Slot some(Slot slot) {
    if (slot->mode == Mode::Wrap) slot->column->append_valid();
    return &slot->children[0];
  }

  bool list(Walk& w, Slot slot, const TypeNode& element, std::uint64_t count) {
    const ColumnSlot* item = &slot->children[0];
    if (count > 1 && !element.scalar) {
      // Structs and arrays of fixed width whose bytes are all there cannot
      // fail one by one: they go in a column at a time.
      if (item->item_width == ColumnSlot::kUnknown) {
        item->item_width = fixed_width(element, *item, 0, item->item_levels).value_or(0);
      }
      const std::uint64_t stride = item->item_width;
      if (stride != 0 && count <= w.remaining() / stride &&
          w.state().depth + 2 * item->item_levels + 4 < kMaxTypeDepth) {
        const std::uint8_t* b = w.state().cursor.try_take(count * stride);
        return fill(w, *item, element, b, stride, count) && close_list(w, slot);
      }
    }
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!w.decode_element(element, item, i)) return false;
    }
    return close_list(w, slot);
  }

  bool fields(Walk& w, Slot slot, const FieldList& list, bool may_end) {
    if (slot->mode == Mode::Present) {
      slot->column->append_bool(true);
      return true;
    }
    slot->column->append_valid();
    const std::size_t n = list.types.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (may_end && w.ended_before(list, i)) {
        for (std::size_t j = i; j < n; ++j) {
          if (slot->children[j].column != nullptr) slot->children[j].column->append_null();
        }
        return true;
      }
      if (!w.decode_field(list, i, &slot->children[i])) return false;
    }
    return true;
  }

  // Rows of a body type that is of fixed width in plain columns can be
  // decoded many at once, a column at a time: the bytes a row takes, or 0
  // when they cannot; and whether its last field takes none.
  // `enums`: where the row's enums are, whose indexes a row must have in
  // range to be decoded so (see enums_in_range).
  static std::uint64_t fixed_row_width(const FieldList& list, const ColumnSlot& slot, bool& empty_tail,
                                       std::vector<EnumAt>& enums) {
    int levels = 0;
    const std::uint64_t width = fields_width(list, slot, 0, levels, {true, &enums}).value_or(0);
    empty_tail = width != 0 && !list.types.empty() &&
                 fixed_width(*list.types.back(), slot.children.back(), 0, levels, {true}).value_or(0) == 0;
    if (width == 0) enums.clear();
    return width;
  }
  static bool enums_in_range(std::span<const EnumAt> enums, const std::uint8_t* row) {
    for (const EnumAt& e : enums) {
      if (enum_index(e.width, row + e.at) >= e.variants) return false;
    }
    return true;
  }
  // `count` such rows, `stride` bytes apart from `b`: they cannot fail, as
  // batches close far below the offsets' range.
  void fill_rows(Walk& w, const ColumnSlot& slot, const FieldList& list, const std::uint8_t* b, std::uint64_t stride,
                 std::uint64_t count) {
    if (!fill_fields(w, slot, list, b, stride, count)) throw Fault("rows of fixed width failed to decode");
  }

  bool no_fields(Walk&, Slot slot) {
    if (slot->mode == Mode::Present) slot->column->append_bool(true);
    else slot->column->append_valid();
    return true;
  }

  bool variant(Walk& w, Slot slot, const Definition& enumeration, std::size_t index) {
    const int at = static_cast<int>(index);
    if (slot->mode == Mode::UnitEnum) {
      append_variant(*slot->column, at);
      return true;
    }
    slot->column->append_valid();
    append_variant(*slot->children[0].column, at);
    for (std::size_t v = 0; v < enumeration.variants.size(); ++v) {
      const ColumnSlot& data = slot->children[1 + v];
      if (v != index && data.column != nullptr) data.column->append_null();
    }
    const ColumnSlot& chosen = slot->children[1 + index];
    if (chosen.column == nullptr) return true;  // a unit variant
    return w.decode_variant(enumeration.variants[index], &chosen);
  }

 private:
  // The bytes a value of `type` takes when it and everything in it is of
  // fixed width in plain columns of `slot`: scalars, arrays of such values,
  // structs of them (without generics, nested at most a few levels) and,
  // where `scan` allows, enums of unit variants; else nullopt. Arrays of
  // anything but scalars hold values of at least a byte, as the walk counts
  // values of none. `levels`: how deep they nest. `at`: where the value
  // starts, for the enums `scan` records.
  static std::optional<std::uint64_t> fixed_width(const TypeNode& type, const ColumnSlot& slot, int level,
                                                  int& levels, const EnumScan& scan = {}, std::uint64_t at = 0) {
    if (level > 8) return std::nullopt;
    levels = std::max(levels, level + 1);
    if (type.scalar) {
      if (type.width == 0 || slot.mode != Mode::Scalar || slot.column == nullptr) return std::nullopt;
      return type.width;
    }
    if (type.kind == Kind::Array) {
      if (type.generic_len || type.len > (1u << 20)) return std::nullopt;
      if ((slot.mode != Mode::List && slot.mode != Mode::FixedList) || slot.column == nullptr ||
          slot.children.empty()) {
        return std::nullopt;
      }
      std::vector<EnumAt> found;
      const EnumScan inner_scan{scan.allowed, scan.found != nullptr ? &found : nullptr};
      const auto inner = fixed_width(*type.inner, slot.children[0], level + 1, levels, inner_scan);
      const std::uint64_t most = kMaxFixedWidth / std::max<std::uint64_t>(type.len, 1);
      if (!inner || (*inner == 0 && !type.inner->scalar) || *inner > most) return std::nullopt;
      if (!found.empty()) {
        if (found.size() * type.len + scan.found->size() > kMaxEnums) return std::nullopt;
        for (std::uint64_t i = 0; i < type.len; ++i) {
          for (EnumAt e : found) scan.found->push_back({at + i * *inner + e.at, e.width, e.variants});
        }
      }
      return type.len * *inner;
    }
    if (type.kind != Kind::Defined || type.has_generics || type.definition == nullptr) return std::nullopt;
    const Definition& d = *type.definition;
    if (d.kind == Definition::Kind::Enum) {
      if (!scan.allowed || slot.mode != Mode::UnitEnum || slot.column == nullptr || d.tag != nullptr) return std::nullopt;
      if (scan.found != nullptr) {
        if (scan.found->size() >= kMaxEnums) return std::nullopt;
        scan.found->push_back({at, d.tag_bytes, d.variants.size()});
      }
      return std::max<std::uint64_t>(d.tag_bytes, d.c_size);
    }
    if (d.kind != Definition::Kind::Struct || !d.fields) return std::nullopt;
    return fields_width(*d.fields, slot, level, levels, scan, at);
  }
  static std::optional<std::uint64_t> fields_width(const FieldList& f, const ColumnSlot& slot, int level,
                                                   int& levels, const EnumScan& scan = {}, std::uint64_t at = 0) {
    if (slot.mode != Mode::Struct || slot.column == nullptr || slot.children.size() != f.types.size()) {
      return std::nullopt;
    }
    std::uint64_t width = 0;
    for (std::size_t i = 0; i < f.types.size(); ++i) {
      if (!f.gaps.empty()) width += f.gaps[i];
      const auto field = fixed_width(*f.types[i], slot.children[i], level + 1, levels, scan, at + width);
      if (!field) return std::nullopt;
      width += *field;
      if (width > kMaxFixedWidth) return std::nullopt;
    }
    return width + (f.gaps.empty() ? 0 : f.gaps.back());
  }

  // The bytes a value of `type` in `slot` takes, of fixed width (checked before).
  static std::uint64_t fill_width(const TypeNode& type, const ColumnSlot& slot) {
    if (slot.fill_width == ColumnSlot::kUnknown) {
      int levels = 0;
      slot.fill_width = fixed_width(type, slot, 0, levels, {true}).value_or(0);
    }
    return slot.fill_width;
  }

  // `count` values of `type`, `stride` bytes apart from `b`, into `slot`'s
  // columns (checked by fixed_width).
  bool fill(Walk& w, const ColumnSlot& slot, const TypeNode& type, const std::uint8_t* b, std::uint64_t stride,
            std::uint64_t count) {
    if (type.scalar) return put_run(w, *slot.column, type.kind, b, stride, count);
    if (type.kind == Kind::Array) {
      const TypeNode& inner = *type.inner;
      if (inner.scalar) {
        for (std::uint64_t k = 0; k < count; ++k) {
          if (!scalars(w, &slot, inner.kind, b + k * stride, type.len)) return false;
        }
        return true;
      }
      const std::uint64_t width = fill_width(inner, slot.children[0]);
      for (std::uint64_t k = 0; k < count; ++k) {
        if (!fill(w, slot.children[0], inner, b + k * stride, width, type.len) || !close_list(w, &slot)) return false;
      }
      return true;
    }
    const Definition& d = *type.definition;
    if (d.kind == Definition::Kind::Enum) {
      // Checked before: every index names a variant.
      for (std::uint64_t k = 0; k < count; ++k, b += stride) {
        append_variant(*slot.column, static_cast<int>(enum_index(d.tag_bytes, b)));
      }
      return true;
    }
    return fill_fields(w, slot, *d.fields, b, stride, count);
  }
  bool fill_fields(Walk& w, const ColumnSlot& slot, const FieldList& list, const std::uint8_t* b,
                   std::uint64_t stride, std::uint64_t count) {
    for (std::uint64_t k = 0; k < count; ++k) slot.column->append_valid();
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < list.types.size(); ++i) {
      if (!list.gaps.empty()) at += list.gaps[i];
      const std::uint64_t width = fill_width(*list.types[i], slot.children[i]);
      if (!fill(w, slot.children[i], *list.types[i], b + at, stride, count)) return false;
      at += width;
    }
    return true;
  }

  // `count` scalars of one kind, `stride` bytes apart: the kind chosen once.
  bool put_run(Walk& w, arrow::ColumnBuilder& c, Kind kind, const std::uint8_t* b, std::uint64_t stride,
               std::uint64_t count) {
    auto each = [&](auto&& one) {
      for (std::uint64_t k = 0; k < count; ++k, b += stride) {
        if (!one(b)) return false;
      }
      return true;
    };
    switch (kind) {
      case Kind::U8: case Kind::I8: return each([&](const std::uint8_t* p) { return c.append_fixed<1>(p), true; });
      case Kind::U16: case Kind::I16: return each([&](const std::uint8_t* p) { return c.append_fixed<2>(p), true; });
      case Kind::U32: case Kind::I32: case Kind::F32:
        return each([&](const std::uint8_t* p) { return c.append_fixed<4>(p), true; });
      case Kind::U64: case Kind::I64: case Kind::F64:
        return each([&](const std::uint8_t* p) { return c.append_fixed<8>(p), true; });
      case Kind::U128: return each([&](const std::uint8_t* p) { return put(w, c, Kind::U128, p); });
      case Kind::I128: return each([&](const std::uint8_t* p) { return put(w, c, Kind::I128, p); });
      case Kind::Pubkey: return each([&](const std::uint8_t* p) { return put(w, c, Kind::Pubkey, p); });
      default: return each([&](const std::uint8_t* p) { return put(w, c, kind, p); });
    }
  }

  // Kinds whose Borsh bytes are already the column's values.
  bool raw(Kind kind) const {
    switch (kind) {
      case Kind::U8: case Kind::I8: case Kind::U16: case Kind::I16: case Kind::U32: case Kind::I32:
      case Kind::F32: case Kind::U64: case Kind::I64: case Kind::F64:
        return true;
      case Kind::Pubkey:
        return options_.binary_pubkeys;
      default:
        return false;
    }
  }

  [[gnu::always_inline]] bool put(Walk& w, arrow::ColumnBuilder& c, Kind kind, const std::uint8_t* b) {
    switch (kind) {
      case Kind::Bool: c.append_bool(b[0] != 0); return true;
      case Kind::U8: case Kind::I8: c.append_fixed<1>(b); return true;
      case Kind::U16: case Kind::I16: c.append_fixed<2>(b); return true;
      case Kind::U32: case Kind::I32: case Kind::F32: c.append_fixed<4>(b); return true;
      case Kind::U64: case Kind::I64: case Kind::F64: c.append_fixed<8>(b); return true;
      case Kind::U128:
      case Kind::I128: {
        const std::span<const std::uint8_t, 16> v(b, 16);
        if (options_.text_wide_ints) {
          char* out = c.begin_value(codec::kI128DecimalMax);
          const std::size_t n = kind == Kind::U128 ? codec::write_u128_decimal(out, v) : codec::write_i128_decimal(out, v);
          return c.end_value(n) || too_large(w);
        }
        // decimal256: the same number, sign- or zero-extended to 32 bytes.
        std::uint8_t wide[32];
        std::memcpy(wide, b, 16);
        std::memset(wide + 16, kind == Kind::I128 && (b[15] & 0x80) != 0 ? 0xFF : 0x00, 16);
        c.append_fixed<32>(wide);
        return true;
      }
      case Kind::U256:
      case Kind::I256: {
        const std::span<const std::uint8_t, 32> v(b, 32);
        char* out = c.begin_value(codec::kDecimalMax);
        const std::size_t n = kind == Kind::U256 ? codec::write_u256_decimal(out, v) : codec::write_i256_decimal(out, v);
        return c.end_value(n) || too_large(w);
      }
      case Kind::Pubkey: {
        if (options_.binary_pubkeys) {
          c.append_fixed<32>(b);
          return true;
        }
        char* out = c.begin_value(codec::kBase58PubkeyMaxText);
        return c.end_value(codec::write_base58_pubkey(std::span<const std::uint8_t, 32>(b, 32), out)) ||
               too_large(w);
      }
      default:
        return w.fail(Error(Error::Kind::GenericParameter));  // not a scalar: no such call
    }
  }

  bool close_list(Walk& w, Slot slot) {
    if (slot->mode == Mode::List) return slot->column->end_list() || too_large(w);
    slot->column->append_valid();
    return true;
  }

  static constexpr std::uint64_t kMaxFixedWidth = std::uint64_t{1} << 32;
  static constexpr std::size_t kMaxEnums = 256;  // checked per row: a few, or the row is decoded alone

  // An enum's index as the walk reads it: 1, 2 or 4 little-endian bytes.
  static std::uint64_t enum_index(std::uint8_t width, const std::uint8_t* b) {
    if (width == 2) return load_le<std::uint16_t>(b);
    if (width == 4) return load_le<std::uint32_t>(b);
    return b[0];
  }

  // The walk read an index below the enum's variant count, and the column's
  // dictionary holds one name per variant: anything else is a fault of ours.
  static void append_variant(arrow::ColumnBuilder& column, int index) {
    if (!column.append_index(index)) [[unlikely]] throw Fault("a variant outside its column's dictionary");
  }

  [[gnu::cold]] bool too_large(Walk& w) { return w.fail(Error(Error::Kind::ValueTooLarge, INT32_MAX)); }

  const TableOptions& options_;
  std::string json_;
};

}  // namespace brisquel
