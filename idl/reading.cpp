#include "idl/reading.hpp"

namespace brisquel::idl::reading {

std::string invalid_type_text(std::string_view found, std::string_view wanted) {
  std::string s = "invalid type: ";
  s.append(found).append(", expected ").append(wanted);
  return s;
}

std::string invalid_type(const json::Value& found, std::string_view wanted) {
  return invalid_type_text(json::describe(found), wanted);
}

std::string missing_field(std::string_view key) {
  std::string s = "missing field `";
  s.append(key).append("`");
  return s;
}

std::string unknown_variant(std::string_view name, std::span<const std::string_view> names) {
  std::string s = "unknown variant `";
  s.append(name).append("`, expected ");
  if (names.size() == 1) {
    s.append("`").append(names[0]).append("`");
  } else if (names.size() == 2) {
    s.append("`").append(names[0]).append("` or `").append(names[1]).append("`");
  } else {
    s.append("one of ");
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i) s.append(", ");
      s.append("`").append(names[i]).append("`");
    }
  }
  return s;
}

std::string too_long(std::size_t len, std::size_t wanted, Ctx ctx) {
  std::string s = "invalid length " + std::to_string(len) + ", expected ";
  if (ctx == Ctx::Value) return s + "fewer elements in array";
  return s + std::to_string(wanted) + (wanted == 1 ? " element in sequence" : " elements in sequence");
}

std::string too_short(std::size_t given, std::string_view what, std::size_t n) {
  std::string s = "invalid length " + std::to_string(given) + ", expected ";
  s.append(what).append(" with ").append(std::to_string(n)).append(n == 1 ? " element" : " elements");
  return s;
}

std::string no_variant_matched(std::string_view type) {
  std::string s = "data did not match any variant of untagged enum ";
  s.append(type);
  return s;
}

Result<std::string> Reader<std::string>::read(const json::Value& v, Ctx) {
  if (!v.is_string()) return fail(invalid_type(v, "a string"));
  return v.as_string();
}

Result<bool> Reader<bool>::read(const json::Value& v, Ctx) {
  if (v.kind() != json::Kind::Bool) return fail(invalid_type(v, "a boolean"));
  return v.as_bool();
}

Result<std::uint64_t> read_unsigned(const json::Value& v, std::uint64_t max, std::string_view width) {
  auto out_of_range = [&](std::string n) {
    std::string s = "invalid value: integer `";
    s.append(n).append("`, expected ").append(width);
    return fail(std::move(s));
  };
  switch (v.kind()) {
    case json::Kind::UInt:
      if (v.as_uint() > max) return out_of_range(std::to_string(v.as_uint()));
      return v.as_uint();
    case json::Kind::Int:
      return out_of_range(std::to_string(v.as_int()));
    default:
      return fail(invalid_type(v, width));
  }
}

namespace {

std::optional<std::size_t> find_name(std::string_view name, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return i;
  return std::nullopt;
}

}  // namespace

Result<Tagged> external_tag(const json::Value& v, std::span<const std::string_view> names) {
  std::string_view name;
  const json::Value* data = nullptr;
  if (v.is_string()) {
    name = v.as_string();
  } else if (v.is_object()) {
    const json::Object& obj = v.as_object();
    if (obj.size() != 1) return fail("invalid value: map, expected map with a single key");
    name = obj.front().first;
    data = &obj.front().second;
  } else {
    return fail(invalid_type(v, "string or map"));
  }
  auto index = find_name(name, names);
  if (!index) return fail(unknown_variant(name, names));
  return Tagged{*index, data};
}

Result<void> unit_data(const Tagged& t) {
  if (t.data && !t.data->is_null()) return fail(invalid_type(*t.data, "unit"));
  return {};
}

Result<const json::Value*> newtype_data(const Tagged& t) {
  if (!t.data) return fail(invalid_type_text("unit variant", "newtype variant"));
  return t.data;
}

Result<std::span<const json::Value>> tuple_data(const Tagged& t, std::string_view what, Ctx ctx) {
  if (!t.data) return fail(invalid_type_text("unit variant", "tuple variant"));
  if (!t.data->is_array()) return fail(invalid_type(*t.data, "tuple variant"));
  const json::Array& items = t.data->as_array();
  // A direct read sees an empty array as a unit value; a buffered one as a short sequence.
  if (items.empty() && ctx == Ctx::Value) return fail(invalid_type_text("null", what));
  return std::span<const json::Value>(items);
}

Result<RecordSource> struct_data(const Tagged& t, Ctx ctx) {
  if (!t.data) return fail(invalid_type_text("unit variant", "struct variant"));
  if (t.data->is_object()) return RecordSource{&t.data->as_object(), {}, false};
  if (t.data->is_array() && ctx == Ctx::Content) return RecordSource{nullptr, t.data->as_array(), true};
  return fail(invalid_type(*t.data, "struct variant"));
}

namespace {

// The value of "kind" names the variant; an integer selects it by position.
Result<std::size_t> identify(const json::Value& tag, std::span<const std::string_view> names) {
  if (tag.is_string()) {
    auto index = find_name(tag.as_string(), names);
    if (!index) return fail(unknown_variant(tag.as_string(), names));
    return *index;
  }
  if (tag.kind() == json::Kind::UInt) {
    if (tag.as_uint() < names.size()) return static_cast<std::size_t>(tag.as_uint());
    return fail("invalid value: integer `" + std::to_string(tag.as_uint()) +
                "`, expected variant index 0 <= i < " + std::to_string(names.size()));
  }
  return fail(invalid_type(tag, "variant identifier"));
}

}  // namespace

Result<InternalTag> internal_tag(const json::Value& v, std::string_view type,
                                 std::span<const std::string_view> names) {
  if (v.is_object()) {
    const json::Value* tag = v.find("kind");
    if (!tag) return fail(missing_field("kind"));
    auto index = identify(*tag, names);
    if (!index) return fail(std::move(index.error()));
    return InternalTag{*index, RecordSource{&v.as_object(), {}, false}};
  }
  if (v.is_array()) {
    const json::Array& items = v.as_array();
    if (items.empty()) return fail(missing_field("kind"));
    auto index = identify(items.front(), names);
    if (!index) return fail(std::move(index.error()));
    return InternalTag{*index, RecordSource{nullptr, std::span<const json::Value>(items).subspan(1), true}};
  }
  std::string wanted = "internally tagged enum ";
  wanted.append(type);
  return fail(invalid_type(v, wanted));
}

}  // namespace brisquel::idl::reading
