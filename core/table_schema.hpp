// The Arrow form of an event: one column per top-level field, typed from the
// IDL, and beside it the plan that tells the Arrow sink where each value of
// the walk goes. Made once per decoder; both halves come from one pass over
// the types, so they cannot disagree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/arrow/types.hpp"
#include "core/compiled_idl.hpp"

namespace brisquel {

// Names made unique in the order they come: a name already taken gets the
// first free "#2", "#3", ... suffix. Linear in the names, however often an
// IDL repeats one.
class UniqueNames {
 public:
  std::string add(std::string name);

 private:
  std::unordered_set<std::string> taken_;
  std::unordered_map<std::string, int> next_;  // per repeated name: the suffix to try next
};

// A field with no metadata.
inline arrow::Field column(std::string name, arrow::DataType type, bool nullable) {
  arrow::Field f;
  f.name = std::move(name);
  f.type = std::move(type);
  f.nullable = nullable;
  return f;
}

struct TableOptions {
  bool binary_pubkeys = false;    // fixed_size_binary(32) instead of base58 text
  bool text_wide_ints = false;    // u128 / i128 as decimal text instead of decimal256(39, 0)
  bool null_short_events = false; // a body that stops where a top-level field begins: the rest null
};

// The field metadata key that marks columns not holding the IDL type in its
// plain Arrow form, and its values.
inline constexpr std::string_view kEncodingKey = "brisquel.encoding";
inline constexpr std::string_view kJsonEncoding = "json";        // the value as JSON text
inline constexpr std::string_view kPresentEncoding = "present";  // a struct without fields: true
inline constexpr std::string_view kDecimalEncoding = "decimal";  // an integer as exact decimal text
inline constexpr std::string_view kBase58Encoding = "base58";    // a public key as base58 text
inline constexpr std::string_view kEnumEncoding = "enum";        // an enum with data: `variant`, then its data
inline constexpr std::string_view kOptionEncoding = "option";    // an option of an option: `value` holds the inner

// Where one value of the walk goes, mirroring the walk's positions.
struct SlotPlan {
  enum class Mode : std::uint8_t {
    Scalar,     // a scalar, string or bytes value into this column
    Nullable,   // an option: null here, or the value into children[0] (this column)
    Wrap,       // an option of an option: a struct whose child 0 holds the inner option
    List,       // children[0]: the element
    FixedList,  // children[0]: the element
    Struct,     // children: one per field, in field order (the root too)
    Present,    // a struct without fields: true
    UnitEnum,   // the variant's index in a dictionary of the names
    DataEnum,   // children[0]: the variant; children[1 + v]: variant v's fields (unit variants: Absent)
    Json,       // the value as JSON text
    Skip,       // consumed, not stored (a field replaced by a later one of the same name)
    Absent,     // no column (a unit variant of a data enum)
  };
  Mode mode = Mode::Scalar;
  // Which child of the parent's column this slot writes; -1: the parent's
  // own column (an option's value), or none (Skip, Absent).
  std::int32_t column = -1;
  std::vector<SlotPlan> children;
};

// The table form of a decoded body: an event's, or an account's.
struct EventSchema {
  std::string name;
  const EventLayout* layout = nullptr;                   // an event's; nullptr for an account
  const std::optional<FieldList>* field_list = nullptr;  // what the walk reads
  arrow::Field fields;  // a struct whose children are the body's columns
  SlotPlan plan;        // Struct, over the body's fields
};

// The Arrow form of a field list (an event's, an account's, an instruction's
// arguments), which must outlive the schema. Never fails: what has no column form
// (types that contain themselves, generics, unknown names, or nesting and
// widths past the bounds of a table) becomes JSON text, marked as such.
EventSchema body_schema(std::string name, const std::optional<FieldList>& list, const TableOptions& options);

// The Arrow form of `layout`'s fields.
EventSchema event_schema(const EventLayout& layout, const TableOptions& options);

}  // namespace brisquel
