// JSON text to the value tree, and values back to text.
//
// RapidJSON's SAX reader does the parsing. Its error codes are coarser than the
// messages the loader reports, so a failed parse is explained afterwards from the
// error code, the bytes at the error offset and a little look-behind (`explain`).
// Strings are checked for UTF-8 and floats converted here, correctly rounded.
#include "json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <format>
#include <functional>
#include <iterator>
#include <limits>
#include <numeric>
#include <optional>
#include <span>

#include <rapidjson/reader.h>
#include <unicode/uchar.h>

#include "codec/utf8.hpp"

namespace brisquel::json {
namespace {

// ---------------------------------------------------------------------------
// Syntax errors

constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kExpectedColon = "expected `:`";
constexpr std::string_view kExpectedListEnd = "expected `,` or `]`";
constexpr std::string_view kExpectedObjectEnd = "expected `,` or `}`";
constexpr std::string_view kExpectedIdent = "expected ident";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";
constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view kKeyNotString = "key must be a string";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
constexpr std::string_view kTrailingComma = "trailing comma";
constexpr std::string_view kTrailingCharacters = "trailing characters";
constexpr std::string_view kEndOfHexEscape = "unexpected end of hex escape";
constexpr std::string_view kRecursionLimit = "recursion limit exceeded";

// One unit per open array or object; the level that uses the last unit fails.
constexpr int kDepthBudget = 128;

// A message and the byte index its position is computed from. Most faults are
// reported just after the offending byte, faults at the end of the text at its
// length.
struct SyntaxError {
  std::string_view message;
  std::size_t index;
};

std::string with_position(std::string_view text, SyntaxError error) {
  const std::string_view head = text.substr(0, error.index);
  const std::size_t line = 1 + std::ranges::count(head, '\n');
  const std::size_t last_newline = head.rfind('\n');
  const std::size_t column =
      last_newline == std::string_view::npos ? error.index : error.index - last_newline - 1;
  return std::format("{} at line {} column {}", error.message, line, column);
}

bool is_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_letter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

int hex_value(unsigned char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// ---------------------------------------------------------------------------
// Re-reading the text around a fault

// The last non-blank byte before `index`, or -1.
int byte_before(std::string_view text, std::size_t index) {
  while (index > 0) {
    const auto c = static_cast<unsigned char>(text[--index]);
    if (!is_blank(c)) return c;
  }
  return -1;
}

// A digit straight after a number that is exactly "0" or "-0": the reader stops
// such a number before the digit, which then looks like a missing separator.
bool is_leading_zero(std::string_view text, std::size_t index) {
  return index > 0 && index < text.size() && text[index - 1] == '0' && is_digit(text[index]);
}

// Reads the string whose opening quote is at `open` and returns its first fault,
// in the order and at the positions the loader reports them: escapes and control
// characters as they come, the UTF-8 check once the closing quote is found.
// RapidJSON finds the same faults at other offsets, and accepts \uDC00.
std::optional<SyntaxError> string_fault(std::string_view text, std::size_t open) {
  const std::size_t n = text.size();
  const SyntaxError eof{kEofString, n};
  std::size_t i = open + 1;
  auto read_hex4 = [&](unsigned& unit) -> std::optional<SyntaxError> {
    if (n - i < 4) return eof;
    unit = 0;
    for (int k = 0; k < 4; ++k, ++i) {
      const int digit = hex_value(static_cast<unsigned char>(text[i]));
      if (digit < 0) return SyntaxError{kInvalidEscape, i + 1};
      unit = unit * 16 + static_cast<unsigned>(digit);
    }
    return std::nullopt;
  };
  for (;;) {
    if (i >= n) return eof;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') {
      if (codec::is_valid_utf8(text.substr(open + 1, i - open - 1))) return std::nullopt;
      return SyntaxError{kInvalidCodePoint, i + 1};
    }
    if (c < 0x20) return SyntaxError{kControlCharacter, i + 1};
    ++i;
    if (c != '\\') continue;
    if (i >= n) return eof;
    const auto escape = static_cast<unsigned char>(text[i++]);
    if (escape != 'u') {
      if (std::string_view("\"\\/bfnrt").find(static_cast<char>(escape)) == std::string_view::npos)
        return SyntaxError{kInvalidEscape, i};
      continue;
    }
    unsigned unit = 0;
    if (auto fault = read_hex4(unit)) return fault;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return SyntaxError{kLoneSurrogate, i};
    if (unit < 0xD800 || unit > 0xDBFF) continue;
    for (const char expected : {'\\', 'u'}) {  // a leading surrogate needs a second \u escape
      if (i >= n) return eof;
      if (text[i++] != expected) return SyntaxError{kEndOfHexEscape, i};
    }
    if (auto fault = read_hex4(unit)) return fault;
    if (unit < 0xDC00 || unit > 0xDFFF) return SyntaxError{kLoneSurrogate, i};
  }
}

// The fault of the string whose opening quote is the first one from `from` on.
std::optional<SyntaxError> next_string_fault(std::string_view text, std::size_t from) {
  const std::size_t open = text.find('"', from);
  if (open == std::string_view::npos) return std::nullopt;
  return string_fault(text, open);
}

// The index just after the string whose opening quote is at `open` (or the end).
std::size_t skip_string(std::string_view text, std::size_t open) {
  std::size_t i = open + 1;
  while (i < text.size() && text[i] != '"') i += text[i] == '\\' ? 2 : 1;
  return std::min(i + 1, text.size());
}

struct NumberToken {
  std::size_t end;
  bool complete;  // false: the grammar broke off at `end`
};

// The extent of the number at `start` by JSON's number grammar.
NumberToken number_token(std::string_view text, std::size_t start) {
  const std::size_t n = text.size();
  std::size_t i = start;
  auto digit_at = [&](std::size_t k) { return k < n && is_digit(static_cast<unsigned char>(text[k])); };
  auto skip_digits = [&] {
    while (digit_at(i)) ++i;
  };
  if (i < n && text[i] == '-') ++i;
  if (!digit_at(i)) return {i, false};
  if (text[i] == '0') ++i;
  else skip_digits();
  if (i < n && text[i] == '.') {
    if (!digit_at(++i)) return {i, false};
    skip_digits();
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (!digit_at(i)) return {i, false};
    skip_digits();
  }
  return {i, true};
}

// Where a number too large for a double is reported: after the exponent digit
// that takes a positive exponent past 32 bits (when the digits are not all
// zero), otherwise after the number.
std::size_t out_of_range_index(std::string_view text, std::size_t start) {
  const NumberToken token = number_token(text, start);
  const std::string_view number = text.substr(start, token.end - start);
  const std::size_t e = number.find_first_of("eE");
  if (!token.complete || e == std::string_view::npos) return token.end;
  if (number.substr(0, e).find_first_of("123456789") == std::string_view::npos) return token.end;
  std::size_t i = e + 1;
  if (number[i] == '-') return token.end;
  if (number[i] == '+') ++i;
  std::int64_t exponent = 0;
  for (; i < number.size(); ++i) {
    exponent = exponent * 10 + (number[i] - '0');
    if (exponent > std::numeric_limits<std::int32_t>::max()) return start + i + 1;
  }
  return token.end;
}

// ---------------------------------------------------------------------------
// Numbers

// Whether a number that from_chars found out of range is too large rather than
// too small: the decimal exponent of its first significant digit is positive.
bool is_too_large(std::string_view number) {
  std::size_t i = number.front() == '-' ? 1 : 0;
  std::int64_t digits = 0, integer_digits = -1, first_significant = -1;
  for (; i < number.size(); ++i) {
    const auto c = static_cast<unsigned char>(number[i]);
    if (c == '.') {
      integer_digits = digits;
      continue;
    }
    if (!is_digit(c)) break;
    if (first_significant < 0 && c != '0') first_significant = digits;
    ++digits;
  }
  if (first_significant < 0) return false;
  if (integer_digits < 0) integer_digits = digits;
  std::int64_t exponent = 0;
  if (i < number.size()) {  // at 'e' or 'E'
    const bool negative = number[++i] == '-';
    if (number[i] == '-' || number[i] == '+') ++i;
    for (; i < number.size(); ++i)  // saturates: only the sign of the total matters
      exponent = std::min<std::int64_t>(exponent * 10 + number[i] - '0', 1 << 30);
    if (negative) exponent = -exponent;
  }
  return integer_digits - 1 - first_significant + exponent > 0;
}

// The value of a number the reader has checked. Integers without fraction or
// exponent stay exact when they fit 64 bits; "-0" and everything else become a
// double (infinity when too large).
Value number_value(std::string_view number) {
  const bool negative = number.front() == '-';
  if (number.find_first_of(".eE") == std::string_view::npos) {
    const std::string_view digits = number.substr(negative ? 1 : 0);
    std::uint64_t magnitude = 0;
    if (std::from_chars(digits.data(), digits.data() + digits.size(), magnitude).ec == std::errc{}) {
      if (!negative) return Value(magnitude);
      if (magnitude == 0) return Value(-0.0);
      if (magnitude <= std::uint64_t{1} << 63) return Value(static_cast<std::int64_t>(0 - magnitude));
    }
  }
  double d = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), d);
  if (error == std::errc::result_out_of_range) d = is_too_large(number) ? HUGE_VAL : 0.0;
  return Value(negative ? -std::fabs(d) : d);
}

