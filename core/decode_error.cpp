#include "core/decode_error.hpp"

#include <format>

#include "codec/utf8.hpp"

namespace brisquel {

std::string describe(const DecodeError& e) {
  using Kind = DecodeError::Kind;
  switch (e.kind) {
    case Kind::None: return "no error";
    case Kind::LengthOverflow: return "length overflow";
    case Kind::EndOfBuffer:
      return std::format("unexpected end of buffer: need {} byte(s) at offset {}, have {}", e.need, e.pos, e.have);
    case Kind::InvalidUtf8:
      return "invalid utf-8: " +
             codec::describe(codec::Utf8Error{e.pos, static_cast<std::uint8_t>(e.need)});
    case Kind::GenericArrayLength: return "generic array length is not supported";
    case Kind::GenericParameter: return "generic type parameter is not supported";
    case Kind::GenericDefined: return std::format("generic defined type '{}' is not supported", e.name);
    case Kind::UnknownDefined: return std::format("unknown defined type '{}'", e.name);
    case Kind::EnumOutOfRange: return std::format("enum discriminant {} out of range", e.need);
    case Kind::TooDeep: return std::format("type nesting exceeds {} levels", e.need);
    case Kind::TooManyZeroSized: return std::format("too many zero-sized elements (limit {})", e.need);
    case Kind::ValueTooLarge: return std::format("value too large for a table column (limit {} bytes)", e.need);
    case Kind::Python: return "Python error";
    case Kind::NoFixedLayout: return std::format("type '{}' has no fixed layout for a zero-copy account", e.name);
    case Kind::NoAccountType: return std::format("account '{}' has no struct of its name in idl.types", e.name);
    case Kind::ConstantMismatch: return std::format("bytes at offset {} are not the constant the type requires", e.pos);
    case Kind::NoSentinel: return std::format("no sentinel after offset {}", e.pos);
    case Kind::NumberTooLarge: return std::format("the size, count or flag at offset {} cannot be read", e.pos);
    case Kind::OffsetOutside: return std::format("an offset moves outside the bytes (to {})", e.pos);
  }
  return "unknown error";
}

}  // namespace brisquel
