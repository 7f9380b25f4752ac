#include "core/acct/account_data.hpp"

#include <algorithm>
#include <format>

#include <zstd.h>

#include "codec/base58.hpp"
#include "codec/base64.hpp"
#include "core/json/text_scan.hpp"

namespace brisquel::acct {
namespace {

// A decompression window of up to 16 MiB covers any frame of an account's
// data; a frame asking for more is refused before anything is allocated.
constexpr int kMaxWindowLog = 24;

}  // namespace

struct AccountData::Zstd {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ~Zstd() { ZSTD_freeDCtx(context); }
};

AccountData::AccountData(std::size_t max_bytes) : max_bytes_(max_bytes), zstd_(std::make_unique<Zstd>()) {
  if (zstd_->context != nullptr) ZSTD_DCtx_setParameter(zstd_->context, ZSTD_d_windowLogMax, kMaxWindowLog);
}

AccountData::~AccountData() = default;

std::uint8_t* AccountData::Buffer::reserve(std::size_t n) {
  if (n > size || !bytes) {
    const std::size_t grown = std::max<std::size_t>(n, 1);
    bytes = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
    size = grown;
  }
  return bytes.get();
}

std::nullopt_t AccountData::failed(std::string message) {
  error_ = std::move(message);
  return std::nullopt;
}

std::optional<std::span<const std::uint8_t>> AccountData::decode(std::string_view text, std::string_view encoding) {
  if (encoding == "base64") return base64(text, plain_);
  if (encoding == "base64+zstd") {
    const auto frames = base64(text, inflated_);
    if (!frames) return std::nullopt;
    return zstd(*frames);
  }
  if (encoding == "base58") {
    if (text.size() > codec::kBase58MaxText) {
      return failed(std::format("base58 account data of {} characters, above the {} decoded", text.size(),
                                codec::kBase58MaxText));
    }
    std::uint8_t* out = plain_.reserve(codec::base58_decoded_capacity(text.size()));
    const auto size = codec::decode_base58(text, out);
    if (!size) return failed("account data is not base58");
    return std::span<const std::uint8_t>(out, *size);
  }
  return failed(std::format("account data encoding \"{}\" is not supported (base64, base64+zstd, base58)",
                            json::utf8_prefix(encoding, 40)));
}

std::optional<std::span<const std::uint8_t>> AccountData::base64(std::string_view text, Buffer& into) {
  // Compressed data may come out a little longer than the data itself.
  const std::size_t max_text = (max_bytes_ + (max_bytes_ >> 6) + 1024 + 2) / 3 * 4;
  if (text.size() > max_text) {
    return failed(std::format("base64 account data of {} characters, more than an account holds", text.size()));
  }
  std::uint8_t* out = into.reserve(codec::base64_decoded_capacity(text.size()));
  const auto size = codec::decode_base64_strict(text, out);
  if (!size) return failed("account data is not canonical base64");
  return std::span<const std::uint8_t>(out, *size);
}

std::optional<std::span<const std::uint8_t>> AccountData::zstd(std::span<const std::uint8_t> frames) {
  if (zstd_->context == nullptr) return failed("zstd: no decompression context (out of memory)");
  ZSTD_DCtx_reset(zstd_->context, ZSTD_reset_session_only);
  // Room for one byte past the bound tells a bomb from data of exactly the bound.
  const std::size_t room = max_bytes_ + 1;
  const unsigned long long declared = ZSTD_getFrameContentSize(frames.data(), frames.size());
  std::size_t capacity = std::min<std::size_t>(room, std::max<std::size_t>(frames.size() * 4, 4096));
  if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != ZSTD_CONTENTSIZE_ERROR) {
    capacity = static_cast<std::size_t>(std::min<unsigned long long>(room, std::max<unsigned long long>(declared, 1)));
  }
  std::uint8_t* out = plain_.reserve(capacity);
  ZSTD_inBuffer in{frames.data(), frames.size(), 0};
  std::size_t produced = 0;
  for (;;) {
    ZSTD_outBuffer o{out, capacity, produced};
    const std::size_t read_before = in.pos, produced_before = produced;
    const std::size_t hint = ZSTD_decompressStream(zstd_->context, &o, &in);
    produced = o.pos;
    if (ZSTD_isError(hint)) return failed(std::format("zstd: {}", ZSTD_getErrorName(hint)));
    if (produced > max_bytes_) {
      return failed(std::format("zstd data decompresses to more than {} bytes", max_bytes_));
    }
    if (hint == 0 && in.pos == in.size) break;  // the last frame is complete
    if (produced == capacity) {
      // Full: grow (keeping what was made) up to the bound and one byte.
      const std::size_t grown = std::min(room, capacity * 2);
      auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
      std::copy_n(out, produced, bigger.get());
      plain_.bytes = std::move(bigger);
      plain_.size = grown;
      out = plain_.bytes.get();
      capacity = grown;
      continue;
    }
    if (in.pos == in.size) return failed("zstd data ends inside a frame");
    if (in.pos == read_before && produced == produced_before) return failed("zstd: no progress");
  }
  return std::span<const std::uint8_t>(out, produced);
}

}  // namespace brisquel::acct
