// Why something that input brought cannot be used: one small value for every
// part that reads input (a body's walk, a JSON reader, a transaction's wire
// form, a call's instruction data, a program's description). It is made on
// the failing path, holds its message as parts (what, where, how much, whose)
// and is turned into text only where a text is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisquel {

// One step from a value into a part of it: a field or variant by name, or an
// element (or a field of a tuple) by index.
struct PathStep {
  std::string_view name;  // owned by the decoder's tables; empty for an index
  std::uint64_t index = 0;

  bool is_index() const { return name.data() == nullptr; }
  friend bool operator==(const PathStep&, const PathStep&) = default;
};

// Where in a value a walk failed. Steps are added while the failure unwinds,
// so they are kept innermost first; nothing is made while decoding succeeds.
struct FieldPath {
  std::vector<PathStep> steps;  // innermost first

  bool empty() const { return steps.empty(); }
  void add_name(std::string_view name) { steps.push_back({name.data() == nullptr ? std::string_view("", 0) : name, 0}); }
  void add_index(std::uint64_t index) { steps.push_back({std::string_view(), index}); }
  // Outermost first, as a reader follows them.
  std::vector<PathStep> outward() const { return {steps.rbegin(), steps.rend()}; }
};

// "pool.reserves[3].amount"; "" for an empty path.
std::string format_path(const FieldPath& path);

struct Error {
  enum class Kind : std::uint8_t {
    None,
    // A body's bytes, met by its walk; the message is made from need, pos,
    // have and name.
    LengthOverflow,      // a read whose end does not fit 64 bits
    EndOfBuffer,         // need, pos, have
    InvalidUtf8,         // pos: valid prefix length; need: ill-formed length (0: incomplete)
    GenericArrayLength,
    GenericParameter,
    GenericDefined,      // name
    UnknownDefined,      // name
    EnumOutOfRange,      // need: the index
    TooDeep,             // need: the nesting limit
    TooManyZeroSized,    // need: the element limit
    ValueTooLarge,       // need: the bytes a column value may take
    Python,              // the interpreter's exception, kept by whoever met it
    NoFixedLayout,       // name: a type a zero-copy account cannot lay out
    NoAccountType,       // name: an account without a struct of its name in idl.types
    ConstantMismatch,    // pos: where bytes that must be a constant are not
    NoSentinel,          // pos: where the search for a sentinel began
    NumberTooLarge,      // pos: a size, count or flag past 64 bits, negative, or a short u16 past its form
    OffsetOutside,       // pos: a move to outside the bytes
    // A text of JSON; `text` holds the reader's words, `line` and `column` the place.
    InvalidJson,         // not JSON, or a value left incomplete before the end of its line
    Truncated,           // the text ends inside a value: a file cut short
    Shape,               // JSON, but not an accepted shape, or a field of the wrong type
    RpcError,            // a JSON-RPC error response
    TooLarge,            // a value or a list beyond the reader's limits
    // A transaction whose wire form cannot be read; `text` says why.
    Unreadable,
    // A call whose instruction cannot be told; the call itself says why.
    DataNotBase58,       // no layout: what the data says is unknown
    AccountPastKeys,     // an account index beyond the transaction's keys
    NoInstruction,       // the data matches none of the program's instructions
    NotAPublicKey,       // an account key that is not a base58 public key (keys kept as bytes)
    // A program's description that cannot be used; `text` says why.
    Idl,
  };

  Kind kind = Kind::None;
  // Parts of a walk's message.
  std::uint64_t need = 0;
  std::uint64_t pos = 0;
  std::uint64_t have = 0;
  std::string_view name;  // a type name owned by the decoder's tables
  // Words made where the failure was met, for kinds whose message is not
  // made of the parts above.
  std::string text;
  // Where: bytes from the start of the body (or of the text); the fields and
  // elements the walk was in; the 1-based line and column (bytes) in a text,
  // 0 outside one; and for JSON lines, the offset of the next line, where a
  // caller may go on reading.
  std::uint64_t offset = 0;
  FieldPath path;
  std::size_t line = 0;
  std::size_t column = 0;
  std::optional<std::size_t> resume_at;
  // Whose, when the one that met it knows: the program's address and the
  // item (event, instruction, account type). Owned by the decoder's tables.
  std::string_view program;
  std::string_view item;

  constexpr Error() = default;
  constexpr explicit Error(Kind k, std::uint64_t need_ = 0, std::uint64_t pos_ = 0, std::uint64_t have_ = 0)
      : kind(k), need(need_), pos(pos_), have(have_) {}
  constexpr Error(Kind k, std::string_view name_) : kind(k), name(name_) {}
  Error(Kind k, std::string text_) : kind(k), text(std::move(text_)) {}

  static constexpr Error end_of_buffer(std::uint64_t need, std::uint64_t pos, std::uint64_t have) {
    return Error(Kind::EndOfBuffer, need, pos, have);
  }

  explicit operator bool() const { return kind != Kind::None; }
  // A failure of reading a text, which has a line and column.
  bool in_text() const { return line != 0; }
};

// The kind's name as the Python layer gives it: "end_of_buffer", "shape", ...
const char* kind_name(Error::Kind kind);

// The message without its place: the walk's words for a body's kinds, else
// `text`. A Python error has no text of its own here: its holder formats the
// exception.
std::string describe(const Error& error);

// The message with its place: "line 3, column 1: reason" in a text, "reason
// at pool.reserves[3]" in a value, else the reason alone.
std::string describe_at(const Error& error);

}  // namespace brisquel
