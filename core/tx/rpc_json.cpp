#include "core/tx/rpc_json.hpp"

#include <algorithm>
#include <cstring>
#include <format>

#include "core/tx/rpc_value_reader.hpp"
#include "core/tx/text_scan.hpp"

namespace brisquel::tx {

static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);

std::string ReadError::describe() const { return std::format("line {}, column {}: {}", line, column, message); }

namespace {

constexpr std::string_view kWhitespace = " \t\r\n";

enum class Outcome : std::uint8_t { kDone, kStopped, kFailed };

}  // namespace

struct RpcJsonReader::Impl {
  Impl(RpcJsonLimits l, ReadScope scope)
      : limits(clamp(l)), parser(limits.max_value_bytes), values(limits, scope) {
    // Sets the nesting limit; the capacity grows with the largest value read.
    // Should this fail (no memory), the first read reports it.
    if (parser.allocate(4096, limits.max_depth) != simdjson::SUCCESS) return;
  }

  static RpcJsonLimits clamp(RpcJsonLimits l) {
    l.max_value_bytes = std::min(l.max_value_bytes, simdjson::SIMDJSON_MAXSIZE_BYTES);
    l.max_depth = std::max<std::size_t>(l.max_depth, 4);
    return l;
  }

  ReadResult run(std::string_view text, bool padded, const TxVisitor& visit);
  ReadResult read_lines(std::string_view text, bool padded, const TxVisitor& visit);
  Outcome read_value(std::string_view doc, std::size_t readable, const TxVisitor& visit, std::size_t& visited);
  ReadError error_in(std::string_view text, std::size_t doc_offset, std::size_t doc_size, const char* doc_data,
                     std::size_t doc_line, bool last_in_text);
  const char* padded_copy(std::string_view text);

  RpcJsonLimits limits;
  od::parser parser;
  RpcValueReader values;
  Failure failure;
  std::unique_ptr<char[]> copy;
  std::size_t copy_size = 0;
};

RpcJsonReader::RpcJsonReader(RpcJsonLimits limits, ReadScope scope) : impl_(std::make_unique<Impl>(limits, scope)) {}
RpcJsonReader::~RpcJsonReader() = default;

ReadResult RpcJsonReader::read_padded(std::string_view text, TxVisitor visit) { return impl_->run(text, true, visit); }
ReadResult RpcJsonReader::read(std::string_view text, TxVisitor visit) { return impl_->run(text, false, visit); }

const char* RpcJsonReader::Impl::padded_copy(std::string_view text) {
  if (copy_size < text.size() + kJsonPadding) {
    copy_size = std::max(text.size() + kJsonPadding, copy_size * 2);
    copy.reset(new char[copy_size]);
  }
  std::memcpy(copy.get(), text.data(), text.size());
  std::memset(copy.get() + text.size(), ' ', kJsonPadding);
  return copy.get();
}

ReadResult RpcJsonReader::Impl::run(std::string_view text, bool padded, const TxVisitor& visit) {
  const std::size_t start = text.find_first_not_of(kWhitespace);
  if (start == std::string_view::npos) {
    ReadResult result;
    result.error.emplace();
    result.error->message = "the text holds no JSON value";
    return result;
  }
  // One value over several lines opens on its first line and closes later;
  // a JSON-lines text closes its first value on the first line.
  const std::size_t first_end = text.find('\n', start);
  const bool one_value = first_end != std::string_view::npos &&
                         text.find_first_not_of(kWhitespace, first_end) != std::string_view::npos &&
                         leaves_value_open(text.substr(start, first_end - start));
  if (!one_value) return read_lines(text, padded, visit);

  ReadResult result;
  const char* data = text.data();
  std::size_t readable = text.size() + kJsonPadding;
  if (!padded && text.size() <= limits.max_value_bytes) {
    data = padded_copy(text);
    readable = copy_size;
  }
  const Outcome outcome = read_value({data, text.size()}, readable, visit, result.visited);
  result.stopped = outcome == Outcome::kStopped;
  if (outcome == Outcome::kFailed) result.error = error_in(text, 0, text.size(), data, 1, true);
  return result;
}

ReadResult RpcJsonReader::Impl::read_lines(std::string_view text, bool padded, const TxVisitor& visit) {
  ReadResult result;
  std::size_t pos = 0;
  std::size_t line = 1;
  while (pos < text.size()) {
    const std::size_t newline = text.find('\n', pos);
    const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    const std::string_view content = text.substr(pos, end - pos);
    if (!is_blank(content)) {
      const char* data = content.data();
      std::size_t readable = text.size() + kJsonPadding - pos;
      if (!padded && content.size() <= limits.max_value_bytes) {
        data = padded_copy(content);
        readable = copy_size;
      }
      const Outcome outcome = read_value({data, content.size()}, readable, visit, result.visited);
      if (outcome == Outcome::kStopped) {
        result.stopped = true;
        return result;
      }
      if (outcome == Outcome::kFailed) {
        const bool last = newline == std::string_view::npos || is_blank(text.substr(newline + 1));
        result.error = error_in(text, pos, content.size(), data, line, last);
        if (newline != std::string_view::npos) result.error->resume_at = newline + 1;
        return result;
      }
    }
    if (newline == std::string_view::npos) break;
    pos = newline + 1;
    ++line;
  }
  return result;
}

