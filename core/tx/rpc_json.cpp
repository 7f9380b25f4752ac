#include "core/tx/rpc_json.hpp"

#include "core/tx/rpc_value_reader.hpp"

namespace brisquel::tx {

// Hands each top-level value to the transaction shapes.
struct RpcJsonReader::Impl final : json::RootReader {
  Impl(RpcJsonLimits l, ReadScope scope) : frames(l), values(frames.limits(), scope) {}

  json::Outcome read(od::value root, bool escapes, bool lasting, std::size_t& visited,
                     json::Failure& failure) override {
    values.set_escapes(escapes);
    values.set_lasting(lasting);
    if (values.read(root, *visit, visited)) return json::Outcome::kDone;
    if (values.stopped()) return json::Outcome::kStopped;
    failure = std::move(values.failure());
    return json::Outcome::kFailed;
  }
  json::Outcome finish(std::size_t& visited) override {
    return values.hand_over_kept(visited) ? json::Outcome::kDone : json::Outcome::kStopped;
  }
  std::string_view expected() const override {
    return values.log_lines() ? "log lines, a transaction, block or RPC response, or an array of them"
                              : "a transaction, block or RPC response, or an array of them";
  }

  json::JsonFrames frames;
  RpcValueReader values;
  const TxVisitor* visit = nullptr;
};

RpcJsonReader::RpcJsonReader(RpcJsonLimits limits, ReadScope scope) : impl_(std::make_unique<Impl>(limits, scope)) {}
RpcJsonReader::~RpcJsonReader() = default;

void RpcJsonReader::set_block_slot(std::optional<std::uint64_t> slot) { impl_->values.set_block_slot(slot); }

void RpcJsonReader::accept_log_lines() { impl_->values.accept_log_lines(); }

ReadResult RpcJsonReader::read_padded(std::string_view text, TxVisitor visit) {
  impl_->visit = &visit;
  impl_->values.drop_kept();
  return impl_->frames.run(text, true, *impl_);
}

ReadResult RpcJsonReader::read(std::string_view text, TxVisitor visit) {
  impl_->visit = &visit;
  impl_->values.drop_kept();
  return impl_->frames.run(text, false, *impl_);
}

}  // namespace brisquel::tx
