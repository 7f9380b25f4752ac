// The framing of RPC JSON text, shared by every reader of it. A text is one
// JSON value or JSON lines: a text that is one value (however many lines it
// spans) is read as that value; a text whose first value ends on its first
// line is read as JSON lines, one value per line (blank lines skipped).
// Reading stops at the first error; for JSON lines the error says where the
// next line starts, should the caller want to go on. What a value may be is
// the caller's: it reads each top-level object or array.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include <simdjson.h>

#include "core/arrow/buffer.hpp"
#include "core/json/read_error.hpp"

namespace brisquel::json {

namespace od = simdjson::ondemand;

enum class Outcome : std::uint8_t { kDone, kStopped, kFailed };

// What a reader does with one top-level value.
class RootReader {
 public:
  // Reads an object or array, counting what it hands over in `visited`;
  // kFailed with `failure` set, or kStopped when its visitor asked to stop.
  // `escapes`: whether the value's text holds a backslash anywhere.
  // `lasting`: whether everything the value's views point into (its text, the
  // parser's strings) stays as it is until finish(), so that the reader may
  // hand views over later.
  virtual Outcome read(od::value root, bool escapes, bool lasting, std::size_t& visited, Failure& failure) = 0;
  // Hands over whatever the reader has kept back; called after the last value
  // read, and before a failure is reported (what precedes it goes first).
  virtual Outcome finish(std::size_t& visited) {
    (void)visited;
    return Outcome::kDone;
  }
  // What a top-level value may be, for the error about a lone scalar.
  virtual std::string_view expected() const = 0;

 protected:
  ~RootReader() = default;
};

// Owns the JSON parser and a padded copy buffer, both reused. Not for use by
// two threads at once.
class JsonFrames {
 public:
  explicit JsonFrames(RpcJsonLimits limits);
  ~JsonFrames();
  JsonFrames(const JsonFrames&) = delete;
  JsonFrames& operator=(const JsonFrames&) = delete;

  const RpcJsonLimits& limits() const { return limits_; }

  // `padded`: `text` is followed in memory by kJsonPadding readable bytes; else
  // it is read in place when its page holds them, or copied (a line at a time
  // for JSON lines) into the reused buffer.
  ReadResult run(std::string_view text, bool padded, RootReader& reader);

 private:
  ReadResult read_lines(std::string_view text, bool padded, RootReader& reader, std::size_t first_newline);
  // `text_lasts`: the text read stays until the reader's finish(); `strings_last`:
  // so do the parser's strings (one value read, not a line of many).
  Outcome read_value(std::string_view doc, std::size_t readable, bool text_lasts, bool strings_last,
                     RootReader& reader, std::size_t& visited);
  Error error_in(std::string_view text, std::size_t doc_offset, std::size_t doc_size, const char* doc_data,
                     std::size_t doc_line, bool last_in_text);
  const char* padded_copy(std::string_view text);

  RpcJsonLimits limits_;
  std::unique_ptr<od::parser> parser_;  // from the process's kept parsers, or new
  Failure failure_;
  arrow::Buffer copy_;
};

}  // namespace brisquel::json
