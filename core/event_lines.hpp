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

// The payload bytes of an event line (discriminator and body, at least 8
// bytes), decoded into `buffer`; nullopt for any other line.
// `widest`: the widest vector instructions to use (see codec::simd_level).
std::optional<std::span<const std::uint8_t>> event_line_payload(
    std::string_view line, PayloadBuffer& buffer, codec::SimdLevel widest = codec::SimdLevel::avx512);

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
