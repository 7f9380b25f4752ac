// What the transactions and balances tables need of a transaction's meta:
// fee, compute units, the error as text, SOL and token balances. Read only
// when the reader was asked for the summary.
#include <charconv>
#include <cstring>
#include <format>

#include "core/tx/rpc_value_reader.hpp"

namespace brisquel::tx {

bool RpcValueReader::read_summary_field(std::string_view key, od::value& value) {
  TxSummary& s = view_->summary;
  if (key == "fee") return read_integer(value, "meta.fee", s.fee);
  if (key == "computeUnitsConsumed") return read_integer(value, "meta.computeUnitsConsumed", s.compute_units_consumed);
  if (key == "preBalances") return read_balances(value, "meta.preBalances", s.pre_balances);
  if (key == "postBalances") return read_balances(value, "meta.postBalances", s.post_balances);
  if (key == "preTokenBalances") return read_token_balances(value, "meta.preTokenBalances", s.pre_tokens);
  if (key == "postTokenBalances") return read_token_balances(value, "meta.postTokenBalances", s.post_tokens);
  return true;
}

// meta.err kept as the node wrote it (its text is the error column); for
// calls it is then read again from a copy, as read_error reads it in place.
bool RpcValueReader::read_error_summary(od::value& value) {
  std::string_view raw;
  if (auto e = value.raw_json().get(raw)) return json_error(e);
  while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\n' || raw.back() == '\r' || raw.back() == '\t')) {
    raw.remove_suffix(1);
  }
  if (!view_->failed) return true;
  view_->summary.error = raw;
  std::string& copy = tx_->error_copy;
  copy.assign(raw);
  copy.resize(raw.size() + simdjson::SIMDJSON_PADDING);
  if (!tx_->error_parser) tx_->error_parser = std::make_unique<od::parser>();
  od::document doc;
  od::value root;
  const json::Failure kept = failure_;
  if (tx_->error_parser->iterate(copy.data(), raw.size(), copy.size()).get(doc) == simdjson::SUCCESS &&
      doc.get_value().get(root) == simdjson::SUCCESS && read_error(root)) {
    return true;
  }
  // What is not understood is left unsaid, as read_error does with shapes it does not know.
  failure_ = kept;
  view_->error = {};
  return true;
}

bool RpcValueReader::read_balances(od::value& value, std::string_view field, std::vector<std::uint64_t>& out) {
  out.clear();
  return read_nullable_array(value, field, [&](od::value& item) {
    if (!count_item(out.size(), "balances")) return false;
    std::optional<std::uint64_t> lamports;
    if (!read_integer(item, field, lamports)) return false;
    if (!lamports) return shape_error(item, field, "a number of lamports");
    out.push_back(*lamports);
    return true;
  });
}

bool RpcValueReader::read_token_balances(od::value& value, std::string_view field, std::vector<TokenBalance>& out) {
  out.clear();
  return read_nullable_array(value, field, [&](od::value& item) {
    od::object entry;
    return count_item(out.size(), "token balances") && expect_object(item, field, entry) &&
           read_token_balance(entry, out.emplace_back());
  });
}

// {"accountIndex", "mint", "owner", "programId", "uiTokenAmount": {"amount": "<digits>", "decimals"}}
bool RpcValueReader::read_token_balance(od::object entry, TokenBalance& out) {
  std::optional<std::uint32_t> index;
  const char* const at = unit_start_;
  const bool ok = json::each(entry, [&](auto e) { return json_error(e); }, [&](od::field& field) {
    const std::string_view key = field.escaped_key();
    od::value& v = field.value();
    if (key == "accountIndex") return read_integer(v, "tokenBalances[].accountIndex", index);
    if (key == "mint") return read_string(v, "tokenBalances[].mint", out.mint);
    if (key == "owner") return read_string(v, "tokenBalances[].owner", out.owner);
    if (key == "programId") return read_string(v, "tokenBalances[].programId", out.program);
    if (key != "uiTokenAmount") return true;
    od::object amount;
    if (!expect_object(v, "tokenBalances[].uiTokenAmount", amount)) return false;
    return json::each(amount, [&](auto e) { return json_error(e); }, [&](od::field& part) {
      const std::string_view name = part.escaped_key();
      if (name == "decimals") {
        std::optional<std::uint32_t> decimals;
        if (!read_integer(part.value(), "uiTokenAmount.decimals", decimals)) return false;
        if (decimals && *decimals > 255) {
          return fail(Error::Kind::Shape, std::format("`uiTokenAmount.decimals`: {} is more than a mint has",
                                                         *decimals));
        }
        if (decimals) out.decimals = static_cast<std::uint8_t>(*decimals);
        else out.decimals.reset();
        return true;
      }
      if (name != "amount") return true;
      std::string_view digits;
      if (!read_string(part.value(), "uiTokenAmount.amount", digits)) return false;
      std::uint64_t n = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
      if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size()) {
        return fail(Error::Kind::Shape,
                    std::format("`uiTokenAmount.amount`: expected the decimal digits of a u64, found \"{}\"",
                                utf8_prefix(digits, 40)),
                    digits.data());
      }
      out.amount = n;
      return true;
    });
  });
  if (!ok) return false;
  if (!index) return fail(Error::Kind::Shape, "a token balance without `accountIndex`", at);
  out.account_index = *index;
  return true;
}

}  // namespace brisquel::tx