// RapidJSON refuses some numbers that are in range ("0e400", or hundreds of
// integer digits before a negative exponent) because it checks the range before
// it has read the whole number. Such numbers from `from` on are listed here with
// their values, to be blanked out to "0" for a second run. Before the first real
// fault the text is valid JSON, so this simple scan sees its tokens as they are.
using Patches = std::vector<std::pair<std::size_t, double>>;  // number start, value

Patches in_range_long_numbers(std::string_view text, std::size_t from) {
  Patches found;
  for (std::size_t i = from; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') {
      i = skip_string(text, i);
      continue;
    }
    if (c != '-' && !is_digit(c)) {
      ++i;
      continue;
    }
    const NumberToken token = number_token(text, i);
    const std::string_view number = text.substr(i, token.end - i);
    const bool risky = number.size() > 300 || number.find_first_of("eE") != std::string_view::npos;
    if (token.complete && risky) {
      const Value value = number_value(number);
      const double d = value.kind() == Kind::Float ? value.as_float() : HUGE_VAL;
      if (std::isfinite(d)) found.emplace_back(i, d);
    }
    i = std::max(token.end, i + 1);
  }
  return found;
}

// ---------------------------------------------------------------------------
// Building the tree

// Orders the members of an object by key (byte order), keeping the earlier of
// equal keys first so that the last one can win: a stable sort of positions.
void order_members(std::span<const std::string> keys, std::vector<std::uint32_t>& order) {
  order.resize(keys.size());
  std::iota(order.begin(), order.end(), 0U);
  const auto by_key = [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; };
  if (std::ranges::adjacent_find(order, std::not_fn(by_key)) == order.end()) return;  // in order already
  if (order.size() > 16) {
    std::ranges::stable_sort(order, by_key);
    return;
  }
  for (std::size_t i = 1; i < order.size(); ++i) {  // insertion sort: stable, and no buffer
    const std::uint32_t moving = order[i];
    std::size_t hole = i;
    for (; hole > 0 && by_key(moving, order[hole - 1]); --hole) order[hole] = order[hole - 1];
    order[hole] = moving;
  }
}

