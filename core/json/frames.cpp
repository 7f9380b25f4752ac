#include "core/json/frames.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <format>
#include <memory>
#include <mutex>
#include <vector>

#include "core/json/text_scan.hpp"
#include "core/shared_mutex.hpp"

namespace brisquel::json {

static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);

namespace {

constexpr std::string_view kWhitespace = " \t\r\n";

RpcJsonLimits clamp(RpcJsonLimits l) {
  l.max_value_bytes = std::min(l.max_value_bytes, simdjson::SIMDJSON_MAXSIZE_BYTES);
  l.max_depth = std::max<std::size_t>(l.max_depth, 4);
  return l;
}

// Memory is readable a page at a time: when the padding after the text lies on
// the page of its last byte, it can be read in place (the parser reads it but
// its content never changes the result), and the copy is saved. Address
// sanitizer builds copy always, since reading past an object is what it flags.
// AddressSanitizer, as GCC and as clang say it: it rightly flags a read past
// the end of an allocation, however harmless within the page.
#if defined(__SANITIZE_ADDRESS__)
#define BRISQUEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRISQUEL_ASAN 1
#endif
#endif

bool tail_readable(std::string_view text) {
#if defined(BRISQUEL_ASAN)
  return false;
#else
  constexpr std::uintptr_t kPage = 4096;
  if (text.empty()) return false;
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(text.data() + text.size() - 1);
  return last % kPage + 1 + kJsonPadding <= kPage;
#endif
}

// Parsers of finished reads, kept for the next: a parser's index of a large
// value is written to fresh pages, and each page costs a fault (on a virtual
// machine more than the parsing itself), while a kept parser's pages are in
// memory already. Bounded by the values they were sized for: their memory in
// use is a part of that, the part the values read with them filled.
class ParserPool {
 public:
  static ParserPool& instance() {
    static ParserPool* const pool = new ParserPool;  // never destroyed: see RegionPool
    return *pool;
  }

  // The largest kept parser for this nesting limit (the value to read is not
  // known yet, and a parser too small for it starts afresh), or nullptr.
  std::unique_ptr<od::parser> take(std::size_t max_depth) {
    std::lock_guard lock(mutex_);
    auto best = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if ((*it)->max_depth() != max_depth) continue;
      if (best == kept_.end() || (*it)->capacity() > (*best)->capacity()) best = it;
    }
    if (best == kept_.end()) return nullptr;
    std::unique_ptr<od::parser> p = std::move(*best);
    kept_.erase(best);
    capacity_ -= p->capacity();
    return p;
  }

  // Keeps `p` within the bounds, else frees it; the oldest kept go first.
  void give(std::unique_ptr<od::parser> p) {
    if (p == nullptr || p->capacity() > kMaxCapacity) return;
    std::vector<std::unique_ptr<od::parser>> freed;
    {
      std::lock_guard lock(mutex_);
      while (!kept_.empty() && (kept_.size() >= kMaxKept || capacity_ + p->capacity() > kMaxCapacity)) {
        capacity_ -= kept_.front()->capacity();
        freed.push_back(std::move(kept_.front()));
        kept_.erase(kept_.begin());
      }
      capacity_ += p->capacity();
      kept_.push_back(std::move(p));
    }
  }  // freed with the lock let go

 private:
  static constexpr std::size_t kMaxKept = 8;
  // Bytes of JSON, summed: two threads reading values of 100 MB keep both.
  static constexpr std::size_t kMaxCapacity = std::size_t{512} << 20;

  SharedMutex mutex_{"JSON parsers"};
  std::vector<std::unique_ptr<od::parser>> kept_;
  std::size_t capacity_ = 0;
};

}  // namespace

