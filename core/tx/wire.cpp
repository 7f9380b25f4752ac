#include "core/tx/wire.hpp"

#include <format>

namespace brisquel::tx {
namespace {

class WireReader {
 public:
  explicit WireReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t pos() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }

  bool byte(std::uint8_t& out) {
    if (pos_ >= bytes_.size()) return false;
    out = bytes_[pos_++];
    return true;
  }

  bool take(std::size_t n, std::span<const std::uint8_t>& out) {
    if (n > remaining()) return false;
    out = bytes_.subspan(pos_, n);
    pos_ += n;
    return true;
  }

  // A compact-u16: 7 bits per byte, low bits first, at most three bytes. The
  // network accepts only the shortest form, so a padded one is refused too.
  bool compact_u16(std::size_t& out) {
    std::uint32_t value = 0;
    for (int i = 0; i < 3; ++i) {
      std::uint8_t b;
      if (!byte(b)) return false;
      if (i == 2 && b > 0x03) return false;  // above 0xFFFF, or a fourth byte
      value |= std::uint32_t{b & 0x7Fu} << (7 * i);
      if ((b & 0x80) == 0) {
        if (i > 0 && b == 0) return false;  // a zero last byte: not the shortest form
        out = value;
        return true;
      }
    }
    return false;
  }

  // `count` items of `width` bytes, after a compact-u16 count.
  bool counted(std::size_t width, std::size_t& count, std::span<const std::uint8_t>& out) {
    return compact_u16(count) && take(count * width, out);
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

std::string cut_short(const char* what, const WireReader& r) {
  return std::format("transaction bytes end inside the {} (offset {})", what, r.pos());
}

template <class T>
T little_endian(std::span<const std::uint8_t> bytes) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(bytes[i]) << (8 * i);
  return value;
}

// Legacy and version 0: signatures (compact-u16 count), then the message.
std::optional<std::string> parse_signatures_first(WireReader& r, WireTransaction& out) {
  if (!r.counted(kSignatureBytes, out.signature_count, out.signatures)) return cut_short("signatures", r);

  std::uint8_t first;
  if (!r.byte(first)) return cut_short("message header", r);
  out.version_known = true;
  if (first & 0x80) {
    out.version = static_cast<std::uint8_t>(first & 0x7F);
    if (*out.version != 0) {
      return std::format("message version {} is not supported after the signatures (offset {})", *out.version,
                         r.pos() - 1);
    }
    if (!r.byte(first)) return cut_short("message header", r);
  }
  out.required_signatures = first;
  if (!r.byte(out.readonly_signed) || !r.byte(out.readonly_unsigned)) return cut_short("message header", r);

  if (!r.counted(kKeyBytes, out.key_count, out.keys)) return cut_short("account keys", r);
  if (!r.take(kKeyBytes, out.recent_blockhash)) return cut_short("recent blockhash", r);

  std::size_t count;
  if (!r.compact_u16(count)) return cut_short("instruction count", r);
  // Each instruction takes at least three bytes: a cheap bound before reserving.
  if (count > r.remaining() / 3) return cut_short("instructions", r);
  out.instructions.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    WireInstruction& ix = out.instructions.emplace_back();
    std::size_t n;
    if (!r.byte(ix.program_index) || !r.counted(1, n, ix.accounts) || !r.counted(1, n, ix.data)) {
      return cut_short("instructions", r);
    }
  }

