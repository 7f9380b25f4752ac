// Log lines into event tables: what TableDecoder does with a batch, once the
// lines are pinned and the interpreter released.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/event_lines.hpp"
#include "core/event_tables.hpp"

namespace brisquel {

// The names of the context columns of line input, which no field may take.
inline constexpr std::string_view kRowColumn = "_row";
inline constexpr std::string_view kLineColumn = "_line";
inline constexpr std::string_view kLineContextNames[] = {kRowColumn, kLineColumn};

// The context columns: `_line` (int64) for flat input; `_row` (int64) and
// `_line` (int32) for nested input, one list of lines per row.
std::vector<arrow::Field> line_context(bool nested);

struct DecodedTables {
  std::vector<std::shared_ptr<const arrow::Table>> events;  // one per event, in declaration order
  std::shared_ptr<const arrow::Table> errors;  // context, `event`, `message` and `path` of each body that failed
};

class LineTables {
 public:
  LineTables(const CompiledIdl& tables, const TableSchemas& schemas, bool nested);

  // One line of input; `row` only counts for nested input.
  void add(std::int64_t row, std::int64_t line, std::string_view text);

  DecodedTables finish();

 private:
  struct Failure {
    std::int64_t row;
    std::int64_t line;
    std::uint32_t event;
    Error error;
  };

  const CompiledIdl& tables_;
  const TableSchemas& schemas_;
  const bool nested_;
  const std::vector<arrow::Field> context_;
  PayloadBuffer buffer_;
  std::vector<std::unique_ptr<EventTableBuilder>> events_;  // made with an event's first row
  std::vector<Failure> failures_;
};

}  // namespace brisquel
