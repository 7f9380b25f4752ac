#include "codec/cursor.hpp"

#include <format>

namespace brisquel::codec {

std::string length_overflow_text() { return "length overflow"; }

std::string end_of_buffer_text(std::uint64_t need, std::uint64_t pos, std::uint64_t have) {
  return std::format("unexpected end of buffer: need {} byte(s) at offset {}, have {}", need, pos, have);
}

}  // namespace brisquel::codec