  if (out.version) {
    if (!r.compact_u16(out.lookup_count)) return cut_short("address table lookups", r);
    for (std::size_t i = 0; i < out.lookup_count; ++i) {
      std::span<const std::uint8_t> table, writable, readonly;
      std::size_t nw, nr;
      if (!r.take(kKeyBytes, table) || !r.counted(1, nw, writable) || !r.counted(1, nr, readonly)) {
        return cut_short("address table lookups", r);
      }
      out.loaded_writable += nw;
      out.loaded_readonly += nr;
    }
  }
  return std::nullopt;
}

// Version 1: the message (fixed-width counts, config values, instruction
// headers, then each instruction's accounts and data), then the signatures
// its header requires, with no count before them.
std::optional<std::string> parse_message_first(WireReader& r, WireTransaction& out) {
  std::uint8_t version_byte;
  r.byte(version_byte);
  if (!r.byte(out.required_signatures) || !r.byte(out.readonly_signed) || !r.byte(out.readonly_unsigned)) {
    return cut_short("message header", r);
  }
  std::span<const std::uint8_t> field;
  if (!r.take(4, field)) return cut_short("config mask", r);
  const auto mask = little_endian<std::uint32_t>(field);
  if (mask & ~kV1ConfigBits) return std::format("config mask 0x{:08x} sets undefined bits", mask);
  if (((mask & 1) != 0) != ((mask & 2) != 0)) {
    return std::format("config mask 0x{:08x} sets only one of the priority fee's two bits", mask);
  }
  if (!r.take(kKeyBytes, out.recent_blockhash)) return cut_short("lifetime token", r);
  std::uint8_t instruction_count, key_count;
  if (!r.byte(instruction_count) || !r.byte(key_count)) return cut_short("counts", r);
  if (instruction_count > kMaxV1Instructions) {
    return std::format("{} instructions, more than {}", instruction_count, kMaxV1Instructions);
  }
  if (key_count > kMaxV1Keys) return std::format("{} account keys, more than {}", key_count, kMaxV1Keys);
  if (out.required_signatures > kMaxV1Signatures) {
    return std::format("{} signatures required, more than {}", out.required_signatures, kMaxV1Signatures);
  }
  out.key_count = key_count;
  if (!r.take(key_count * kKeyBytes, out.keys)) return cut_short("account keys", r);

  if (mask & 1) {
    if (!r.take(8, field)) return cut_short("config values", r);
    out.config.priority_fee = little_endian<std::uint64_t>(field);
  }
  std::optional<std::uint32_t>* const u32_values[] = {&out.config.compute_unit_limit,
                                                      &out.config.loaded_accounts_data_size_limit,
                                                      &out.config.heap_size};
  for (std::size_t bit = 2; bit < 5; ++bit) {
    if ((mask & (1u << bit)) == 0) continue;
    if (!r.take(4, field)) return cut_short("config values", r);
    *u32_values[bit - 2] = little_endian<std::uint32_t>(field);
  }

  std::span<const std::uint8_t> headers;
  if (!r.take(instruction_count * std::size_t{4}, headers)) return cut_short("instruction headers", r);
  out.instructions.resize(instruction_count);
  for (std::size_t i = 0; i < instruction_count; ++i) {
    const std::span<const std::uint8_t> h = headers.subspan(i * 4, 4);
    WireInstruction& ix = out.instructions[i];
    ix.program_index = h[0];
    if (h[0] >= key_count) {
      return std::format("instruction {}'s program index {} is beyond its {} account keys", i, h[0], key_count);
    }
    if (!r.take(h[1], ix.accounts) || !r.take(little_endian<std::uint16_t>(h.subspan(2)), ix.data)) {
      return cut_short("instruction payloads", r);
    }
    for (const std::uint8_t a : ix.accounts) {
      if (a >= key_count) {
        return std::format("instruction {}'s account index {} is beyond its {} account keys", i, a, key_count);
      }
    }
  }
  out.signature_count = out.required_signatures;
  if (!r.take(out.signature_count * kSignatureBytes, out.signatures)) return cut_short("signatures", r);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> parse_wire_transaction(std::span<const std::uint8_t> bytes, WireTransaction& out) {
  out.instructions.clear();
  out.version.reset();
  out.version_known = false;
  out.config = {};
  out.signature_count = out.key_count = 0;
  out.signatures = out.keys = out.recent_blockhash = {};
  out.lookup_count = out.loaded_writable = out.loaded_readonly = 0;
  // A legacy or version 0 transaction starts with its signature count, a
  // compact-u16 whose first byte has its high bit clear for fewer than 128
  // signatures (the network allows 12); a first byte with it set is a version.
  const bool message_first = !bytes.empty() && (bytes[0] & 0x80) != 0;
  if (message_first) {
    out.version_known = true;
    out.version = static_cast<std::uint8_t>(bytes[0] & 0x7F);
    if (*out.version == 0) return "its first byte (0x80) puts the message first, which only version 1 does";
    if (*out.version != 1) return std::format("transaction version {} is not supported", *out.version);
  }
  const std::size_t limit = message_first ? kMaxV1Bytes : kMaxWireBytes;
  if (bytes.size() > limit) return std::format("transaction of {} bytes is larger than {}", bytes.size(), limit);
  WireReader r(bytes);
  auto error = message_first ? parse_message_first(r, out) : parse_signatures_first(r, out);
  if (error) return error;
  if (r.remaining() != 0) return std::format("{} bytes after the end of the transaction", r.remaining());
  return std::nullopt;
}

}  // namespace brisquel::tx