// Reads a NUL-terminated copy of the text without bounds checks, and decodes
// strings in place (RapidJSON's in-situ mode). Without encoding validation
// RapidJSON never reads past a NUL byte: it takes one for the end of the text,
// and `explain` tells an inner NUL from the real end. Since strings are decoded
// over their raw bytes, faults are looked at in the original text.
struct InsituStream {
  using Ch = char;
  char* begin;
  char* cursor;
  char* out = nullptr;
  Ch Peek() const { return *cursor; }
  Ch Take() { return *cursor++; }
  std::size_t Tell() const { return static_cast<std::size_t>(cursor - begin); }
  Ch* PutBegin() { return out = cursor; }
  void Put(Ch c) { *out++ = c; }
  std::size_t PutEnd(Ch* start) { return static_cast<std::size_t>(out - start); }
  void Flush() {}
};

class TreeBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TreeBuilder> {
 public:
  TreeBuilder(std::string_view text, const InsituStream& stream, const Patches& patches)
      : text_(text), stream_(stream), patches_(patches) {
    values_.reserve(64);
    keys_.reserve(16);
  }

  bool Null() { return add(Value()); }
  bool Bool(bool b) { return add(Value(b)); }

  // Negative integers come as Int or Int64, the others as Uint or Uint64; the
  // only Int(0) is "-0", which is a float.
  bool Int(int i) { return add(i == 0 ? Value(-0.0) : Value(std::int64_t{i})); }
  bool Int64(std::int64_t i) { return add(Value(i)); }
  bool Uint64(std::uint64_t u) { return add(Value(u)); }
  bool Uint(unsigned u) {
    if (u == 0 && !patches_.empty()) {  // maybe a number blanked out to "0"
      const std::size_t start = stream_.Tell() - 1;
      auto it = std::ranges::lower_bound(patches_, start, {}, &Patches::value_type::first);
      if (it != patches_.end() && it->first == start) return add(Value(it->second));
    }
    return add(Value(std::uint64_t{u}));
  }

