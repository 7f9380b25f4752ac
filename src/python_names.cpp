#include "src/python_names.hpp"

#include <algorithm>

namespace brisquel {
namespace {

using Kind = TypeNode::Kind;

// Entries a new dict takes before its first resize (two thirds of 8 slots,
// rounded down); smaller field lists gain nothing from a blank copy.
constexpr Py_ssize_t kNewDictRoom = 5;

PyRef name_object(std::string_view text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
#ifndef Py_GIL_DISABLED
  if (s != nullptr) PyUnicode_InternInPlace(&s);
#endif
  return PyRef(s);
}

bool made_without_python(const TypeNode* t) { return t->scalar && t->kind != Kind::U256 && t->kind != Kind::I256; }

}  // namespace

bool PyNames::build(const CompiledIdl& tables) {
  const std::size_t lists = tables.field_list_count();
  std::size_t total_keys = 0;
  for (std::uint32_t id = 0; id < lists; ++id) total_keys += tables.field_list(id).names.size();
  keys_.reserve(total_keys);  // the key pointers below stay valid
  fields_.resize(lists);
  for (std::uint32_t id = 0; id < lists; ++id) {
    const FieldList& list = tables.field_list(id);
    Fields& out = fields_[id];
    out.in_place = !list.named && std::ranges::all_of(list.types, made_without_python);
    if (!list.named) continue;
    out.keys = keys_.data() + keys_.size();
    for (const auto& name : list.names) {
      keys_.push_back(name_object(name));
      if (!keys_.back()) return false;
    }
#ifndef Py_GIL_DISABLED
    PyRef blank(PyDict_New());
    if (!blank) return false;
    // A repeated name keeps its first place, as storing into a dict does.
    for (std::size_t i = 0; i < list.names.size(); ++i) {
      if (PyDict_SetItem(blank.get(), out.keys[i].get(), Py_None) < 0) return false;
    }
    if (PyDict_GET_SIZE(blank.get()) > kNewDictRoom) out.blank = std::move(blank);
#endif
  }
  variants_.reserve(tables.variant_count());
  for (std::uint32_t id = 0; id < tables.variant_count(); ++id) {
    variants_.push_back(name_object(tables.variant(id).name));
    if (!variants_.back()) return false;
  }
  for (const auto& e : tables.events()) {
    events_.push_back(name_object(e.name));
    if (!events_.back()) return false;
  }
  return true;
}

}  // namespace brisquel
