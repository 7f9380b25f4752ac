// Base58 (Bitcoin alphabet): the fast text of 32-byte public keys, and a general
// decoder and encoder for instruction data and signatures.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/simd_level.hpp"

namespace brisquel::codec {

// Room for the base58 text of a 32-byte key, and for the wider form the
// vectorised path writes first.
struct Base58Buffer {
  char digits[64];
};

// The base58 text of `key` (32 to 44 characters), held in `buffer`.
// `widest`: the widest vector instructions to use (see simd_level).
std::string_view encode_base58_pubkey(std::span<const std::uint8_t, 32> key, Base58Buffer& buffer,
                                      SimdLevel widest = SimdLevel::avx512);

// The most characters a 32-byte key's text has.
inline constexpr std::size_t kBase58PubkeyMaxText = 44;

// Writes the base58 text of `key` at `out` (room for kBase58PubkeyMaxText
// characters; no byte past the text is written) and returns its length. For a
// caller that copies the text anyway: cheaper than encode_base58_pubkey and a
// copy.
std::size_t write_base58_pubkey(std::span<const std::uint8_t, 32> key, char* out,
                                SimdLevel widest = SimdLevel::avx512);

// Base conversion costs time quadratic in the length, so both directions refuse
// long inputs. Instruction data is at most 10 KiB, whose text has at most 13,985
// characters (or one "1" per byte when all bytes are zero).
inline constexpr std::size_t kBase58MaxBytes = 10 * 1024;
inline constexpr std::size_t kBase58MaxText = 14 * 1024;

// Bytes that decoding `text_size` characters can produce at most: a leading
// "1" is one zero byte, any other digit less than one byte.
constexpr std::size_t base58_decoded_capacity(std::size_t text_size) { return text_size; }

// Characters that encoding `size` bytes can produce at most (log 256 / log 58 < 1.38).
constexpr std::size_t base58_encoded_capacity(std::size_t size) { return size * 138 / 100 + 1; }

// Decodes `text` into `out` (room for base58_decoded_capacity(text.size())
// bytes) and returns the decoded length: one zero byte per leading "1", then
// the number's big-endian bytes. Refuses (nullopt) any character outside the
// alphabet and texts longer than kBase58MaxText.
std::optional<std::size_t> decode_base58(std::string_view text, std::uint8_t* out);

// Writes the base58 text of `bytes` to `out` (room for
// base58_encoded_capacity(bytes.size()) characters) and returns its length.
// Refuses (nullopt) more than kBase58MaxBytes bytes.
std::optional<std::size_t> encode_base58(std::span<const std::uint8_t> bytes, char* out);

// Whether base58 data starts with a fixed prefix, told from its text without
// decoding it (decoding costs time quadratic in the length). The numbers of
// one byte length that start with the prefix form one range, and texts of one
// length sort as their numbers do (the alphabet is in character order); so
// the text is compared with the texts of the range's two ends, computed once
// per byte length. Safe to share between threads.
class Base58Prefix {
 public:
  // `prefix`: 1 to 16 bytes, the first not zero.
  explicit Base58Prefix(std::span<const std::uint8_t> prefix);
  ~Base58Prefix();
  Base58Prefix(const Base58Prefix&) = delete;
  Base58Prefix& operator=(const Base58Prefix&) = delete;

  // Whether the bytes that `text` decodes to start with the prefix; nullopt
  // when the text is not plainly base58 (a character outside the alphabet, a
  // leading "1", empty or long): decode it to tell.
  std::optional<bool> starts(std::string_view text) const;

 private:
  struct Ends {
    std::string low, high;  // texts of prefix·256^k and (prefix+1)·256^k
  };
  const Ends* ends(std::size_t size) const;

  std::vector<std::uint8_t> prefix_;
  std::unique_ptr<std::atomic<const Ends*>[]> ends_;  // by decoded size, up to a bound
};

}  // namespace brisquel::codec
