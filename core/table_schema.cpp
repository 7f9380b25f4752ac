#include "core/table_schema.hpp"

#include <algorithm>
#include <format>
#include <utility>

namespace brisquel {
namespace {

using Kind = TypeNode::Kind;
using Mode = SlotPlan::Mode;
using arrow::DataType;
using arrow::Field;
using arrow::TypeId;

// Bounds of one event's columns. A hostile IDL could nest types past what a
// table can export, fan a definition out into millions of columns, or ask
// for fixed-size lists whose null entries fill millions of slots: past these
// bounds the value is stored as JSON text, or an array as a plain list.
constexpr int kMaxColumnDepth = arrow::kMaxTypeDepth - 4;
constexpr int kMaxColumns = 10'000;
constexpr std::int64_t kMaxFixedListSlots = 4096;

void mark(Field& field, std::string_view encoding) { field.metadata.emplace_back(kEncodingKey, encoding); }

// `names` with each repeat made unique by a "#2", "#3", ... suffix.
std::vector<std::string> unique_names(std::vector<std::string> names) {
  UniqueNames unique;
  for (std::string& name : names) name = unique.add(std::move(name));
  return names;
}

// The type an alias chain ends at (aliases that contain themselves end nowhere: nullptr).
// Layouts that only say where a value's bytes are: the value is `inner`'s.
bool transparent(Layout layout) {
  switch (layout) {
    case Layout::FixedSize: case Layout::SizePrefix: case Layout::Sentinel: case Layout::HiddenPrefix:
    case Layout::HiddenSuffix: case Layout::PreOffset: case Layout::PostOffset:
      return true;
    default:
      return false;
  }
}

const TypeNode* resolved(const TypeNode* t) {
  for (int hops = 0; hops < 128; ++hops) {  // past that, an alias chain is no column anyway
    if (transparent(t->layout)) {
      t = t->inner;
      continue;
    }
    if (t->kind != Kind::Defined || t->has_generics || t->definition == nullptr) return t;
    const Definition& d = *t->definition;
    if (d.kind != Definition::Kind::Type || d.recursive) return t;
    t = d.alias;
  }
  return nullptr;
}

class Mapper {
 public:
  Mapper(const TableOptions& options, bool fixed_lists)
      : options_(options), fixed_lists_(fixed_lists), nullable_(options.null_short_events ? 1 : 0) {}

  // Maps `type` into `field` (whose name and nullability the caller sets) and
  // `plan` (whose column the caller sets); returns the slots one value spans.
  std::int64_t map(const TypeNode& type, Field& field, SlotPlan& plan, int depth) {
    ++columns_;
    if (type.scalar) return noted(type, scalar(type.kind, field, plan), field);
    if (type.layout != Layout::Borsh) [[unlikely]] return laid_out(type, field, plan, depth);
    if (depth >= kMaxColumnDepth || columns_ > kMaxColumns) return json(field, plan);
    switch (type.kind) {
      case Kind::Option: return option(*type.inner, field, plan, depth);
      case Kind::Vec: return list(*type.inner, 0, field, plan, depth);
      case Kind::Array:
        if (type.generic_len) return json(field, plan);
        return list(*type.inner, type.len, field, plan, depth);
      case Kind::Defined: return defined(type, field, plan, depth);
      default: return json(field, plan);  // a generic parameter
    }
  }

  // A field list as a struct column (or, without fields, a column of true).
  std::int64_t fields(const std::optional<FieldList>& list, Field& field, SlotPlan& plan, int depth) {
    if (!list || list->types.empty()) return present(field, plan);
    const std::vector<std::string> names = field_names(*list);
    // One column per name, where the name first stands; a map keeps the
    // value of its last field, so the earlier ones are only consumed.
    std::vector<Field> columns;
    for (const auto& n : names) {
      if (std::ranges::find(columns, n, &Field::name) == columns.end()) columns.push_back(column(n, {}, true));
    }
    plan.mode = Mode::Struct;
    plan.children.resize(names.size());
    std::int64_t slots = 1;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (std::find(names.begin() + static_cast<std::ptrdiff_t>(i) + 1, names.end(), names[i]) != names.end()) {
        plan.children[i].mode = Mode::Skip;
        continue;
      }
      const auto column = std::ranges::find(columns, names[i], &Field::name) - columns.begin();
      plan.children[i].column = static_cast<std::int32_t>(column);
      Field& child = columns[static_cast<std::size_t>(column)];
      slots += map(*list->types[i], child, plan.children[i], depth + 1);
      child.nullable = is_option(*list->types[i]);
    }
    field.type = arrow::struct_of(std::move(columns));
    return slots;
  }

 private:
  static bool is_option(const TypeNode& t) {
    const TypeNode* r = resolved(&t);
    return r != nullptr && r->kind == Kind::Option;
  }

  static std::vector<std::string> field_names(const FieldList& list) {  // repeats included
    if (list.named) return list.names;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < list.types.size(); ++i) names.push_back(std::to_string(i));
    return names;
  }

