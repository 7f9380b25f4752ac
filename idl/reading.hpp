// The reading rules shared by every IDL record: a record is declared as a list
// of fields (key, member, presence) and read from a JSON object or array; choice
// types are externally tagged, internally tagged on "kind", or untagged. The
// messages are the loader's public texts, so they are produced in one place.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "codec/box.hpp"
#include "idl/json.hpp"
#include "codec/result.hpp"

namespace brisquel::idl::reading {

// Where a value is read from. Inside tagged and untagged choices a value is read
// from a buffered copy, whose length errors are worded differently.
enum class Ctx : std::uint8_t { Value, Content };

// --- message texts ---

std::string invalid_type(const json::Value& found, std::string_view wanted);
std::string invalid_type_text(std::string_view found, std::string_view wanted);
std::string missing_field(std::string_view key);
std::string unknown_variant(std::string_view name, std::span<const std::string_view> names);
// "invalid length {len}, expected fewer elements in array" or "... {n} elements in sequence".
std::string too_long(std::size_t len, std::size_t wanted, Ctx ctx);
// "invalid length {given}, expected {what} with {n} elements".
std::string too_short(std::size_t given, std::string_view what, std::size_t n);
std::string no_variant_matched(std::string_view type);

// --- readers of plain values ---

template <class T>
struct Reader;  // static Result<T> read(const json::Value&, Ctx)

template <class T>
Result<T> read(const json::Value& v, Ctx ctx) {
  return Reader<T>::read(v, ctx);
}

template <>
struct Reader<std::string> {
  static Result<std::string> read(const json::Value& v, Ctx);
};
template <>
struct Reader<bool> {
  static Result<bool> read(const json::Value& v, Ctx);
};
Result<std::uint64_t> read_unsigned(const json::Value& v, std::uint64_t max, std::string_view width);
template <>
struct Reader<std::uint8_t> {
  static Result<std::uint8_t> read(const json::Value& v, Ctx) {
    return read_unsigned(v, 0xff, "u8").transform([](std::uint64_t n) { return std::uint8_t(n); });
  }
};
template <>
struct Reader<std::uint32_t> {
  static Result<std::uint32_t> read(const json::Value& v, Ctx) {
    return read_unsigned(v, 0xffffffffu, "u32").transform([](std::uint64_t n) { return std::uint32_t(n); });
  }
};
// Lengths and alignments: the full 64-bit range.
template <>
struct Reader<std::uint64_t> {
  static Result<std::uint64_t> read(const json::Value& v, Ctx) { return read_unsigned(v, UINT64_MAX, "usize"); }
};
// Any JSON value, held whole.
template <>
struct Reader<json::Value> {
  static Result<json::Value> read(const json::Value& v, Ctx) { return v; }
};

template <class T>
struct Reader<Box<T>> {
  static Result<Box<T>> read(const json::Value& v, Ctx ctx) {
    return Reader<T>::read(v, ctx).transform([](T&& t) { return Box<T>(std::move(t)); });
  }
};

template <class T>
struct Reader<std::vector<T>> {
  static Result<std::vector<T>> read(const json::Value& v, Ctx ctx) {
    if (!v.is_array()) return fail(invalid_type(v, "a sequence"));
    std::vector<T> out;
    out.reserve(v.as_array().size());
    for (const json::Value& item : v.as_array()) {
      auto r = Reader<T>::read(item, ctx);
      if (!r) return fail(std::move(r.error()));
      out.push_back(std::move(*r));
    }
    return out;
  }
};

// A nullable value: JSON null (or an absent key) is none.
template <class T>
struct Reader<std::optional<T>> {
  static Result<std::optional<T>> read(const json::Value& v, Ctx ctx) {
    if (v.is_null()) return std::optional<T>();
    return Reader<T>::read(v, ctx).transform([](T&& t) { return std::optional<T>(std::move(t)); });
  }
};

// --- records ---

enum class Presence : std::uint8_t { Required, Defaulted, Nullable };

template <class C, class M>
struct FieldSpec {
  std::string_view key;
  M C::* member;
  Presence presence;
};

template <class C, class M>
constexpr FieldSpec<C, M> required(std::string_view key, M C::* member) {
  return {key, member, Presence::Required};
}
// Absent: the member keeps its default-constructed value (empty list, false, borsh).
template <class C, class M>
constexpr FieldSpec<C, M> defaulted(std::string_view key, M C::* member) {
  return {key, member, Presence::Defaulted};
}
// Absent or null: none. The member is a std::optional.
template <class C, class M>
constexpr FieldSpec<C, M> nullable(std::string_view key, M C::* member) {
  return {key, member, Presence::Nullable};
}

// A record's name in messages ("struct IdlField", "struct variant IdlType::Defined")
// and its fields in declaration order (the element order of the array form).
template <class C, class... F>
struct RecordSpec {
  std::string_view name;
  std::tuple<F...> fields;
  static constexpr std::size_t size = sizeof...(F);
};

template <class C, class... F>
constexpr RecordSpec<C, F...> record(std::string_view name, F... fields) {
  return {name, {fields...}};
}

// The record declaration of a type, specialised next to the type's readers.
template <class T>
inline constexpr auto kRecord = nullptr;

template <class T>
concept HasRecord = !std::is_same_v<std::remove_cvref_t<decltype(kRecord<T>)>, std::nullptr_t>;

// The members of an object, or the elements of an array form (for an internally
// tagged array, the elements after the tag).
struct RecordSource {
  const json::Object* object = nullptr;
  std::span<const json::Value> elements;
  bool from_array = false;
};

namespace detail {

template <class C, class Spec, std::size_t... I>
Result<void> read_object(C& out, const Spec& spec, const json::Object& obj, Ctx ctx, std::index_sequence<I...>) {
  std::array<bool, Spec::size> seen{};
  for (const json::Member& m : obj) {
    std::string error;
    bool failed = false;
    // Keys a record does not list are ignored; a listed key is read into its member.
    (void)((m.first == std::get<I>(spec.fields).key
                ? ([&] {
                     auto& f = std::get<I>(spec.fields);
                     using M = std::remove_cvref_t<decltype(out.*(f.member))>;
                     auto r = Reader<M>::read(m.second, ctx);
                     if (!r) {
                       error = std::move(r.error());
                       failed = true;
                     } else {
                       out.*(f.member) = std::move(*r);
                       seen[I] = true;
                     }
                   }(),
                   true)
                : false) ||
           ...);
    if (failed) return fail(std::move(error));
  }
  std::string missing;
  (void)((!seen[I] && std::get<I>(spec.fields).presence == Presence::Required
              ? (missing = missing_field(std::get<I>(spec.fields).key), true)
              : false) ||
         ...);
  if (!missing.empty()) return fail(std::move(missing));
  return {};
}

template <class C, class Spec, std::size_t... I>
Result<void> read_elements(C& out, const Spec& spec, std::span<const json::Value> items, Ctx ctx,
                           std::index_sequence<I...>) {
  std::string error;
  auto one = [&]<std::size_t K>(std::integral_constant<std::size_t, K>) -> bool {
    auto& f = std::get<K>(spec.fields);
    if (K >= items.size()) {
      if (f.presence == Presence::Defaulted) return true;
      error = too_short(items.size(), spec.name, Spec::size);
      return false;
    }
    using M = std::remove_cvref_t<decltype(out.*(f.member))>;
    auto r = Reader<M>::read(items[K], ctx);
    if (!r) {
      error = std::move(r.error());
      return false;
    }
    out.*(f.member) = std::move(*r);
    return true;
  };
  if (!(one(std::integral_constant<std::size_t, I>{}) && ...)) return fail(std::move(error));
  if (items.size() > Spec::size) return fail(too_long(items.size(), Spec::size, ctx));
  return {};
}

}  // namespace detail

template <class C, class Spec>
Result<void> read_record_from(C& out, const Spec& spec, const RecordSource& src, Ctx ctx) {
  constexpr auto idx = std::make_index_sequence<Spec::size>{};
  if (src.from_array) return detail::read_elements(out, spec, src.elements, ctx, idx);
  return detail::read_object(out, spec, *src.object, ctx, idx);
}

template <class C, class Spec>
Result<void> read_record(C& out, const Spec& spec, const json::Value& v, Ctx ctx) {
  if (v.is_object()) return read_record_from(out, spec, RecordSource{&v.as_object(), {}, false}, ctx);
  if (v.is_array()) return read_record_from(out, spec, RecordSource{nullptr, v.as_array(), true}, ctx);
  return fail(invalid_type(v, spec.name));
}

template <HasRecord T>
struct Reader<T> {
  static Result<T> read(const json::Value& v, Ctx ctx) {
    T out{};
    auto r = read_record(out, kRecord<T>, v, ctx);
    if (!r) return fail(std::move(r.error()));
    return out;
  }
};

// --- externally tagged choices ---

// A variant picked by name: from a bare string (no data) or from an object with
// exactly one key. `data` is null when the variant was given as a bare string.
struct Tagged {
  std::size_t index = 0;
  const json::Value* data = nullptr;
};

Result<Tagged> external_tag(const json::Value& v, std::span<const std::string_view> names);

// The data of a variant that carries none: absent or null.
Result<void> unit_data(const Tagged& t);
// The data of a newtype variant; fails when the variant came as a bare string.
Result<const json::Value*> newtype_data(const Tagged& t);
// The elements of a tuple variant such as `array`; `what` is its name in
// messages ("tuple variant IdlType::Array").
Result<std::span<const json::Value>> tuple_data(const Tagged& t, std::string_view what, Ctx ctx);

// A two-element tuple variant: elements are read in order before the length is judged.
template <class A, class B>
Result<std::pair<A, B>> read_pair(const Tagged& t, std::string_view what, Ctx ctx) {
  auto items = tuple_data(t, what, ctx);
  if (!items) return fail(std::move(items.error()));
  if (items->empty()) return fail(too_short(0, what, 2));
  auto a = Reader<A>::read((*items)[0], ctx);
  if (!a) return fail(std::move(a.error()));
  if (items->size() < 2) return fail(too_short(items->size(), what, 2));
  auto b = Reader<B>::read((*items)[1], ctx);
  if (!b) return fail(std::move(b.error()));
  if (items->size() > 2) return fail(too_long(items->size(), 2, ctx));
  return std::pair<A, B>(std::move(*a), std::move(*b));
}
// The record source of a struct variant such as `defined`.
Result<RecordSource> struct_data(const Tagged& t, Ctx ctx);

// --- internally tagged choices (on the key "kind") ---

struct InternalTag {
  std::size_t index = 0;
  RecordSource rest;  // the object (its "kind" is ignored as an unknown key) or the elements after the tag
};

Result<InternalTag> internal_tag(const json::Value& v, std::string_view type,
                                 std::span<const std::string_view> names);

// An internally tagged choice whose variants are records over T itself: the
// variant named names[i] is read by the i-th record and sets T::kind to i.
template <class T, class... Spec>
Result<T> read_tagged(const json::Value& v, std::string_view type, std::span<const std::string_view> names,
                      const Spec&... variants) {
  auto tag = internal_tag(v, type, names);
  if (!tag) return fail(std::move(tag.error()));
  T out{};
  out.kind = static_cast<decltype(out.kind)>(tag->index);
  Result<void> read_ok;
  std::size_t i = 0;
  (void)((i++ == tag->index ? (read_ok = read_record_from(out, variants, tag->rest, Ctx::Content), true) : false) ||
         ...);
  if (!read_ok) return fail(std::move(read_ok.error()));
  return out;
}

// --- untagged choices ---

// Tries each reader in order on the same value, as a buffered copy; the first
// that reads wins and the failed tries' errors are dropped.
template <class T, class... Try>
Result<T> untagged(const json::Value& v, std::string_view type, Try... tries) {
  std::optional<T> out;
  (void)(([&] {
     auto r = tries(v, Ctx::Content);
     if (r) out.emplace(std::move(*r));
     return out.has_value();
   }()) ||
         ...);
  if (!out) return fail(no_variant_matched(type));
  return std::move(*out);
}

}  // namespace brisquel::idl::reading
