// Tables handed to Arrow consumers through the PyCapsule interface: the
// capsule owns the exported struct and releases it when it goes, unless a
// consumer moved it out (setting its release to null), as the interface asks.
#pragma once

#include <memory>
#include <span>

#include "core/arrow/array_data.hpp"
#include "core/arrow/c_data.hpp"
#include "src/py_ref.hpp"

namespace brisquel::tables {

inline constexpr const char* kSchemaCapsule = "arrow_schema";
inline constexpr const char* kStreamCapsule = "arrow_array_stream";
inline constexpr const char* kArrayCapsule = "arrow_array";

// An "arrow_schema" capsule of a batch's schema (a struct over `fields`);
// nullptr with the error set.
PyObject* schema_capsule(std::span<const arrow::Field> fields);

// An "arrow_array_stream" capsule over the table's batches, without a copy;
// nullptr with the error set.
PyObject* stream_capsule(std::shared_ptr<const arrow::Table> table);

}  // namespace brisquel::tables
