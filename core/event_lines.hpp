// Finding the event a log line carries: the payload after "Program data: " or
// "Program log: ", strict base64, at least 8 bytes, and the first declared
// layout with that discriminator.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "codec/log_line.hpp"
#include "codec/simd_level.hpp"
#include "core/compiled_idl.hpp"

namespace brisquel {

// The decoded payload of one line at a time. Small payloads stay inside it; a
// larger one grows a heap buffer that later lines reuse. Each call of a
// decoding method owns its own: decoding may run Python code (256-bit
// integers) that re-enters the decoder on the same thread.
class PayloadBuffer {
 public:
  std::uint8_t* reserve(std::size_t n) {
    if (n <= local_.size()) return local_.data();
    if (n > heap_size_) {
      heap_ = std::make_unique_for_overwrite<std::uint8_t[]>(n);
      heap_size_ = n;
    }
    return heap_.get();
  }

 private:
  std::array<std::uint8_t, 2048> local_;
  std::unique_ptr<std::uint8_t[]> heap_;
  std::size_t heap_size_ = 0;
};

// The base64 text of a line that may carry an event: after its prefix and
// trimmed, in whole groups of four characters and at least the 12 that 8
// bytes take. A line it refuses is one event_line_payload refuses; it reads
// only the line's first and last bytes, so a batch can be sorted with it in
// the pass that checks the lines.
inline std::optional<std::string_view> event_payload_candidate(std::string_view line) {
  const auto text = codec::event_payload_text(line);
  if (!text || text->size() % 4 != 0 || text->size() < 12) return std::nullopt;
  return text;
}

// The payload bytes (discriminator and body, at least 8 bytes) of the text
// event_payload_candidate gave, decoded into `buffer`; nullopt if the text is
// not strict base64 of that many.
std::optional<std::span<const std::uint8_t>> decode_event_payload(
    std::string_view text, PayloadBuffer& buffer, codec::SimdLevel widest = codec::SimdLevel::avx512);

// The payload bytes of an event line (discriminator and body, at least 8
// bytes), decoded into `buffer`; nullopt for any other line.
// `widest`: the widest vector instructions to use (see codec::simd_level).
inline std::optional<std::span<const std::uint8_t>> event_line_payload(
    std::string_view line, PayloadBuffer& buffer, codec::SimdLevel widest = codec::SimdLevel::avx512) {
  const auto text = event_payload_candidate(line);
  if (!text) return std::nullopt;
  return decode_event_payload(*text, buffer, widest);
}

struct EventMatch {
  const EventLayout* layout;
  std::span<const std::uint8_t> body;  // after the discriminator
};

// The layout `payload` (discriminator and body) belongs to, or nullopt.
inline std::optional<EventMatch> match_payload(const CompiledIdl& tables, std::span<const std::uint8_t> payload) {
  std::uint64_t disc;
  std::memcpy(&disc, payload.data(), 8);
  const EventLayout* layout = tables.match(disc);
  if (layout == nullptr) return std::nullopt;
  return EventMatch{layout, payload.subspan(8)};
}

// The event layout and body a log line carries, or nullopt.
inline std::optional<EventMatch> match_event_line(const CompiledIdl& tables, std::string_view line,
                                                  PayloadBuffer& buffer,
                                                  codec::SimdLevel widest = codec::SimdLevel::avx512) {
  const auto payload = event_line_payload(line, buffer, widest);
  if (!payload) return std::nullopt;
  return match_payload(tables, *payload);
}

}  // namespace brisquel
