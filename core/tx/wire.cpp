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

}  // namespace

std::optional<std::string> parse_wire_transaction(std::span<const std::uint8_t> bytes, WireTransaction& out) {
  if (bytes.size() > kMaxWireBytes) {
    return std::format("transaction of {} bytes is larger than {}", bytes.size(), kMaxWireBytes);
  }
  out.instructions.clear();
  out.version.reset();
  out.lookup_count = out.loaded_writable = out.loaded_readonly = 0;
  WireReader r(bytes);

  if (!r.counted(kSignatureBytes, out.signature_count, out.signatures)) return cut_short("signatures", r);

  std::uint8_t first;
  if (!r.byte(first)) return cut_short("message header", r);
  if (first & 0x80) {
    out.version = static_cast<std::uint8_t>(first & 0x7F);
    if (*out.version != 0) return std::format("message version {} is not supported", *out.version);
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
  if (r.remaining() != 0) return std::format("{} bytes after the end of the transaction", r.remaining());
  return std::nullopt;
}

}  // namespace brisquel::tx
