// A table as an ArrowArrayStream: the schema, then one array per batch.
#include <cerrno>
#include <new>
#include <string>

#include "core/arrow/export.hpp"

namespace brisquel::arrow {

namespace {

struct StreamState {
  std::shared_ptr<const Table> table;
  std::size_t next = 0;
  std::string error;
};

StreamState& state(ArrowArrayStream* stream) { return *static_cast<StreamState*>(stream->private_data); }

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  StreamState& s = state(stream);
  try {
    export_schema(s.table->fields, out);
    return 0;
  } catch (const std::bad_alloc&) {
    s.error = "out of memory exporting the schema";
    return ENOMEM;
  }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) {
  StreamState& s = state(stream);
  if (s.next >= s.table->batches.size()) {
    *out = ArrowArray{};  // released: the end of the stream
    return 0;
  }
  try {
    export_batch(s.table->batches[s.next], out);
    ++s.next;  // only once exported, so a failed call can be retried
    return 0;
  } catch (const std::bad_alloc&) {
    s.error = "out of memory exporting a batch";
    return ENOMEM;
  }
}

const char* get_last_error(ArrowArrayStream* stream) {
  const StreamState& s = state(stream);
  return s.error.empty() ? nullptr : s.error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
  delete static_cast<StreamState*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

Result<void> export_stream(std::shared_ptr<const Table> table, ArrowArrayStream* out) {
  for (const Field& field : table->fields)
    if (auto ok = check_field(field); !ok) return ok;
  for (const auto& batch : table->batches) {
    if (batch == nullptr) return fail("missing batch");
    if (auto ok = check_batch(table->fields, *batch); !ok) return ok;
  }
  *out = ArrowArrayStream{get_schema, get_next, get_last_error, release_stream,
                          new StreamState{std::move(table), 0, {}}};
  return {};
}

}  // namespace brisquel::arrow
