// C layouts as the programs' target lays them out (SBF/BPF, which is not the
// host: 128-bit integers align to 8 there, not 16). Sizes, alignments and
// field offsets, every sum and product checked against kMaxLayoutBytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "idl/model.hpp"

namespace brisquel::clayout {

// No account holds more (Solana's largest account data, 10 MiB): a layout
// past it cannot be an account's, and the bound keeps every offset small.
inline constexpr std::uint64_t kMaxLayoutBytes = std::uint64_t{10} << 20;
// The largest alignment a repr may ask for (Rust's own bound is 2^29).
inline constexpr std::uint64_t kMaxAlign = std::uint64_t{1} << 29;

struct Shape {
  std::uint64_t size = 0;
  std::uint64_t align = 1;
  bool operator==(const Shape&) const = default;
};

// A scalar's shape on the target; nullopt for `string` and `bytes`, which
// have no fixed size. Every primitive aligns to its size up to 8; bool, u8
// and public keys to 1.
std::optional<Shape> scalar(idl::IdlType::Kind kind);

// `count` elements in a row, aligned as one.
std::optional<Shape> array(Shape element, std::uint64_t count);

// How a definition's `repr` changes the plain C rules.
struct Repr {
  bool packed = false;       // alignment 1, no padding
  std::uint64_t align = 0;   // at least this alignment (0: none asked)
  bool transparent = false;  // the one field's layout
};

// The repr of an IDL definition, or nullopt when it asks for an alignment
// that is not a power of two up to kMaxAlign. No repr, and `rust`, read as C:
// a type inside a zero-copy account is plain old data, so it has a C layout.
std::optional<Repr> repr_of(const std::optional<idl::IdlRepr>& repr);

struct Struct {
  Shape shape;
  std::vector<std::uint64_t> offsets;  // one per field
};

// Fields laid out in order, each at the next offset its alignment allows;
// the size rounded up to the struct's alignment. nullopt past kMaxLayoutBytes,
// or a transparent repr over other than one field.
std::optional<Struct> fields(std::span<const Shape> fields, const Repr& repr);

// The padding of a laid-out struct: before each field, then after the last.
std::vector<std::uint32_t> gaps(const Struct& laid, std::span<const Shape> fields);

// A C enum's index on the target: a C int (4 bytes).
inline constexpr Shape kCEnumTag{4, 4};

// The smallest integer that holds a Rust enum's index: 1 byte up to 256
// variants, 2 up to 65,536, else 4.
Shape rust_enum_tag(std::uint64_t variants);

}  // namespace brisquel::clayout
