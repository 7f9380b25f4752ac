// The log scanner on arbitrary lines: the raw bytes, made valid UTF-8 by
// replacing ill-formed parts, as the one line of a parse_logs batch.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "embedded_decoder.hpp"
#include "codec/log_line.hpp"
#include "codec/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  std::string line = brisquel::codec::utf8_lossy(raw);
  // The trimmed payload is a view into the line itself.
  if (auto payload = brisquel::codec::event_payload_text(line)) {
    const char* end = line.data() + line.size();
    if (payload->data() < line.data() || payload->data() + payload->size() > end) __builtin_trap();
  }
  brisquel::fuzz::parse_one_line(line);
  return 0;
}