Outcome RpcJsonReader::Impl::read_value(std::string_view doc, std::size_t readable, const TxVisitor& visit,
                                        std::size_t& visited) {
  const char* const value_start = doc.data() + doc.find_first_not_of(kWhitespace);
  auto failed = [&](ReadErrorKind kind, std::string message, const char* at) {
    failure = Failure{kind, std::move(message), at != nullptr ? at : value_start};
    return Outcome::kFailed;
  };
  if (doc.size() > limits.max_value_bytes) {
    return failed(ReadErrorKind::kTooLarge,
                  std::format("a JSON value of {} bytes, above the limit of {}", doc.size(), limits.max_value_bytes),
                  nullptr);
  }
  od::document document;
  if (auto e = parser.iterate(doc.data(), doc.size(), readable).get(document)) {
    return failed(ReadErrorKind::kInvalidJson, std::format("invalid JSON: {}", simdjson::error_message(e)), nullptr);
  }
  od::json_type type;
  if (auto e = document.type().get(type)) {
    return failed(ReadErrorKind::kInvalidJson, std::format("invalid JSON: {}", simdjson::error_message(e)), nullptr);
  }
  if (type != od::json_type::object && type != od::json_type::array) {
    // A scalar is checked only when read: read it to tell JSON from not.
    bool valid = false;
    if (type == od::json_type::number) {
      od::number n;
      valid = document.get_number().get(n) == simdjson::SUCCESS;
    } else if (type == od::json_type::string) {
      std::string_view s;
      valid = document.get_string().get(s) == simdjson::SUCCESS;
    } else if (type == od::json_type::boolean) {
      bool b;
      valid = document.get_bool().get(b) == simdjson::SUCCESS;
    } else if (type == od::json_type::null) {
      bool is_null = false;
      valid = document.is_null().get(is_null) == simdjson::SUCCESS && is_null;
    }
    if (!valid) return failed(ReadErrorKind::kInvalidJson, "invalid JSON: not a JSON value", nullptr);
    return failed(ReadErrorKind::kShape,
                  "expected a transaction, block or RPC response, or an array of them, found a lone scalar", nullptr);
  }
  od::value root;
  if (auto e = document.get_value().get(root)) {
    return failed(ReadErrorKind::kInvalidJson, std::format("invalid JSON: {}", simdjson::error_message(e)), nullptr);
  }
  if (!values.read(root, visit, visited)) {
    if (values.stopped()) return Outcome::kStopped;
    failure = values.failure();
    return Outcome::kFailed;
  }
  if (!document.at_end()) {
    const char* at = nullptr;
    if (document.current_location().get(at) != simdjson::SUCCESS) at = nullptr;
    return failed(ReadErrorKind::kInvalidJson, "more JSON after the end of the value", at);
  }
  return Outcome::kDone;
}

// The reader's failure, placed in the caller's text. `doc_data` is where the
// value's text was read (the caller's or a copy), which `failure.at` points into.
ReadError RpcJsonReader::Impl::error_in(std::string_view text, std::size_t doc_offset, std::size_t doc_size,
                                        const char* doc_data, std::size_t doc_line, bool last_in_text) {
  const std::string_view doc = text.substr(doc_offset, doc_size);
  const std::size_t value_start = doc.find_first_not_of(kWhitespace);
  std::size_t at = value_start;
  if (failure.at != nullptr && failure.at >= doc_data && failure.at <= doc_data + doc_size) {
    at = static_cast<std::size_t>(failure.at - doc_data);
  }
  ReadError error;
  error.kind = failure.kind;
  error.message = std::move(failure.message);
  // A value left open explains any failure inside it: the text or line was cut.
  if (failure.kind != ReadErrorKind::kTooLarge && leaves_value_open(doc)) {
    at = value_start;
    error.kind = last_in_text ? ReadErrorKind::kTruncated : ReadErrorKind::kInvalidJson;
    error.message = last_in_text ? "the text ends inside this value (cut short?)"
                                 : "the line ends inside this value (an unclosed string, array or object)";
  }
  const TextPosition position = locate(doc, at, doc_line);
  error.line = position.line;
  error.column = position.column;
  error.offset = doc_offset + at;
  return error;
}

}  // namespace brisquel::tx
