#include "core/event_lines.hpp"

#include "codec/base64.hpp"
#include "codec/log_line.hpp"

namespace brisquel {

std::optional<std::span<const std::uint8_t>> event_line_payload(std::string_view line, PayloadBuffer& buffer,
                                                                codec::SimdLevel widest) {
  const auto text = codec::event_payload_text(line);
  if (!text) return std::nullopt;
  std::uint8_t* payload = buffer.reserve(codec::base64_decoded_capacity(text->size()));
  const auto size = codec::decode_base64_strict(*text, payload, widest);
  if (!size || *size < 8) return std::nullopt;
  return std::span<const std::uint8_t>(payload, *size);
}

}  // namespace brisquel
