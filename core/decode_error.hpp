// Why an event body did not decode: a small value (what, where, how much),
// made on the failing path and turned into text only where a text is read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brisquel {

// One step from a value into a part of it: a field or variant by name, or an
// element (or a field of a tuple) by index.
struct PathStep {
  std::string_view name;  // owned by the decoder's tables; empty for an index
  std::uint64_t index = 0;

  bool is_index() const { return name.data() == nullptr; }
  friend bool operator==(const PathStep&, const PathStep&) = default;
};

// Where in a value a walk failed. Steps are added while the failure unwinds,
// so they are kept innermost first; nothing is made while decoding succeeds.
struct FieldPath {
  std::vector<PathStep> steps;  // innermost first

  bool empty() const { return steps.empty(); }
  void add_name(std::string_view name) { steps.push_back({name.data() == nullptr ? std::string_view("", 0) : name, 0}); }
  void add_index(std::uint64_t index) { steps.push_back({std::string_view(), index}); }
  // Outermost first, as a reader follows them.
  std::vector<PathStep> outward() const { return {steps.rbegin(), steps.rend()}; }
};

// "pool.reserves[3].amount"; "" for an empty path.
std::string format_path(const FieldPath& path);

struct DecodeError {
  enum class Kind : std::uint8_t {
    None,
    LengthOverflow,      // a read whose end does not fit 64 bits
    EndOfBuffer,         // need, pos, have
    InvalidUtf8,         // pos: valid prefix length; need: ill-formed length (0: incomplete)
    GenericArrayLength,
    GenericParameter,
    GenericDefined,      // name
    UnknownDefined,      // name
    EnumOutOfRange,      // need: the index
    TooDeep,             // need: the nesting limit
    TooManyZeroSized,    // need: the element limit
    ValueTooLarge,       // need: the bytes a column value may take
    Python,              // the interpreter's exception, kept by whoever met it
    NoFixedLayout,       // name: a type a zero-copy account cannot lay out
    NoAccountType,       // name: an account without a struct of its name in idl.types
    ConstantMismatch,    // pos: where bytes that must be a constant are not
    NoSentinel,          // pos: where the search for a sentinel began
    NumberTooLarge,      // pos: a size, count or flag past 64 bits, negative, or a short u16 past its form
    OffsetOutside,       // pos: a move to outside the bytes
  };
  Kind kind = Kind::None;
  std::uint64_t need = 0;
  std::uint64_t pos = 0;
  std::uint64_t have = 0;
  std::string_view name;  // a type name owned by the decoder's tables
  // Where the walk was in the body when it failed (bytes from its start; 0
  // for a failure that no walk met), and the fields and elements it was in.
  std::uint64_t offset = 0;
  FieldPath path;

  constexpr DecodeError() = default;
  constexpr explicit DecodeError(Kind k, std::uint64_t need_ = 0, std::uint64_t pos_ = 0, std::uint64_t have_ = 0)
      : kind(k), need(need_), pos(pos_), have(have_) {}
  constexpr DecodeError(Kind k, std::string_view name_) : kind(k), name(name_) {}

  static constexpr DecodeError end_of_buffer(std::uint64_t need, std::uint64_t pos, std::uint64_t have) {
    return DecodeError(Kind::EndOfBuffer, need, pos, have);
  }
};

// The kind's name as the Python layer gives it: "end_of_buffer", ...
const char* kind_name(DecodeError::Kind kind);

// The decoder's message for `error`. A Python error has no text of its own
// here: its holder formats the exception.
std::string describe(const DecodeError& error);

}  // namespace brisquel
