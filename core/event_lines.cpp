#include "core/event_lines.hpp"

#include "codec/base64.hpp"

namespace brisquel {

std::optional<std::span<const std::uint8_t>> decode_event_payload(std::string_view text, PayloadBuffer& buffer,
                                                                  codec::SimdLevel widest) {
  std::uint8_t* payload = buffer.reserve(codec::base64_decoded_capacity(text.size()));
  const auto size = codec::decode_base64_strict(text, payload, widest);
  if (!size || *size < 8) return std::nullopt;
  return std::span<const std::uint8_t>(payload, *size);
}

}  // namespace brisquel
