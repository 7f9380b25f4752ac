// Zero-copy export through the Arrow C data and stream interfaces. Exported
// arrays point into the shared ArrayData and keep it alive until the consumer
// releases them, on any thread and in any order: every child and dictionary
// has its own release callback and owner, so a consumer may move one out and
// release it on its own.
//
// The export functions throw std::bad_alloc when memory runs out, leaving
// `out` untouched; the stream's callbacks report it as ENOMEM instead.
#pragma once

#include <memory>
#include <span>

#include "codec/result.hpp"
#include "core/arrow/array_data.hpp"
#include "core/arrow/c_data.hpp"
#include "core/arrow/types.hpp"

namespace brisquel::arrow {

// One field: its name, type (format, children, dictionary), nullability and metadata.
// The field must pass check_field.
void export_schema(const Field& field, ArrowSchema* out);

// A record batch's schema: a struct ("+s", name "") whose children are `fields`.
void export_schema(std::span<const Field> fields, ArrowSchema* out);

// One column, or one batch as a struct array over its columns.
void export_array(std::shared_ptr<const ArrayData> data, ArrowArray* out);
void export_batch(std::shared_ptr<const RecordBatch> batch, ArrowArray* out);

// Whether `batch` has the shape `fields` describe: column count, types,
// lengths of every child, buffer counts and sizes. A consumer trusts what it
// is given, so the stream refuses a table that fails this.
Result<void> check_batch(std::span<const Field> fields, const RecordBatch& batch);

// A stream over the table's batches: the schema, each batch, then the end (a
// released array). Refused when a field or a batch does not check out.
Result<void> export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out);

}  // namespace brisquel::arrow
