#include "core/error.hpp"

#include <format>

#include "codec/utf8.hpp"

namespace brisquel {

std::string describe(const Error& e) {
  using Kind = Error::Kind;
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
    case Kind::InvalidJson:
    case Kind::Truncated:
    case Kind::Shape:
    case Kind::RpcError:
    case Kind::TooLarge:
    case Kind::Unreadable:
    case Kind::DataNotBase58:
    case Kind::AccountPastKeys:
    case Kind::NoInstruction:
    case Kind::NotAPublicKey:
    case Kind::Idl: return e.text;
  }
  return "unknown error";
}

const char* kind_name(Error::Kind kind) {
  using Kind = Error::Kind;
  switch (kind) {
    case Kind::None: return "none";
    case Kind::LengthOverflow: return "length_overflow";
    case Kind::EndOfBuffer: return "end_of_buffer";
    case Kind::InvalidUtf8: return "invalid_utf8";
    case Kind::GenericArrayLength: return "generic_array_length";
    case Kind::GenericParameter: return "generic_parameter";
    case Kind::GenericDefined: return "generic_defined";
    case Kind::UnknownDefined: return "unknown_defined";
    case Kind::EnumOutOfRange: return "enum_out_of_range";
    case Kind::TooDeep: return "too_deep";
    case Kind::TooManyZeroSized: return "too_many_zero_sized";
    case Kind::ValueTooLarge: return "value_too_large";
    case Kind::Python: return "python";
    case Kind::NoFixedLayout: return "no_fixed_layout";
    case Kind::NoAccountType: return "no_account_type";
    case Kind::ConstantMismatch: return "constant_mismatch";
    case Kind::NoSentinel: return "no_sentinel";
    case Kind::NumberTooLarge: return "number_too_large";
    case Kind::OffsetOutside: return "offset_outside";
    case Kind::InvalidJson: return "invalid_json";
    case Kind::Truncated: return "truncated";
    case Kind::Shape: return "shape";
    case Kind::RpcError: return "rpc_error";
    case Kind::TooLarge: return "too_large";
    case Kind::Unreadable: return "unreadable";
    case Kind::DataNotBase58: return "data_not_base58";
    case Kind::AccountPastKeys: return "account_past_keys";
    case Kind::NoInstruction: return "no_instruction";
    case Kind::NotAPublicKey: return "not_a_public_key";
    case Kind::Idl: return "idl";
  }
  return "none";
}

std::string describe_at(const Error& error) {
  if (error.in_text()) return std::format("line {}, column {}: {}", error.line, error.column, describe(error));
  if (!error.path.empty()) return describe(error) + " at " + format_path(error.path);
  return describe(error);
}

std::string format_path(const FieldPath& path) {
  std::string out;
  for (auto step = path.steps.rbegin(); step != path.steps.rend(); ++step) {
    if (step->is_index()) {
      out += std::format("[{}]", step->index);
    } else {
      if (!out.empty()) out += '.';
      out += step->name;
    }
  }
  return out;
}

}  // namespace brisquel
