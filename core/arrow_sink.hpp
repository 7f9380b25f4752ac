// The walk's sink that appends values to Arrow column builders, following the
// event's slot plan. A value that fails half way leaves entries behind in some
// columns; the table rolls the whole row back.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
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
    if (count > 1 && element.kind == Kind::Defined) {
      // Structs of fixed width whose bytes are all there cannot fail one by
      // one: they go in field by field, a column at a time.
      int levels = 0;
      const std::uint64_t stride = fixed_struct_width(element, *item, 0, levels);
      if (stride != 0 && count <= w.remaining() / stride &&
          w.state().depth + 2 * levels + 4 < kMaxTypeDepth) {
        const std::uint8_t* b = w.state().cursor.try_take(count * stride);
        return fill_structs(w, *item, *element.definition->fields, b, stride, count) && close_list(w, slot);
      }
    }
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!w.decode_element(element, item)) return false;
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
    return w.decode_fields(enumeration.variants[index].fields, &chosen);
  }

 private:
  // The bytes a value of `type` takes when it is a struct (without generics,
  // nested at most a few levels) of fixed-width scalars, arrays of them and
  // such structs, each stored in plain columns of `slot`; else 0. `levels`:
  // how deep its structs nest.
  static std::uint64_t fixed_struct_width(const TypeNode& type, const ColumnSlot& slot, int level, int& levels) {
    if (type.kind != Kind::Defined || type.has_generics || type.definition == nullptr || level > 8) return 0;
    const Definition& d = *type.definition;
    if (d.kind != Definition::Kind::Struct || !d.fields || slot.mode != Mode::Struct || slot.column == nullptr) return 0;
    const FieldList& f = *d.fields;
    if (slot.children.size() != f.types.size()) return 0;
    levels = std::max(levels, level + 1);
    std::uint64_t width = f.gaps.empty() ? 0 : f.gaps.back();
    for (std::size_t i = 0; i < f.types.size(); ++i) {
      const TypeNode& t = *f.types[i];
      const ColumnSlot& c = slot.children[i];
      if (!f.gaps.empty()) width += f.gaps[i];
      if (t.scalar && t.width != 0) {
        if (c.mode != Mode::Scalar || c.column == nullptr) return 0;
        width += t.width;
      } else if (t.kind == Kind::Array) {
        if (t.generic_len || !t.inner->scalar || t.inner->width == 0 || t.len > (1u << 20)) return 0;
        if ((c.mode != Mode::List && c.mode != Mode::FixedList) || c.column == nullptr || c.children.empty() ||
            c.children[0].mode != Mode::Scalar || c.children[0].column == nullptr) {
          return 0;
        }
        width += t.len * t.inner->width;
      } else {
        const std::uint64_t inner = fixed_struct_width(t, c, level + 1, levels);
        if (inner == 0) return 0;
        width += inner;
      }
    }
    return width;
  }

  // `count` structs of `list`, `stride` bytes apart from `b`, into `slot`'s
  // columns (checked by fixed_struct_width).
  bool fill_structs(Walk& w, const ColumnSlot& slot, const FieldList& list, const std::uint8_t* b,
                    std::uint64_t stride, std::uint64_t count) {
    for (std::uint64_t k = 0; k < count; ++k) slot.column->append_valid();
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < list.types.size(); ++i) {
      const TypeNode& t = *list.types[i];
      const ColumnSlot& c = slot.children[i];
      if (!list.gaps.empty()) at += list.gaps[i];
      if (t.scalar) {
        if (!put_run(w, *c.column, t.kind, b + at, stride, count)) return false;
        at += t.width;
      } else if (t.kind == Kind::Array) {
        for (std::uint64_t k = 0; k < count; ++k) {
          if (!scalars(w, &c, t.inner->kind, b + at + k * stride, t.len)) return false;
        }
        at += t.len * t.inner->width;
      } else {
        int levels = 0;
        const std::uint64_t width = fixed_struct_width(t, c, 0, levels);
        if (!fill_structs(w, c, *t.definition->fields, b + at, stride, count)) return false;
        at += width;
      }
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
        codec::Base58Buffer buffer;
        return c.append_binary(codec::encode_base58_pubkey(std::span<const std::uint8_t, 32>(b, 32), buffer)) ||
               too_large(w);
      }
      default:
        return w.fail(DecodeError(DecodeError::Kind::GenericParameter));  // not a scalar: no such call
    }
  }

  bool close_list(Walk& w, Slot slot) {
    if (slot->mode == Mode::List) return slot->column->end_list() || too_large(w);
    slot->column->append_valid();
    return true;
  }

  // The walk read an index below the enum's variant count, and the column's
  // dictionary holds one name per variant: anything else is a fault of ours.
  static void append_variant(arrow::ColumnBuilder& column, int index) {
    if (!column.append_index(index)) [[unlikely]] throw Fault("a variant outside its column's dictionary");
  }

  [[gnu::cold]] bool too_large(Walk& w) { return w.fail(DecodeError(DecodeError::Kind::ValueTooLarge, INT32_MAX)); }

  const TableOptions& options_;
  std::string json_;
};

}  // namespace brisquel
