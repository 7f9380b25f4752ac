// Solana's wire format of a transaction (what a node sends base64- or
// base58-encoded). Legacy and version 0 transactions put their signatures
// first, then the message; version 1 puts its message first (version byte
// 0x81, a config in place of compute-budget instructions, fixed-width counts,
// no lookup tables) and its signatures last. Every count and length is checked
// against the bytes that are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/tx/tx_view.hpp"

namespace brisquel::tx {

// Larger than any transaction the network carries (a packet is 1232 bytes),
// small enough that nothing read from it is large.
inline constexpr std::size_t kMaxWireBytes = 64 * 1024;

inline constexpr std::size_t kSignatureBytes = 64;
inline constexpr std::size_t kKeyBytes = 32;

// What a version 1 transaction may hold; the network refuses any more.
inline constexpr std::size_t kMaxV1Bytes = 4096;
inline constexpr std::size_t kMaxV1Keys = 64;
inline constexpr std::size_t kMaxV1Instructions = 64;
inline constexpr std::size_t kMaxV1Signatures = 12;
// The config mask's defined bits: priority fee (0 and 1, one u64), compute
// unit limit (2), loaded accounts data size limit (3), heap size (4).
inline constexpr std::uint32_t kV1ConfigBits = 0x1F;

struct WireInstruction {
  std::uint8_t program_index = 0;          // into the static keys, then the loaded ones
  std::span<const std::uint8_t> accounts;  // one key index per byte
  std::span<const std::uint8_t> data;
};

// Views into the bytes that were parsed; the vector is reused from one parse to the next.
struct WireTransaction {
  std::size_t signature_count = 0;
  std::span<const std::uint8_t> signatures;  // signature_count * 64 bytes
  std::optional<std::uint8_t> version;       // nullopt for a legacy message
  bool version_known = false;                // false when the bytes end before saying
  std::uint8_t required_signatures = 0;
  std::uint8_t readonly_signed = 0;
  std::uint8_t readonly_unsigned = 0;
  std::size_t key_count = 0;
  std::span<const std::uint8_t> keys;  // key_count * 32 bytes: the static account keys
  std::span<const std::uint8_t> recent_blockhash;  // version 1: the lifetime token (blockhash or nonce)
  TxConfig config;                                 // version 1 only
  std::vector<WireInstruction> instructions;
  // Address table lookups (version 0): how many, and how many keys they load.
  std::size_t lookup_count = 0;
  std::size_t loaded_writable = 0;
  std::size_t loaded_readonly = 0;

  std::span<const std::uint8_t, kSignatureBytes> signature(std::size_t i) const {
    return signatures.subspan(i * kSignatureBytes).first<kSignatureBytes>();
  }
  std::span<const std::uint8_t, kKeyBytes> key(std::size_t i) const {
    return keys.subspan(i * kKeyBytes).first<kKeyBytes>();
  }
};

// Parses `bytes` into `out` (views into `bytes`). Returns an error text for
// anything but exactly one well-formed transaction: a count or length that
// runs past the end, a non-canonical compact-u16, an undefined version, more
// than kMaxWireBytes, or bytes left over; for version 1 also counts past its
// limits, a config mask with undefined bits or half the priority fee, and
// program or account indexes past its keys. `out.version` then says which
// version the bytes announced, as far as they were read.
std::optional<std::string> parse_wire_transaction(std::span<const std::uint8_t> bytes, WireTransaction& out);

}  // namespace brisquel::tx
