// Two more sinks of the walk. JsonSink writes a value as JSON text, exactly as
// the command line writes decoded values (integers of any width as exact
// numbers, public keys as base58, bytes as lowercase hex, NaN and the
// infinities as strings); it stores values no table column can hold, such as
// those of types that contain themselves. SkipSink checks and consumes a
// value and makes nothing, for a value that a later one of the same name
// replaces.
#pragma once

#include <bit>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "codec/base58.hpp"
#include "codec/decimal.hpp"
#include "codec/json_text.hpp"
#include "core/borsh_walk.hpp"

namespace brisquel {

class JsonSink {
 public:
  using Value = bool;
  struct Slot {};
  using Walk = BorshWalk<JsonSink>;
  using Kind = TypeNode::Kind;

  explicit JsonSink(std::string& out) : out_(out) {}

  static bool failure() { return false; }

  bool scalar(Walk&, Slot, Kind kind, const std::uint8_t* b) {
    write_scalar(kind, b);
    return true;
  }
  bool bulk(Kind) const { return true; }
  bool scalars(Walk&, Slot, Kind kind, const std::uint8_t* b, std::uint64_t count) {
    const std::uint64_t width = scalar_width(kind);
    out_ += '[';
    for (std::uint64_t i = 0; i < count; ++i, b += width) {
      if (i != 0) out_ += ", ";
      write_scalar(kind, b);
    }
    out_ += ']';
    return true;
  }
  bool bytes(Walk&, Slot, std::span<const std::uint8_t> body) {
    codec::append_hex(out_, body);
    return true;
  }
  bool string(Walk&, Slot, std::string_view text, bool) {
    codec::append_json_string(out_, text);
    return true;
  }
  bool none(Walk&, Slot) {
    out_ += "null";
    return true;
  }
  Slot some(Slot slot) { return slot; }

  bool list(Walk& w, Slot, const TypeNode& element, std::uint64_t count) {
    out_ += '[';
    for (std::uint64_t i = 0; i < count; ++i) {
      if (i != 0) out_ += ", ";
      if (!w.decode_element(element, {}, i)) return false;
    }
    out_ += ']';
    return true;
  }

  bool fields(Walk& w, Slot, const FieldList& list, bool may_end) {
    const std::size_t n = list.types.size();
    if (list.named && list.repeats_names) return repeated_names(w, list, may_end);
    out_ += list.named ? '{' : '[';
    for (std::size_t i = 0; i < n; ++i) {
      if (i != 0) out_ += ", ";
      if (list.named) {
        codec::append_json_string(out_, list.names[i]);
        out_ += ": ";
      }
      if (!field(w, list, i, may_end)) return false;
    }
    out_ += list.named ? '}' : ']';
    return true;
  }

  bool no_fields(Walk&, Slot) {
    out_ += "{}";
    return true;
  }

  bool variant(Walk& w, Slot, const Definition& enumeration, std::size_t index) {
    const Variant& v = enumeration.variants[index];
    if (!v.fields) {
      codec::append_json_string(out_, v.name);
      return true;
    }
    out_ += '{';
    codec::append_json_string(out_, v.name);
    out_ += ": ";
    if (!w.decode_variant(v, {})) return false;
    out_ += '}';
    return true;
  }

 private:
  bool field(Walk& w, const FieldList& list, std::size_t i, bool may_end) {
    if (may_end && w.ended_before(list, i)) return none(w, {});
    return w.decode_field(list, i, {});
  }

  // As a map would hold them: each name once, where it first stands, with
  // the value of its last field.
  bool repeated_names(Walk& w, const FieldList& list, bool may_end) {
    const std::size_t n = list.types.size();
    std::vector<std::string> values(n);
    for (std::size_t i = 0; i < n; ++i) {
      JsonSink sub(values[i]);
      Walk sub_walk(sub, w.state());
      if (!sub.field(sub_walk, list, i, may_end)) return false;
    }
    out_ += '{';
    bool first = true;
    for (std::size_t i = 0; i < n; ++i) {
      bool seen = false;
      for (std::size_t j = 0; j < i && !seen; ++j) seen = list.names[j] == list.names[i];
      if (seen) continue;
      std::size_t last = i;
      for (std::size_t j = i + 1; j < n; ++j) {
        if (list.names[j] == list.names[i]) last = j;
      }
      if (!first) out_ += ", ";
      first = false;
      codec::append_json_string(out_, list.names[i]);
      out_ += ": ";
      out_ += values[last];
    }
    out_ += '}';
    return true;
  }

