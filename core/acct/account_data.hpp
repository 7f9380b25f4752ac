// Account data from its RPC text: base64, base64+zstd or base58, decoded into
// reused buffers under one bound, so a forged length or a zstd bomb costs at
// most that much memory and fails only its own account.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace brisquel::acct {

// Solana's largest account data (10 MiB): more is not an account.
inline constexpr std::size_t kMaxAccountBytes = std::size_t{10} << 20;

class AccountData {
 public:
  explicit AccountData(std::size_t max_bytes = kMaxAccountBytes);
  ~AccountData();
  AccountData(const AccountData&) = delete;
  AccountData& operator=(const AccountData&) = delete;

  // Decodes `text` in `encoding` ("base64", "base64+zstd", "base58"); the
  // bytes, valid until the next call, or why the text does not decode.
  std::optional<std::span<const std::uint8_t>> decode(std::string_view text, std::string_view encoding);
  const std::string& error() const { return error_; }

 private:
  struct Buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
    std::uint8_t* reserve(std::size_t n);
  };

  std::optional<std::span<const std::uint8_t>> base64(std::string_view text, Buffer& into);
  std::optional<std::span<const std::uint8_t>> zstd(std::span<const std::uint8_t> frames);
  std::nullopt_t failed(std::string message);

  std::size_t max_bytes_;
  Buffer plain_, inflated_;
  struct Zstd;
  std::unique_ptr<Zstd> zstd_;
  std::string error_;
};

}  // namespace brisquel::acct