  // Any other number: RapidJSON's double is not always correctly rounded, so
  // the number is converted again from its text, which ends here.
  bool Double(double) {
    const std::size_t end = stream_.Tell();
    std::size_t start = end;
    while (start > 0 && std::string_view("0123456789+-.eE").contains(text_[start - 1])) --start;
    Value value = number_value(text_.substr(start, end - start));
    if (value.kind() == Kind::Float && std::isinf(value.as_float()))
      return refuse({kOutOfRange, out_of_range_index(text_, start)});
    return add(std::move(value));
  }

  bool String(const char* s, rapidjson::SizeType length, bool) {
    if (!accept_string(std::string_view(s, length))) return false;
    return add(Value(std::string(s, length)));
  }

  bool Key(const char* s, rapidjson::SizeType length, bool) {
    if (!accept_string(std::string_view(s, length))) return false;
    keys_.emplace_back(s, length);
    last_end_ = stream_.Tell();
    return true;
  }

  bool StartObject() { return open(); }
  bool StartArray() { return open(); }

  bool EndObject(rapidjson::SizeType count) {
    const std::size_t first_key = keys_.size() - count, first_value = values_.size() - count;
    const std::span<const std::string> keys(keys_.data() + first_key, count);
    order_members(keys, order_);
    Object members;
    members.reserve(count);
    for (std::size_t j = 0; j < count; ++j) {
      const std::uint32_t i = order_[j];
      if (j + 1 < count && keys[order_[j + 1]] == keys[i]) continue;  // a later one wins
      members.emplace_back(std::move(keys_[first_key + i]), std::move(values_[first_value + i]));
    }
    keys_.resize(first_key);
    values_.resize(first_value);
    --depth_;
    return add(Value(std::move(members)));
  }