  void write_scalar(Kind kind, const std::uint8_t* b) {
    switch (kind) {
      case Kind::Bool: out_ += b[0] != 0 ? "true" : "false"; return;
      case Kind::U8: codec::append_u64_decimal(out_, b[0]); return;
      case Kind::I8: codec::append_i64_decimal(out_, static_cast<std::int8_t>(b[0])); return;
      case Kind::U16: codec::append_u64_decimal(out_, load_le<std::uint16_t>(b)); return;
      case Kind::I16: codec::append_i64_decimal(out_, load_le<std::int16_t>(b)); return;
      case Kind::U32: codec::append_u64_decimal(out_, load_le<std::uint32_t>(b)); return;
      case Kind::I32: codec::append_i64_decimal(out_, load_le<std::int32_t>(b)); return;
      case Kind::F32:
        codec::append_json_float(out_, static_cast<double>(std::bit_cast<float>(load_le<std::uint32_t>(b))));
        return;
      case Kind::U64: codec::append_u64_decimal(out_, load_le<std::uint64_t>(b)); return;
      case Kind::I64: codec::append_i64_decimal(out_, load_le<std::int64_t>(b)); return;
      case Kind::F64: codec::append_json_float(out_, std::bit_cast<double>(load_le<std::uint64_t>(b))); return;
      case Kind::U128: codec::append_u128_decimal(out_, std::span<const std::uint8_t, 16>(b, 16)); return;
      case Kind::I128: codec::append_i128_decimal(out_, std::span<const std::uint8_t, 16>(b, 16)); return;
      case Kind::U256: codec::append_u256_decimal(out_, std::span<const std::uint8_t, 32>(b, 32)); return;
      case Kind::I256: codec::append_i256_decimal(out_, std::span<const std::uint8_t, 32>(b, 32)); return;
      case Kind::Pubkey: {
        const std::size_t at = out_.size();
        out_.resize_and_overwrite(at + codec::kBase58PubkeyMaxText + 2, [&](char* p, std::size_t) {
          p[at] = '"';
          const std::size_t n = codec::write_base58_pubkey(std::span<const std::uint8_t, 32>(b, 32), p + at + 1);
          p[at + n + 1] = '"';
          return at + n + 2;
        });
        return;
      }
      default: return;
    }
  }

  std::string& out_;
};

class SkipSink {
 public:
  using Value = bool;
  struct Slot {};
  using Walk = BorshWalk<SkipSink>;
  using Kind = TypeNode::Kind;

  static bool failure() { return false; }
  bool scalar(Walk&, Slot, Kind, const std::uint8_t*) { return true; }
  bool bulk(Kind) const { return true; }
  bool scalars(Walk&, Slot, Kind, const std::uint8_t*, std::uint64_t) { return true; }
  bool bytes(Walk&, Slot, std::span<const std::uint8_t>) { return true; }
  bool string(Walk&, Slot, std::string_view, bool) { return true; }
  bool none(Walk&, Slot) { return true; }
  Slot some(Slot slot) { return slot; }
  bool list(Walk& w, Slot, const TypeNode& element, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!w.decode_element(element, {}, i)) return false;
    }
    return true;
  }
  bool fields(Walk& w, Slot, const FieldList& list, bool may_end) {
    for (std::size_t i = 0; i < list.types.size(); ++i) {
      if (may_end && w.ended_before(list, i)) return true;
      if (!w.decode_field(list, i, {})) return false;
    }
    return true;
  }
  bool no_fields(Walk&, Slot) { return true; }
  bool variant(Walk& w, Slot, const Definition& enumeration, std::size_t index) {
    return w.decode_variant(enumeration.variants[index], {});
  }
};

}  // namespace brisquel