  std::int64_t scalar(Kind kind, Field& field, SlotPlan& plan) {
    plan.mode = Mode::Scalar;
    switch (kind) {
      case Kind::Bool: field.type = arrow::primitive(TypeId::Bool); break;
      case Kind::U8: field.type = arrow::primitive(TypeId::UInt8); break;
      case Kind::I8: field.type = arrow::primitive(TypeId::Int8); break;
      case Kind::U16: field.type = arrow::primitive(TypeId::UInt16); break;
      case Kind::I16: field.type = arrow::primitive(TypeId::Int16); break;
      case Kind::U32: field.type = arrow::primitive(TypeId::UInt32); break;
      case Kind::I32: field.type = arrow::primitive(TypeId::Int32); break;
      case Kind::F32: field.type = arrow::primitive(TypeId::Float32); break;
      case Kind::U64: field.type = arrow::primitive(TypeId::UInt64); break;
      case Kind::I64: field.type = arrow::primitive(TypeId::Int64); break;
      case Kind::F64: field.type = arrow::primitive(TypeId::Float64); break;
      case Kind::U128:
      case Kind::I128:
        if (!options_.text_wide_ints) {
          field.type = arrow::decimal256(39, 0);
          break;
        }
        [[fallthrough]];
      case Kind::U256:
      case Kind::I256:
        field.type = arrow::primitive(TypeId::Utf8);
        mark(field, kDecimalEncoding);
        break;
      case Kind::Bytes: field.type = arrow::primitive(TypeId::Binary); break;
      case Kind::String: field.type = arrow::primitive(TypeId::Utf8); break;
      case Kind::Pubkey:
        if (options_.binary_pubkeys) {
          field.type = arrow::fixed_size_binary(32);
        } else {
          field.type = arrow::primitive(TypeId::Utf8);
          mark(field, kBase58Encoding);
        }
        break;
      default: break;
    }
    return 1;
  }

  // A type laid out otherwise than in Borsh: the column of the value it holds.
  std::int64_t laid_out(const TypeNode& type, Field& field, SlotPlan& plan, int depth) {
    if (transparent(type.layout)) {
      --columns_;
      return map(*type.inner, field, plan, depth);
    }
    if (depth >= kMaxColumnDepth || columns_ > kMaxColumns) return json(field, plan);
    switch (type.layout) {
      case Layout::PrefixedCount:
      case Layout::RemainderCount: return list(*type.inner, 0, field, plan, depth);
      case Layout::PrefixedOption:
      case Layout::ZeroableOption:
      case Layout::RemainderOption: return option(*type.inner, field, plan, depth);
      default: return noted(type, scalar(type.kind, field, plan), field);  // numbers, booleans, text
    }
  }

  // What the description says of a column beside its values (an amount's decimals and unit).
  static std::int64_t noted(const TypeNode& type, std::int64_t slots, Field& field) {
    for (const auto& [key, value] : type.notes) field.metadata.emplace_back("brisquel." + key, value);
    return slots;
  }

  std::int64_t json(Field& field, SlotPlan& plan) {
    field.type = arrow::primitive(TypeId::Utf8);
    field.metadata.clear();
    mark(field, kJsonEncoding);
    plan.mode = Mode::Json;
    plan.children.clear();
    return 1;
  }

  std::int64_t present(Field& field, SlotPlan& plan) {
    field.type = arrow::primitive(TypeId::Bool);
    mark(field, kPresentEncoding);
    plan.mode = Mode::Present;
    return 1;
  }

  std::int64_t option(const TypeNode& inner, Field& field, SlotPlan& plan, int depth) {
    field.nullable = true;
    const Nullable inside(nullable_);
    plan.children.resize(1);
    if (!is_option(inner)) {
      // The value's own column, nullable: None is its null.
      plan.mode = Mode::Nullable;
      plan.children[0].column = -1;
      return map(inner, field, plan.children[0], depth);
    }
    // None, Some(None) and Some(x) kept apart: a nullable struct around the inner option.
    plan.mode = Mode::Wrap;
    plan.children[0].column = 0;
    Field value = column("value", {}, true);
    const std::int64_t slots = 1 + map(inner, value, plan.children[0], depth + 1);
    value.nullable = true;
    std::vector<Field> children;
    children.push_back(std::move(value));
    field.type = arrow::struct_of(std::move(children));
    mark(field, kOptionEncoding);
    return slots;
  }

  std::int64_t list(const TypeNode& element, std::uint64_t length, Field& field, SlotPlan& plan, int depth) {
    plan.children.resize(1);
    plan.children[0].column = 0;
    Field item = column("item", {}, true);
    const std::int64_t slots = map(element, item, plan.children[0], depth + 1);
    item.nullable = is_option(element);
    // Parquet readers cannot read back a fixed-size list that is null, or
    // under a null, or of size 0: such an array is stored as a plain list.
    const bool fixed = length != 0 && nullable_ == 0 && fixed_lists_ &&
                       length <= static_cast<std::uint64_t>(kMaxFixedListSlots) &&
                       static_cast<std::int64_t>(length) * slots <= kMaxFixedListSlots;
    if (fixed) {
      plan.mode = Mode::FixedList;
      field.type = arrow::fixed_size_list_of(std::move(item), static_cast<std::int64_t>(length));
      return 1 + static_cast<std::int64_t>(length) * slots;
    }
    plan.mode = Mode::List;
    field.type = arrow::list_of(std::move(item));
    return 1 + slots;
  }