  bool EndArray(rapidjson::SizeType count) {
    const auto first = values_.end() - count;
    Array elements(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
    values_.erase(first, values_.end());
    --depth_;
    return add(Value(std::move(elements)));
  }

  Value take_root() { return std::move(values_.front()); }
  const std::optional<SyntaxError>& refusal() const { return refusal_; }
  // Just after the last complete token; the next string starts at the next quote.
  std::size_t last_end() const { return last_end_; }

 private:
  bool add(Value value) {
    values_.push_back(std::move(value));
    last_end_ = stream_.Tell();
    return true;
  }

  bool open() {
    if (++depth_ >= kDepthBudget) return refuse({kRecursionLimit, stream_.Tell()});
    last_end_ = stream_.Tell();
    return true;
  }

  bool refuse(SyntaxError error) {
    refusal_ = error;
    return false;
  }

  // RapidJSON does not check UTF-8 here, and turns a lone trailing surrogate
  // escape (\uDC00) into the bytes of an encoded surrogate. Either makes the
  // decoded string invalid; the raw string then tells which fault comes first.
  bool accept_string(std::string_view decoded) {
    if (codec::is_valid_utf8(decoded)) return true;
    if (auto fault = next_string_fault(text_, last_end_)) return refuse(*fault);
    return refuse({kInvalidCodePoint, stream_.Tell()});
  }

  std::string_view text_;
  const InsituStream& stream_;
  const Patches& patches_;
  std::vector<Value> values_;     // finished values of the open containers, in order
  std::vector<std::string> keys_;  // keys of the open objects' members, in order
  std::vector<std::uint32_t> order_;  // scratch for ordering one object's members
  int depth_ = 0;
  std::size_t last_end_ = 0;
  std::optional<SyntaxError> refusal_;
};

// ---------------------------------------------------------------------------
// RapidJSON's error to the loader's message

// `last_end` is where the last complete token ended: a string with a fault
// starts at the next quote.
SyntaxError explain(std::string_view text, rapidjson::ParseErrorCode code, std::size_t offset,
                    std::size_t last_end) {
  using namespace rapidjson;
  const bool at_end = offset >= text.size();
  const auto byte = at_end ? 0 : static_cast<unsigned char>(text[offset]);
  const int before = byte_before(text, offset);  // the structural byte that led here
  const SyntaxError eof_value{kEofValue, text.size()};
  auto here = [&](std::string_view message) { return SyntaxError{message, offset + 1}; };
  auto or_eof = [&](std::string_view message, std::string_view eof_message) {
    return at_end ? SyntaxError{eof_message, text.size()} : here(message);
  };
  switch (code) {
    case kParseErrorDocumentEmpty:  // nothing but blanks, or a NUL byte
      return or_eof(kExpectedValue, kEofValue);
    case kParseErrorValueInvalid: {  // inside a literal, after a '-', or at a value's first byte
      const auto previous = offset > 0 ? static_cast<unsigned char>(text[offset - 1]) : 0;
      if (is_letter(previous)) return or_eof(kExpectedIdent, kEofValue);
      if (previous == '-') return or_eof(kInvalidNumber, kEofValue);
      if (at_end) return before == '[' ? SyntaxError{kEofList, text.size()} : eof_value;
      return here(before == ',' && byte == ']' ? kTrailingComma : kExpectedValue);
    }
    case kParseErrorObjectMissName:  // after '{' or ','
      if (before == ',') return at_end ? eof_value : here(byte == '}' ? kTrailingComma : kKeyNotString);
      return or_eof(kKeyNotString, kEofObject);
    case kParseErrorObjectMissColon:
      return or_eof(kExpectedColon, kEofObject);
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return or_eof(is_leading_zero(text, offset) ? kInvalidNumber : kExpectedObjectEnd, kEofObject);
    case kParseErrorArrayMissCommaOrSquareBracket:
      return or_eof(is_leading_zero(text, offset) ? kInvalidNumber : kExpectedListEnd, kEofList);
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
      return or_eof(kInvalidNumber, kEofValue);
    case kParseErrorStringMissQuotationMark:
    case kParseErrorStringEscapeInvalid:
    case kParseErrorStringUnicodeEscapeInvalidHex:
    case kParseErrorStringUnicodeSurrogateInvalid:
    case kParseErrorStringInvalidEncoding:
      if (auto fault = next_string_fault(text, last_end)) return *fault;
      return or_eof(byte < 0x20 ? kControlCharacter : kInvalidEscape, kEofString);
    default:
      return or_eof(kExpectedValue, kEofValue);
  }
}

// RapidJSON reports a number too large at its first byte, having checked the
// range before the end of the number. Either the number breaks off later (a
// syntax error), or it is in range after all (nullopt: run again with the
// numbers patched), or it is indeed too large.
std::optional<SyntaxError> explain_too_large(std::string_view text, std::size_t start, bool may_patch) {
  const NumberToken token = number_token(text, start);
  if (!token.complete) {
    if (token.end >= text.size()) return SyntaxError{kEofValue, text.size()};
    return SyntaxError{kInvalidNumber, token.end + 1};
  }
  const Value value = number_value(text.substr(start, token.end - start));
  if (may_patch && value.kind() == Kind::Float && std::isfinite(value.as_float())) return std::nullopt;
  return SyntaxError{kOutOfRange, out_of_range_index(text, start)};
}

// ---------------------------------------------------------------------------
// Writing

void append_unicode_escape(std::string& out, char32_t c) {
  std::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(c));
}