JsonFrames::JsonFrames(RpcJsonLimits limits)
    : limits_(clamp(limits)), parser_(ParserPool::instance().take(limits_.max_depth)) {
  if (parser_ != nullptr) {
    parser_->set_max_capacity(limits_.max_value_bytes);
    return;
  }
  parser_ = std::make_unique<od::parser>(limits_.max_value_bytes);
  // Sets the nesting limit; the capacity grows with the largest value read.
  // Should this fail (no memory), the first read reports it.
  if (parser_->allocate(4096, limits_.max_depth) != simdjson::SUCCESS) return;
}

JsonFrames::~JsonFrames() { ParserPool::instance().give(std::move(parser_)); }

// The copy lives in pooled pages that earlier copies (or columns) already
// brought into memory: a large text copied into fresh memory costs far more
// in page faults than in bytes moved.
const char* JsonFrames::padded_copy(std::string_view text) {
  copy_.set_size(0);
  char* const out = reinterpret_cast<char*>(copy_.extend(text.size() + kJsonPadding));
  std::memcpy(out, text.data(), text.size());
  std::memset(out + text.size(), ' ', kJsonPadding);
  return out;
}

ReadResult JsonFrames::run(std::string_view text, bool padded, RootReader& reader) {
  padded = padded || tail_readable(text);
  const std::size_t start = text.find_first_not_of(kWhitespace);
  if (start == std::string_view::npos) {
    ReadResult result;
    result.error.emplace(Error::Kind::InvalidJson, std::string("the text holds no JSON value"));
    result.error->line = result.error->column = 1;
    return result;
  }
  // One value over several lines opens on its first line and closes later;
  // a JSON-lines text closes its first value on the first line.
  const std::size_t first_end = text.find('\n', start);
  const bool one_value = first_end != std::string_view::npos &&
                         text.find_first_not_of(kWhitespace, first_end) != std::string_view::npos &&
                         leaves_value_open(text.substr(start, first_end - start));
  if (!one_value) {
    // Blank lines before the first value end lines of their own.
    const std::size_t lead = text.substr(0, start).find('\n');
    return read_lines(text, padded, reader, lead != std::string_view::npos ? lead : first_end);
  }

  ReadResult result;
  const char* data = text.data();
  std::size_t readable = text.size() + kJsonPadding;
  if (!padded && text.size() <= limits_.max_value_bytes) {
    data = padded_copy(text);
    readable = text.size() + kJsonPadding;
  }
  // One value is one document: its text and strings last until it is done.
  Outcome outcome = read_value({data, text.size()}, readable, true, true, reader, result.visited);
  if (outcome != Outcome::kStopped && reader.finish(result.visited) == Outcome::kStopped) {
    outcome = Outcome::kStopped;
  }
  result.stopped = outcome == Outcome::kStopped;
  if (outcome == Outcome::kFailed) result.error = error_in(text, 0, text.size(), data, 1, true);
  return result;
}

