#include "core/c_layout.hpp"

#include <algorithm>
#include <bit>

namespace brisquel::clayout {
namespace {

// `value` rounded up to a multiple of `align` (a power of two), or nullopt past the bound.
std::optional<std::uint64_t> round_up(std::uint64_t value, std::uint64_t align) {
  if (value > kMaxLayoutBytes) return std::nullopt;
  const std::uint64_t rounded = (value + align - 1) & ~(align - 1);
  if (rounded > kMaxLayoutBytes) return std::nullopt;
  return rounded;
}

}  // namespace

std::optional<Shape> scalar(idl::IdlType::Kind kind) {
  using Kind = idl::IdlType::Kind;
  switch (kind) {
    case Kind::Bool: case Kind::U8: case Kind::I8: return Shape{1, 1};
    case Kind::U16: case Kind::I16: return Shape{2, 2};
    case Kind::U32: case Kind::I32: case Kind::F32: return Shape{4, 4};
    case Kind::U64: case Kind::I64: case Kind::F64: return Shape{8, 8};
    case Kind::U128: case Kind::I128: return Shape{16, 8};
    case Kind::U256: case Kind::I256: return Shape{32, 8};  // four 64-bit limbs
    case Kind::Pubkey: return Shape{32, 1};
    default: return std::nullopt;
  }
}

std::optional<Shape> array(Shape element, std::uint64_t count) {
  if (element.size != 0 && count > kMaxLayoutBytes / element.size) return std::nullopt;
  return Shape{element.size * count, element.align};
}

std::optional<Repr> repr_of(const std::optional<idl::IdlRepr>& repr) {
  Repr out;
  if (!repr) return out;
  if (repr->kind == idl::IdlRepr::Kind::Transparent) {
    out.transparent = true;
    return out;
  }
  out.packed = repr->modifier.packed;
  if (repr->modifier.align) {
    const std::uint64_t a = *repr->modifier.align;
    if (!std::has_single_bit(a) || a > kMaxAlign) return std::nullopt;
    out.align = a;
  }
  return out;
}

std::optional<Struct> fields(std::span<const Shape> fields, const Repr& repr) {
  Struct out;
  if (repr.transparent) {
    if (fields.size() != 1) return std::nullopt;
    out.shape = fields[0];
    out.offsets.push_back(0);
    return out;
  }
  std::uint64_t end = 0, align = 1;
  for (const Shape& f : fields) {
    const std::uint64_t a = repr.packed ? 1 : f.align;
    const auto at = round_up(end, a);
    if (!at || f.size > kMaxLayoutBytes - *at) return std::nullopt;
    out.offsets.push_back(*at);
    end = *at + f.size;
    align = std::max(align, a);
  }
  align = std::max(align, repr.align);
  const auto size = round_up(end, align);
  if (!size) return std::nullopt;
  out.shape = Shape{*size, align};
  return out;
}

std::vector<std::uint32_t> gaps(const Struct& laid, std::span<const Shape> fields) {
  std::vector<std::uint32_t> out;
  std::uint64_t end = 0;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    out.push_back(static_cast<std::uint32_t>(laid.offsets[i] - end));
    end = laid.offsets[i] + fields[i].size;
  }
  out.push_back(static_cast<std::uint32_t>(laid.shape.size - end));
  return out;
}

Shape rust_enum_tag(std::uint64_t variants) {
  if (variants <= 256) return {1, 1};
  if (variants <= 65'536) return {2, 2};
  return {4, 4};
}

}  // namespace brisquel::clayout
