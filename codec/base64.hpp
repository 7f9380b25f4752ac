// Strict base64 (standard alphabet) for event payloads in log lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/simd_level.hpp"

namespace brisquel::codec {

// Where the CPU has AVX2 (see simd_level.hpp), texts of 16 characters or more
// take vectorised kernels of our own. Without it, texts shorter than this take
// the table-driven path, longer ones the vectorised library. All follow the
// same rules.
inline constexpr std::size_t kScalarBelow = 40;

// Bytes that decoding `text_size` characters can produce at most.
constexpr std::size_t base64_decoded_capacity(std::size_t text_size) { return text_size / 4 * 3; }

// Decodes `text` into `out` (room for base64_decoded_capacity(text.size())
// bytes) and returns the decoded length. Refuses (nullopt) anything but the
// canonical padded form: a length that is not a multiple of 4, a character
// outside the alphabet (white space included), "=" anywhere but as the one or
// two last characters, and non-zero unused bits in the last symbol.
// `widest`: the widest vector instructions to use (see simd_level).
std::optional<std::size_t> decode_base64_strict(std::string_view text, std::uint8_t* out,
                                                SimdLevel widest = SimdLevel::avx512);

// Appends the padded base64 text of `bytes` to `out`.
void encode_base64(std::span<const std::uint8_t> bytes, std::string& out);

}  // namespace brisquel::codec