// Characters that debug text writes as \u{...}: combining marks and everything
// that is not printable (controls, format characters, separators other than
// the space, private use, unassigned).
bool needs_unicode_escape(char32_t c) {
  const auto code_point = static_cast<UChar32>(c);
  if (u_hasBinaryProperty(code_point, UCHAR_GRAPHEME_EXTEND)) return true;
  switch (u_charType(code_point)) {
    case U_UNASSIGNED:
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_PRIVATE_USE_CHAR:
    case U_SURROGATE:
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      return false;
  }
}

// A string in double quotes as error messages show it.
void append_debug_string(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\0': out += "\\0"; break;
        default:
          if (c < 0x20 || c == 0x7F) append_unicode_escape(out, c);
          else out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    char32_t code_point = 0;
    const std::size_t length = codec::next_code_point(s, i, code_point);
    if (length == 0) {  // not UTF-8: nothing to interpret, keep the byte
      out += s[i++];
      continue;
    }
    if (needs_unicode_escape(code_point)) append_unicode_escape(out, code_point);
    else out.append(s.substr(i, length));
    i += length;
  }
  out += '"';
}

void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

template <class Integer>
void append_integer(std::string& out, Integer value) {
  char buffer[24];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  out.append(buffer, end);
}

void append_compact(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Kind::Null: out += "null"; break;
    case Kind::Bool: out += v.as_bool() ? "true" : "false"; break;
    case Kind::UInt: append_integer(out, v.as_uint()); break;
    case Kind::Int: append_integer(out, v.as_int()); break;
    case Kind::Float: out += std::isfinite(v.as_float()) ? format_float(v.as_float()) : "null"; break;
    case Kind::String: append_json_string(out, v.as_string()); break;
    case Kind::Array: {
      out += '[';
      bool first = true;
      for (const Value& element : v.as_array()) {
        if (!first) out += ',';
        first = false;
        append_compact(out, element);
      }
      out += ']';
      break;
    }
    case Kind::Object: {
      out += '{';
      bool first = true;
      for (const auto& [key, value] : v.as_object()) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, key);
        out += ':';
        append_compact(out, value);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------

Result<Value> parse(std::string_view text) {
  // The reader counts in 32 bits; no IDL comes near this, so refuse rather than misread.
  if (text.size() >= 0xffffffffu) return fail("document too large (4 GiB or more)");
  // Stop after the value: what follows is checked here, where a NUL byte can
  // be told from the end. In situ: strings are decoded over the copy.
  constexpr unsigned kFlags = rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseInsituFlag;
  Patches patches;
  for (bool second_run = false;; second_run = true) {
    // Same length and lines as the text; differs only inside blanked-out
    // numbers and, once parsed, inside strings.
    std::string bytes(text);
    for (const auto& [at, value] : patches) {
      const std::size_t end = number_token(text, at).end;
      bytes.replace(at, end - at, end - at, ' ');
      bytes[at] = '0';
    }
    InsituStream stream{bytes.data(), bytes.data()};
    TreeBuilder builder(text, stream, patches);
    rapidjson::Reader reader;
    const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, builder);
    SyntaxError error{};
    if (result) {
      std::size_t i = stream.Tell();
      while (i < bytes.size() && is_blank(static_cast<unsigned char>(bytes[i]))) ++i;
      if (i == bytes.size()) return builder.take_root();
      error = {is_leading_zero(text, i) ? kInvalidNumber : kTrailingCharacters, i + 1};
    } else if (result.Code() == rapidjson::kParseErrorTermination) {
      error = *builder.refusal();
    } else if (result.Code() == rapidjson::kParseErrorNumberTooBig) {
      const auto too_large = explain_too_large(text, result.Offset(), !second_run);
      if (!too_large) {
        patches = in_range_long_numbers(text, result.Offset());
        continue;
      }
      error = *too_large;
    } else {
      error = explain(text, result.Code(), result.Offset(), builder.last_end());
    }
    return fail(with_position(text, error));
  }
}

