#include "src/tables/capsules.hpp"

#include <string>

#include "core/arrow/export.hpp"
#include "core/fault.hpp"

namespace brisquel::tables {
namespace {

// The struct is the capsule's whatever name a consumer gave it meanwhile, and
// the capsule may go while an exception is pending (a frame unwinding): so
// nothing here may raise, or clear what is pending.
template <class Struct>
void free_capsule(PyObject* capsule) {
  const char* name = PyCapsule_GetName(capsule);
  if (!PyCapsule_IsValid(capsule, name)) return;
  auto* s = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (s->release != nullptr) s->release(s);
  delete s;
}

}  // namespace

PyObject* schema_capsule(std::span<const arrow::Field> fields) {
  auto* s = new ArrowSchema{};
  arrow::export_schema(fields, s);
  PyObject* capsule = PyCapsule_New(s, kSchemaCapsule, free_capsule<ArrowSchema>);
  if (capsule == nullptr) {
    s->release(s);
    delete s;
  }
  return capsule;
}

PyObject* stream_capsule(std::shared_ptr<const arrow::Table> table) {
  auto* s = new ArrowArrayStream{};
  if (auto ok = arrow::export_stream(std::move(table), s); !ok) {
    delete s;
    throw Fault("table refused by its own export: " + ok.error());
  }
  PyObject* capsule = PyCapsule_New(s, kStreamCapsule, free_capsule<ArrowArrayStream>);
  if (capsule == nullptr) {
    s->release(s);
    delete s;
  }
  return capsule;
}

}  // namespace brisquel::tables