// `first_newline`: where the first line ends (npos: it is the whole text), found already.
ReadResult JsonFrames::read_lines(std::string_view text, bool padded, RootReader& reader, std::size_t first_newline) {
  ReadResult result;
  std::size_t pos = 0;
  std::size_t line = 1;
  while (pos < text.size()) {
    const std::size_t newline = line == 1 ? first_newline : text.find('\n', pos);
    const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    const std::string_view content = text.substr(pos, end - pos);
    if (!is_blank(content)) {
      const char* data = content.data();
      // A line with enough text after it needs no padding of its own.
      const std::size_t needed = content.size() + kJsonPadding;
      std::size_t readable = text.size() - pos + (padded ? kJsonPadding : 0);
      if (readable < needed && tail_readable(content)) readable = needed;
      if (readable < needed && content.size() <= limits_.max_value_bytes) {
        data = padded_copy(content);
        readable = needed;
      }
      // A line read in place is the caller's text until the end; a copy is
      // overwritten by the next line, as the parser's strings are.
      Outcome outcome = read_value({data, content.size()}, readable, data == content.data(), false, reader,
                                   result.visited);
      // What was kept back precedes the failure, and a stop asked for there
      // means this line was never reached.
      if (outcome == Outcome::kFailed && reader.finish(result.visited) == Outcome::kStopped) {
        outcome = Outcome::kStopped;
      }
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
  result.stopped = reader.finish(result.visited) == Outcome::kStopped;
  return result;
}

Outcome JsonFrames::read_value(std::string_view doc, std::size_t readable, bool text_lasts, bool strings_last,
                               RootReader& reader, std::size_t& visited) {
  const char* const value_start = doc.data() + doc.find_first_not_of(kWhitespace);
  auto failed = [&](Error::Kind kind, std::string message, const char* at) {
    failure_ = Failure{Error(kind, std::move(message)), at != nullptr ? at : value_start};
    return Outcome::kFailed;
  };
  if (doc.size() > limits_.max_value_bytes) {
    return failed(Error::Kind::TooLarge,
                  std::format("a JSON value of {} bytes, above the limit of {}", doc.size(), limits_.max_value_bytes),
                  nullptr);
  }
  od::document document;
  if (auto e = parser_->iterate(doc.data(), doc.size(), readable).get(document)) {
    return failed(Error::Kind::InvalidJson, std::format("invalid JSON: {}", simdjson::error_message(e)), nullptr);
  }
  od::json_type type;
  if (auto e = document.type().get(type)) {
    return failed(Error::Kind::InvalidJson, std::format("invalid JSON: {}", simdjson::error_message(e)), nullptr);
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
    if (!valid) return failed(Error::Kind::InvalidJson, "invalid JSON: not a JSON value", nullptr);
    return failed(Error::Kind::Shape, std::format("expected {}, found a lone scalar", reader.expected()), nullptr);
  }
  od::value root;
  if (auto e = document.get_value().get(root)) {
    return failed(Error::Kind::InvalidJson, std::format("invalid JSON: {}", simdjson::error_message(e)), nullptr);
  }
  // One scan of the value tells whether any string in it may hold an escape:
  // real transactions and accounts hold none, so their strings are taken as
  // they stand without a scan each.
  const bool escapes = std::memchr(doc.data(), '\\', doc.size()) != nullptr;
  // Escaped strings are written to the parser's buffer, which the next line reuses.
  const bool lasting = text_lasts && (strings_last || !escapes);
  const Outcome outcome = reader.read(root, escapes, lasting, visited, failure_);
  if (outcome != Outcome::kDone) return outcome;
  if (!document.at_end()) {
    const char* at = nullptr;
    if (document.current_location().get(at) != simdjson::SUCCESS) at = nullptr;
    return failed(Error::Kind::InvalidJson, "more JSON after the end of the value", at);
  }
  return Outcome::kDone;
}

// The reader's failure, placed in the caller's text. `doc_data` is where the
// value's text was read (the caller's or a copy), which `failure_.at` points into.
Error JsonFrames::error_in(std::string_view text, std::size_t doc_offset, std::size_t doc_size,
                               const char* doc_data, std::size_t doc_line, bool last_in_text) {
  const std::string_view doc = text.substr(doc_offset, doc_size);
  const std::size_t value_start = doc.find_first_not_of(kWhitespace);
  std::size_t at = value_start;
  if (failure_.at != nullptr && failure_.at >= doc_data && failure_.at <= doc_data + doc_size) {
    at = static_cast<std::size_t>(failure_.at - doc_data);
  }
  Error error = std::move(static_cast<Error&>(failure_));
  // A value left open explains any failure inside it: the text or line was cut.
  if (failure_.kind != Error::Kind::TooLarge && leaves_value_open(doc)) {
    at = value_start;
    error.kind = last_in_text ? Error::Kind::Truncated : Error::Kind::InvalidJson;
    error.text = last_in_text ? "the text ends inside this value (cut short?)"
                                 : "the line ends inside this value (an unclosed string, array or object)";
  }
  const TextPosition position = locate(doc, at, doc_line);
  error.line = position.line;
  error.column = position.column;
  error.offset = doc_offset + at;
  return error;
}

}  // namespace brisquel::json
