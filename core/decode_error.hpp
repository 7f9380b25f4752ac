// Why an event body did not decode: a small value (what, where, how much),
// made on the failing path and turned into text only where a text is read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brisquel {

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

  constexpr DecodeError() = default;
  constexpr explicit DecodeError(Kind k, std::uint64_t need_ = 0, std::uint64_t pos_ = 0, std::uint64_t have_ = 0)
      : kind(k), need(need_), pos(pos_), have(have_) {}
  constexpr DecodeError(Kind k, std::string_view name_) : kind(k), name(name_) {}

  static constexpr DecodeError end_of_buffer(std::uint64_t need, std::uint64_t pos, std::uint64_t have) {
    return DecodeError(Kind::EndOfBuffer, need, pos, have);
  }
};

// The decoder's message for `error`. A Python error has no text of its own
// here: its holder formats the exception.
std::string describe(const DecodeError& error);

}  // namespace brisquel