const Value* Value::find(std::string_view key) const {
  const auto* members = std::get_if<Object>(&data);
  if (members == nullptr) return nullptr;
  const auto key_of = [](const Member& m) { return std::string_view(m.first); };
  const auto it = std::ranges::lower_bound(*members, key, {}, key_of);
  return it != members->end() && it->first == key ? &it->second : nullptr;
}

std::string describe(const Value& v) {
  switch (v.kind()) {
    case Kind::Null: return "null";
    case Kind::Bool: return v.as_bool() ? "boolean `true`" : "boolean `false`";
    case Kind::UInt: return std::format("integer `{}`", v.as_uint());
    case Kind::Int: return std::format("integer `{}`", v.as_int());
    case Kind::Float: return std::format("floating point `{}`", format_float(v.as_float()));
    case Kind::String: {
      std::string out = "string ";
      append_debug_string(out, v.as_string());
      return out;
    }
    case Kind::Array: return "sequence";
    case Kind::Object: return "map";
  }
  return {};
}

std::string format_float(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  std::string out = std::signbit(d) ? "-" : "";
  if (d == 0) return out + "0.0";
  // Shortest round-trip digits d1.d2...dn and exponent E; the point sits kk
  // digits after the first one (value = 0.d1...dn * 10^kk).
  char buffer[32];
  const char* end = std::to_chars(buffer, std::end(buffer), std::fabs(d), std::chars_format::scientific).ptr;
  const std::string_view scientific(buffer, static_cast<std::size_t>(end - buffer));
  const std::size_t e = scientific.find('e');
  std::string digits(1, scientific[0]);
  if (e > 1) digits.append(scientific.substr(2, e - 2));
  const std::size_t exponent_start = e + (scientific[e + 1] == '+' ? 2 : 1);
  int exponent = 0;
  std::from_chars(scientific.data() + exponent_start, scientific.data() + scientific.size(), exponent);
  const int n = static_cast<int>(digits.size());
  const int kk = exponent + 1;
  if (kk >= n && kk <= 16) {  // 1234e7 -> 12340000000.0
    out += digits;
    out.append(static_cast<std::size_t>(kk - n), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {  // 1234e-2 -> 12.34
    out += std::string_view(digits).substr(0, static_cast<std::size_t>(kk));
    out += '.';
    out += std::string_view(digits).substr(static_cast<std::size_t>(kk));
  } else if (kk > -5 && kk <= 0) {  // 1234e-6 -> 0.001234
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else {  // 1e30, 1234e30 -> 1.234e33
    out += digits[0];
    if (n > 1) {
      out += '.';
      out += std::string_view(digits).substr(1);
    }
    std::format_to(std::back_inserter(out), "e{}", kk - 1);
  }
  return out;
}

std::string to_compact(const Value& v) {
  std::string out;
  append_compact(out, v);
  return out;
}

}  // namespace brisquel::json
