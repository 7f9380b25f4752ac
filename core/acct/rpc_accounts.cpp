#include "core/acct/rpc_accounts.hpp"

#include "core/acct/account_value_reader.hpp"
#include "core/json/frames.hpp"

namespace brisquel::acct {

// Hands each top-level value to the account shapes.
struct RpcAccountReader::Impl final : json::RootReader {
  Impl(json::RpcJsonLimits limits, std::size_t max_account_bytes)
      : frames(limits), values(frames.limits(), max_account_bytes) {}

  json::Outcome read(od::value root, bool escapes, bool, std::size_t& visited, json::Failure& failure) override {
    values.set_escapes(escapes);
    if (values.read(root, *visit, visited)) return json::Outcome::kDone;
    if (values.stopped()) return json::Outcome::kStopped;
    failure = std::move(values.failure());
    return json::Outcome::kFailed;
  }
  std::string_view expected() const override {
    return "an account, a {pubkey, account} entry or an RPC response, or an array of them";
  }

  json::JsonFrames frames;
  AccountValueReader values;
  const AccountVisitor* visit = nullptr;
};

RpcAccountReader::RpcAccountReader(json::RpcJsonLimits limits, std::size_t max_account_bytes)
    : impl_(std::make_unique<Impl>(limits, max_account_bytes)) {}
RpcAccountReader::~RpcAccountReader() = default;

json::ReadResult RpcAccountReader::read_padded(std::string_view text, AccountVisitor visit) {
  impl_->visit = &visit;
  return impl_->frames.run(text, true, *impl_);
}

json::ReadResult RpcAccountReader::read(std::string_view text, AccountVisitor visit) {
  impl_->visit = &visit;
  return impl_->frames.run(text, false, *impl_);
}

}  // namespace brisquel::acct
