// The payload decoder on arbitrary bytes: the first byte picks an event of
// fuzz/layouts.json (its discriminator), the rest is the body after it; the
// line is "Program data: " + base64 of the two.
#include <cstddef>
#include <cstdint>
#include <string>

#include "embedded_decoder.hpp"

namespace {

std::string base64(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t n = std::uint8_t(bytes[i]) << 16 | std::uint8_t(bytes[i + 1]) << 8 | std::uint8_t(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0}) out += kAlphabet[(n >> shift) & 63];
  }
  if (std::size_t rest = bytes.size() - i) {
    std::uint32_t n = std::uint8_t(bytes[i]) << 16 | (rest == 2 ? std::uint8_t(bytes[i + 1]) << 8 : 0);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return -1;
  auto& d = brisquel::fuzz::decoder();
  std::string payload(1, char(data[0] % d.events));
  payload += brisquel::fuzz::kDiscTail;
  payload.append(reinterpret_cast<const char*>(data + 1), size - 1);
  brisquel::fuzz::parse_one_line("Program data: " + base64(payload));
  return 0;
}
