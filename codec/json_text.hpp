// JSON text of decoded scalars, written the way the command line writes events
// (Python's json.dumps with ensure_ascii=False after its value conversion):
// strings with the minimal escapes, bytes as lowercase hex strings, floats as
// Python's repr with the non-finite ones as the strings "NaN", "Infinity" and
// "-Infinity". Integers are plain decimals (codec/decimal.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace brisquel::codec {

// `utf8` (valid UTF-8) as a quoted JSON string: `"` `\` and the control
// characters below U+0020 escaped (\n \r \t \b \f, the others as \u00xx);
// everything else, DEL and non-ASCII included, as is.
void append_json_string(std::string& out, std::string_view utf8);

// Longest text of write_float_repr: "-2.2250738585072014e-308".
inline constexpr std::size_t kFloatReprMax = 24;

// Python's repr(float) at `out` (room for kFloatReprMax), returning its length:
// the shortest digits that read back as `value`, in positional form when the
// decimal exponent is in [-4, 16) ("0.0001", "100.0", "-0.0") and as d.ddde±XX
// otherwise ("1e-05", "1e+16", "5e-324"); "nan", "inf", "-inf".
std::size_t write_float_repr(char* out, double value);

// The float as a JSON value: repr for finite values, "NaN", "Infinity" and
// "-Infinity" (quoted) for the others.
void append_json_float(std::string& out, double value);

// Lowercase hex of `bytes` at `out` (room for 2 * bytes.size()), unquoted.
void write_hex(char* out, std::span<const std::uint8_t> bytes);

// Lowercase hex of `bytes` as a quoted JSON string.
void append_hex(std::string& out, std::span<const std::uint8_t> bytes);

}  // namespace brisquel::codec