  std::int64_t defined(const TypeNode& type, Field& field, SlotPlan& plan, int depth) {
    if (type.has_generics || type.definition == nullptr || type.definition->recursive) return json(field, plan);
    const Definition& d = *type.definition;
    switch (d.kind) {
      case Definition::Kind::Struct: return fields(d.fields, field, plan, depth);
      case Definition::Kind::Enum: return enumeration(d, field, plan, depth);
      case Definition::Kind::Type: --columns_; return map(*d.alias, field, plan, depth);
    }
    return json(field, plan);
  }

  std::int64_t enumeration(const Definition& d, Field& field, SlotPlan& plan, int depth) {
    // No variant: no value can decode, and a dictionary needs a value; past
    // 32,768 variants no dictionary index fits (an index byte reaches 255).
    if (d.variants.empty() || d.variants.size() > 32'768) return json(field, plan);
    std::vector<std::string> names;
    for (const Variant& v : d.variants) names.push_back(v.name);
    const TypeId index = d.variants.size() <= 128 ? TypeId::Int8 : TypeId::Int16;
    const bool units_only = std::ranges::none_of(d.variants, [](const Variant& v) { return v.fields.has_value(); });
    if (units_only) {
      plan.mode = Mode::UnitEnum;
      field.type = arrow::dictionary_of(std::move(names), index);
      return 1;
    }
    // Parquet stores no unions: the variant's name, and one nullable struct
    // per variant that carries data, null but for the one that is there.
    plan.mode = Mode::DataEnum;
    plan.children.resize(1 + d.variants.size());
    plan.children[0].column = 0;
    std::vector<Field> children;
    children.push_back(column("variant", arrow::dictionary_of(names, index), false));
    std::vector<std::string> taken{"variant"};
    for (const Variant& v : d.variants) taken.push_back(v.name);
    taken = unique_names(std::move(taken));
    std::int64_t slots = 2;
    for (std::size_t i = 0; i < d.variants.size(); ++i) {
      SlotPlan& child_plan = plan.children[1 + i];
      if (!d.variants[i].fields) {
        child_plan.mode = Mode::Absent;
        continue;
      }
      child_plan.column = static_cast<std::int32_t>(children.size());
      Field child = column(taken[1 + i], {}, true);
      const Nullable inside(nullable_);
      slots += fields(d.variants[i].fields, child, child_plan, depth + 1);
      child.nullable = true;
      children.push_back(std::move(child));
    }
    field.type = arrow::struct_of(std::move(children));
    mark(field, kEnumEncoding);
    return slots;
  }

  // Counts, while it lives, one more level at which a value may be null.
  struct Nullable {
    int& count;
    explicit Nullable(int& c) : count(c) { ++count; }
    ~Nullable() { --count; }
  };

  const TableOptions& options_;
  const bool fixed_lists_;
  int nullable_;  // levels above this point at which a value may be null
  int columns_ = 0;
};

}  // namespace

std::string UniqueNames::add(std::string name) {
  if (taken_.insert(name).second) return name;
  // Suffixes below `next` were tried already and are taken.
  int& next = next_.try_emplace(name, 2).first->second;
  std::string candidate;
  do candidate = std::format("{}#{}", name, next++);
  while (!taken_.insert(candidate).second);
  return candidate;
}

EventSchema event_schema(const EventLayout& layout, const TableOptions& options) {
  EventSchema schema = body_schema(layout.name, *layout.fields, options);
  schema.layout = &layout;
  return schema;
}

EventSchema body_schema(std::string name, const std::optional<FieldList>& list, const TableOptions& options) {
  EventSchema schema;
  schema.name = std::move(name);
  schema.field_list = &list;
  // Fixed-size lists multiply the slots a null entry fills; if the event as
  // a whole would pass the bound, every array becomes a plain list.
  for (bool fixed_lists : {true, false}) {
    schema.fields = column(schema.name, arrow::struct_of({}), false);
    schema.plan = SlotPlan{};
    schema.plan.mode = Mode::Struct;
    if (!list || list->types.empty()) break;  // no columns but the context
    Mapper mapper(options, fixed_lists);
    if (mapper.fields(list, schema.fields, schema.plan, 0) <= arrow::kMaxSlotsPerValue) break;
  }
  if (!arrow::check_field(schema.fields)) {
    // Not expected after the bounds above; if a form still slips past them,
    // every field is stored as JSON text rather than the decoder failing.
    Mapper mapper(options, false);
    mapper.fields(list, schema.fields, schema.plan, kMaxColumnDepth);
  }
  for (Field& column : schema.fields.type.children) column.nullable = column.nullable || options.null_short_events;
  return schema;
}

}  // namespace brisquel
