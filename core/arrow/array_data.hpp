// Finished columns: immutable, shared, and laid out as Arrow reads them, so
// an export hands out their addresses without copying a byte.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/arrow/buffer.hpp"
#include "core/arrow/types.hpp"

namespace brisquel::arrow {

struct ArrayData {
  TypeId type = TypeId::Bool;
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  // The layout's buffers in Arrow's order, the validity bitmap first (empty when there are no nulls).
  std::vector<Buffer> buffers;
  // Their addresses as exported: null for a missing validity bitmap, never null for any other buffer.
  std::vector<const void*> addresses;
  std::vector<std::shared_ptr<const ArrayData>> children;
  std::shared_ptr<const ArrayData> dictionary;  // Dictionary: its utf8 values

  // Fills `addresses` from `buffers`; called once the buffers are final.
  void seal() {
    addresses.resize(buffers.size());
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      const void* p = buffers[i].data();
      addresses[i] = p != nullptr || i == 0 ? p : empty_buffer_address();
    }
  }
};

struct RecordBatch {
  std::int64_t length = 0;
  std::vector<std::shared_ptr<const ArrayData>> columns;
};

struct Table {
  std::vector<Field> fields;
  std::vector<std::shared_ptr<const RecordBatch>> batches;
};

}  // namespace brisquel::arrow
